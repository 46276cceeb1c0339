#pragma once

// The few Win32 names the pure code uses, for the native fuzz build (built with
// -fshort-wchar, so wchar_t is UTF-16 as on Windows).
#include <cstdarg>
#include <cstdint>

using UINT = unsigned;
using DWORD = uint32_t;
using LCID = uint32_t;
using BSTR = wchar_t*;
constexpr int MAX_PATH = 260;
constexpr DWORD LCMAP_LOWERCASE = 0x100;
constexpr DWORD LCMAP_UPPERCASE = 0x200;
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;

extern "C" {
UINT GetACP();
int MultiByteToWideChar(UINT page, DWORD flags, const char* in, int inLength, wchar_t* out,
                        int outLength);
int WideCharToMultiByte(UINT page, DWORD flags, const wchar_t* in, int inLength, char* out,
                        int outLength, const char* defaultChar, int* usedDefault);
int LCMapStringW(LCID locale, DWORD flags, const wchar_t* in, int inLength, wchar_t* out,
                 int outLength);
int wvsprintfA(char* out, const char* format, va_list args);
BSTR SysAllocStringLen(const wchar_t* text, UINT length);
void SysFreeString(BSTR text);
void SetLastError(DWORD error);
DWORD GetLastError();
}
