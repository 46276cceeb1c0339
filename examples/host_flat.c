/* A host in plain C that loads QuorvelDriverUtility.dll at run time: it finds
 * each export by its QV_EXPORT_ name and calls it through its QV_PFN_ type,
 * so it starts, and says so, when the DLL is missing, and links nothing of
 * the library. DI_Open and DI_Close carry C++ decorated names; the QVDI_
 * functions are plain C.
 *   host_flat PRINTER */
#include <windows.h>
#include <oleauto.h>
#include <stdio.h>

#define QV_NO_PROTOTYPES
#include "quorvel_driver_utility.h"

int wmain(int argc, wchar_t** argv) {
    HMODULE library;
    QV_PFN_DI_OPEN open;
    QV_PFN_DI_CLOSE close;
    QV_PFN_QVDI_GET_PRINTER_STATUS_SEVERITY severity;
    QV_PFN_QVDI_GET_STATUS_PROVENANCE provenance;
    HANDLE printer = NULL;
    HDRIVERINTERFACE driver;
    wchar_t* why = NULL;
    int code;

    if (argc != 2) {
        fwprintf(stderr, L"usage: host_flat PRINTER\n");
        return 2;
    }
    library = LoadLibraryW(L"QuorvelDriverUtility.dll");
    if (library == NULL) {
        fwprintf(stderr, L"QuorvelDriverUtility.dll not found (error %lu)\n", GetLastError());
        return 1;
    }
    open = (QV_PFN_DI_OPEN)(void*)GetProcAddress(library, QV_EXPORT_DI_OPEN);
    close = (QV_PFN_DI_CLOSE)(void*)GetProcAddress(library, QV_EXPORT_DI_CLOSE);
    severity = (QV_PFN_QVDI_GET_PRINTER_STATUS_SEVERITY)(void*)GetProcAddress(
        library, "QVDI_GetPrinterStatusSeverity");
    provenance = (QV_PFN_QVDI_GET_STATUS_PROVENANCE)(void*)GetProcAddress(
        library, "QVDI_GetStatusProvenance");
    if (open == NULL || close == NULL || severity == NULL || provenance == NULL) {
        fwprintf(stderr, L"an export is missing: an older QuorvelDriverUtility.dll?\n");
        FreeLibrary(library);
        return 1;
    }
    if (!OpenPrinterW(argv[1], &printer, NULL)) {
        fwprintf(stderr, L"cannot open %ls (error %lu)\n", argv[1], GetLastError());
        FreeLibrary(library);
        return 1;
    }
    driver = open(printer);
    if (driver != NULL) {
        wprintf(L"severity: %d\n", severity(driver));
        code = provenance(driver, &why);
        wprintf(L"provenance %d: %ls\n", code, why != NULL ? why : L"");
        SysFreeString(why);
        close(driver); /* before the printer: the interface borrows it */
    }
    ClosePrinter(printer);
    FreeLibrary(library);
    return driver != NULL ? 0 : 1;
}
