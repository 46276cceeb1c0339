#pragma once

#include <windows.h>
#include <oleauto.h>

// The RFID_ exports as the library implements them; the DLL exports each under
// its MSVC-decorated name (exports/rfid.def). Both are stateless and may run on
// any number of threads at once. Null arguments count as empty text. The result
// is upper-case hexadecimal text as a BSTR the caller frees with SysFreeString,
// or null: for an empty result, and for anything thrown inside (allocation
// failure included), which never unwinds into the host.
extern "C" {
// The EPC built from ";"-separated values and a ";"-separated layout, in the
// given input mode (0 text, 1 hexadecimal, 2 decimal, 3 binary; any other as 1).
BSTR RFID_EncodeEPC_impl(const wchar_t* values, const wchar_t* layout, int mode);
// One value as hexadecimal text in the given input mode.
BSTR RFID_EncodeRaw_impl(const wchar_t* value, int mode);
}
