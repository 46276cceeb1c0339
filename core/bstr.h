#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>

#include "core/ostring.h"

// The text of an export's result as the host receives it: null when the text is
// empty, never an empty BSTR; otherwise SysAllocString of the wide form, which
// the caller frees with SysFreeString.
BSTR OStringToBstr(const OString& text);
// The same for a text that may hold NUL characters (an answer's bytes), kept
// whole; throws std::bad_alloc when the BSTR cannot be made.
BSTR OWideToBstr(std::wstring_view text);
