/* Entry point of the test's resource-only libraries. They are loaded as data
   files and never run, but the linker wants an entry. */
#include <windows.h>

BOOL WINAPI ResourceOnlyEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
