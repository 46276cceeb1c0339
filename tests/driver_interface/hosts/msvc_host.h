/* What the hosts built for the MSVC ABI (clang, lld-link, no C runtime)
 * declare themselves, in C and C++: this machine has no Windows SDK headers
 * for that ABI. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) int __stdcall OpenPrinterW(wchar_t* name, void** printer, void* defaults);
__declspec(dllimport) int __stdcall ClosePrinter(void* printer);
__declspec(dllimport) wchar_t* __stdcall GetCommandLineW(void);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
__declspec(dllimport) void* __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) void __stdcall SysFreeString(wchar_t* text);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) int __cdecl wsprintfA(char* out, const char* format, ...);
#ifdef __cplusplus
}
#endif

/* The rest of the command line after the program name. */
static wchar_t* Arguments(void) {
    wchar_t* p = GetCommandLineW();
    for (wchar_t end = *p == L'"' ? *p++ : L' '; *p != L'\0' && *p != end; ++p) {
    }
    for (p += *p != L'\0' ? 1 : 0; *p == L' '; ++p) {
    }
    return p;
}
