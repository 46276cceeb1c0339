// A host built against the public header and the import library, for the MSVC
// ABI (clang, lld-link) and with mingw-w64 g++. Exit code 0 when all is well.

#include "quorvel_driver_utility.h"

// Declared here rather than through <oleauto.h>: the MSVC-ABI build has no
// Windows SDK headers on this machine.
extern "C" __declspec(dllimport) void SysFreeString(wchar_t* text);

namespace {

bool Same(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    while (*a != L'\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

int Probe() {
    // Every export is called, though only the RFID_ ones for real: linking
    // fails for a name the import library lacks, loading for one the DLL does
    // not export. (Calls, not addresses: g++ cannot take the address of a
    // decorated name in its default code model.)
    volatile bool never = false;
    if (never) {
        HDRIVERINTERFACE driver = DI_Open(nullptr);
        DI_IsCommandSupported(driver, 1);
        DI_IsCommandUI(driver, 1);
        DI_Command(driver, 1);
        DI_CommandUI(driver, nullptr, 1);
        SysFreeString(DI_GetPrinterStatusText(driver));
        DI_GetPrinterStatusFlags(driver);
        DI_GetPrinterExtendedStatusFlags(driver);
        SysFreeString(DI_GetPrinterDriverVersion(driver));
        SysFreeString(DI_GetPrinterDriverDate(driver));
        DI_Close(driver);
    }
    // The tag data standard's SGTIN-96 example, and 255 in mode 2.
    wchar_t* tag = RFID_EncodeEPC(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2);
    wchar_t* raw = RFID_EncodeRaw(L"255", 2);
    bool good = Same(tag, L"3074257BF7194E4000001A85") && Same(raw, L"FF") &&
                RFID_EncodeRaw(L"0", 2) == nullptr;
    SysFreeString(tag);
    SysFreeString(raw);
    return good ? 0 : 1;
}

}  // namespace

#if defined(_MSC_VER)
extern "C" int mainCRTStartup() {
    return Probe();
}
#else
int main() {
    return Probe();
}
#endif
