#pragma once

#include <windows.h>
#include <oleauto.h>

#include "core/ostring.h"

// The text of an export's result as the host receives it: null when the text is
// empty, never an empty BSTR; otherwise SysAllocString of the wide form, which
// the caller frees with SysFreeString.
BSTR OStringToBstr(const OString& text);
