// A host built from the unpacked SDK alone, once through its CMake package
// with mingw-w64 and once for the MSVC ABI against its import library.
//   consumer PRINTER STATUS_HEX
// Exit 0, or the number of the first check that failed. No C runtime: the MSVC
// ABI build has none on this machine, so Windows' own formatting is used.
#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>
#include <winspool.h>

#include "quorvel_driver_utility.h"

namespace {

BYTE g_versionBlock[16384];

void Say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

unsigned long ParseHex(const wchar_t* text) {
    unsigned long value = 0;
    for (; *text != L'\0'; ++text) {
        const wchar_t c = *text;
        value = value * 16 + (c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
    }
    return value;
}

void CutAtLastBackslash(wchar_t* path) {
    wchar_t* last = path;
    for (wchar_t* p = path; *p != L'\0'; ++p) {
        last = *p == L'\\' ? p : last;
    }
    *last = L'\0';
}

// The folder part of a module's path, compared without case as Windows does.
bool SameFolder(HMODULE a, HMODULE b) {
    wchar_t pathA[MAX_PATH];
    wchar_t pathB[MAX_PATH];
    if (GetModuleFileNameW(a, pathA, MAX_PATH) == 0 ||
        GetModuleFileNameW(b, pathB, MAX_PATH) == 0) {
        return false;
    }
    CutAtLastBackslash(pathA);
    CutAtLastBackslash(pathB);
    return lstrcmpiW(pathA, pathB) == 0;
}

// The loaded DLL's version resource against the version the SDK's CMake
// package announced: a package that ships another build's DLL fails here.
bool VersionIs(HMODULE module, const wchar_t* expected) {
    wchar_t path[MAX_PATH];
    VS_FIXEDFILEINFO* info = nullptr;
    UINT size = 0;
    wchar_t text[64];
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0 ||
        !GetFileVersionInfoW(path, 0, sizeof(g_versionBlock), g_versionBlock) ||
        !VerQueryValueW(g_versionBlock, L"\\", reinterpret_cast<void**>(&info), &size)) {
        return false;
    }
    wsprintfW(text, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
              HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return lstrcmpW(text, expected) == 0;
}

int Run() {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count != 3) {
        Say("usage: consumer PRINTER STATUS_HEX\n");
        return 100;
    }
    const unsigned long status = ParseHex(argv[2]);
    HANDLE printer = nullptr;
    if (!OpenPrinterW(argv[1], &printer, nullptr)) {
        Say("the printer does not open\n");
        return 101;
    }
    HDRIVERINTERFACE handle = DI_Open(printer);
    DriverInterface* object = reinterpret_cast<DriverInterface*>(handle);
    const HMODULE library = GetModuleHandleW(L"QuorvelDriverUtility.dll");
    const bool checks[] = {
        handle != nullptr,
        handle != nullptr && DI_GetPrinterStatusFlags(handle) == status,
        // The same answer through the header's vtable as through the export.
        handle != nullptr && object->GetPrinterStatusFlags() == status,
        handle != nullptr && QVDI_GetPrinterStatusSeverity(handle) >= 1 &&
            QVDI_GetPrinterStatusSeverity(handle) <= 3,
        library != nullptr && SameFolder(library, nullptr),
        library != nullptr && VersionIs(library, QV_SDK_VERSION),
    };
    int failed = 0;
    char line[160];
    for (int i = 0; i < static_cast<int>(sizeof(checks) / sizeof(checks[0])); ++i) {
        wsprintfA(line, "check %d: %s\n", i + 1, checks[i] ? "ok" : "FAILED");
        Say(line);
        failed = failed != 0 || checks[i] ? failed : i + 1;
    }
    DI_Close(handle);
    ClosePrinter(printer);
    LocalFree(argv);
    return failed;
}

}  // namespace

#if defined(_MSC_VER)
extern "C" void mainCRTStartup() {
    ExitProcess(static_cast<UINT>(Run()));
}
#else
int main() {
    return Run();
}
#endif
