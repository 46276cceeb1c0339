// A host's first steps with QuorvelDriverUtility.dll: open a printer with the
// spooler, give the handle to DI_Open, read its status, where the status came
// from and the driver's version, free every text, and close the interface
// before the printer it borrows. The README gives the command lines that build
// it with MSVC and with mingw-w64.
#include <windows.h>
#include <oleauto.h>

#include <cwchar>

#include "quorvel_driver_utility.h"

namespace {

// Prints a text result and frees it: every BSTR the library returns is the
// caller's. A null text is no failure when the last error is 0.
void PrintText(const wchar_t* label, BSTR text) {
    const DWORD error = GetLastError();
    if (text != nullptr) {
        std::wprintf(L"%ls: %ls\n", label, text);
    } else {
        std::wprintf(L"%ls: (none, last error %lu)\n", label, error);
    }
    SysFreeString(text);
}

const wchar_t* SeverityName(int severity) {
    switch (severity) {
        case 2:
            return L"error";
        case 3:
            return L"warning";
        default:
            return L"ready";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: host_status PRINTER\n");
        return 2;
    }
    HANDLE printer = nullptr;
    if (!OpenPrinterW(argv[1], &printer, nullptr)) {
        std::fwprintf(stderr, L"cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HDRIVERINTERFACE driver = DI_Open(printer);
    if (driver == nullptr) {
        std::fwprintf(stderr, L"no interface (error %lu)\n", GetLastError());
        ClosePrinter(printer);
        return 1;
    }

    PrintText(L"status", DI_GetPrinterStatusText(driver));
    // The spooler's PRINTER_STATUS_ bits; 0 with last error 0 is "no flag set".
    std::wprintf(L"flags: 0x%08lX\n", DI_GetPrinterStatusFlags(driver));
    // Bit 31 error, bit 30 warning, bits 0 to 10 the printer's states 201 to 211.
    const unsigned long extended = DI_GetPrinterExtendedStatusFlags(driver);
    std::wprintf(L"extended: 0x%08lX%ls%ls\n", extended,
                 (extended & 0x80000000ul) ? L" error" : L"",
                 (extended & 0x40000000ul) ? L" warning" : L"");
    for (int bit = 0; bit <= 10; ++bit) {
        if (extended & (1ul << bit)) {
            std::wprintf(L"  printer state %d\n", 201 + bit);
        }
    }
    std::wprintf(L"severity: %ls\n", SeverityName(QVDI_GetPrinterStatusSeverity(driver)));
    // Where the answers above came from: the printer itself, or the spooler and why.
    wchar_t* why = nullptr;
    const int code = QVDI_GetStatusProvenance(driver, &why);
    std::wprintf(L"provenance %d: %ls\n", code, why != nullptr ? why : L"");
    SysFreeString(why);
    PrintText(L"driver version", DI_GetPrinterDriverVersion(driver));
    PrintText(L"driver date", DI_GetPrinterDriverDate(driver));  // MM/dd/yyyy

    DI_Close(driver);
    ClosePrinter(printer);
    return 0;
}
