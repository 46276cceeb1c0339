/* What the MSVC C runtime's startup would do for a host built here with clang
 * for the MSVC ABI, where no such runtime exists: call wmain with the
 * command line's arguments. Its printf functions come from msvcrt.dll, which
 * starts itself. */
#include <stddef.h>

__declspec(dllimport) wchar_t* __stdcall GetCommandLineW(void);
__declspec(dllimport) wchar_t** __stdcall CommandLineToArgvW(const wchar_t* line, int* count);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

int wmain(int argc, wchar_t** argv);

void mainCRTStartup(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    ExitProcess((unsigned int)wmain(argc, argv));
}

/* mingw's printf helpers register a cleanup; a process that ends with
 * ExitProcess has nothing to clean. */
int atexit(void (*function)(void)) {
    (void)function;
    return 0;
}
