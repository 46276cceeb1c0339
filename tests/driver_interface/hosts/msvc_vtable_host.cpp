// A host for the MSVC ABI (clang, lld-link, no C runtime) holding the handle as
// a DriverInterface pointer: every plain slot against the export or the
// expected value, then delete. Argument: the printer (status word 0x8), or
// "throw " and a printer whose DAL module lets C++ exceptions escape (the
// simulated module, in-process). Exit code 0, else the number of the first
// check that failed; a throw that reached this host would end it instead.

#include "quorvel_driver_utility.h"

#include "msvc_host.h"

namespace {

// The simulated module's actions 9003 (throws) and 9004 (its close throws).
int RunThrowing(wchar_t* name) {
    void* printer = nullptr;
    if (!OpenPrinterW(name, &printer, nullptr)) {
        return 100;
    }
    DriverInterface* driver = reinterpret_cast<DriverInterface*>(DI_Open(printer));
    int failed = driver != nullptr && driver->IsAdvanced() ? 0 : 1;
    if (driver != nullptr) {
        DriverCommand record;
        record.execute = true;
        driver->Command(9003, record);
        failed = failed != 0 ? failed : (record.supported ? 2 : 0);  // the neutral record
        record.execute = false;
        driver->Command(9003, record);
        failed = failed != 0 ? failed : (record.supported ? 0 : 3);  // still answers
        record.execute = true;
        driver->Command(9004, record);
        delete driver;  // the close throws inside entry 0
    }
    ClosePrinter(printer);
    return failed;
}

int Run() {
    const unsigned int status = 0x8;  // paper jam, set by the test
    wchar_t* arguments = Arguments();
    const wchar_t mode[] = L"throw ";
    int at = 0;
    while (mode[at] != L'\0' && arguments[at] == mode[at]) {
        ++at;
    }
    if (mode[at] == L'\0') {
        return RunThrowing(arguments + at);
    }
    void* printer = nullptr;
    if (!OpenPrinterW(arguments, &printer, nullptr)) {
        return 100;
    }
    HDRIVERINTERFACE handle = DI_Open(printer);
    DriverInterface* driver = reinterpret_cast<DriverInterface*>(handle);
    int failed = 0;
    int check = 0;
    auto expect = [&](bool good) {
        ++check;
        if (!good && failed == 0) {
            failed = check;
        }
    };
    expect(driver != nullptr);  // 1
    if (driver != nullptr) {
        expect(!driver->IsAdvanced());                                                // 2
        expect(driver->GetPrinterStatusFlags() == status);                            // 3
        expect(driver->GetPrinterStatusFlags() == DI_GetPrinterStatusFlags(handle));  // 4
        expect(driver->GetPrinterExtendedStatusFlags() ==                             // 5
               DI_GetPrinterExtendedStatusFlags(handle));
        expect(driver->GetPrinterExtendedStatusFlags() == 0x80000000u);           // 6
        expect(driver->GetPrinterStatusSeverity() == 2);                          // 7
        expect(driver->HasPrinterStatus(101) && !driver->HasPrinterStatus(100));  // 8
        DriverCommand record;
        driver->Command(1, record);                             // execute clear: only asks
        expect(record.supported && !record.hasUserInterface &&  // 9
               record.supported == DI_IsCommandSupported(handle, 1));
        record.execute = true;
        driver->Command(99, record);
        expect(!record.supported && !DI_IsCommandSupported(handle, 99));  // 10
        driver->Command(1, record);                                       // prints the test page
        expect(record.supported);                                         // 11
        expect(!driver->ResetSettings(0));                                // 12
        expect(!driver->SetJobPriority(999999, 5));                       // 13
        expect(!driver->SetJobStartTime(999999, 60));                     // 14
        expect(!driver->SetJobUntilTime(999999, 60));                     // 15
        expect(!driver->IsBidiEnabled());                                 // 16
        driver->SetPrinterHandle(printer);
        expect(driver->GetPrinterStatusFlags() == status);  // 17
        delete driver;  // entry 0 with flags 1: destroyed and freed by the library
    }
    ClosePrinter(printer);
    return failed;
}

}  // namespace

extern "C" int mainCRTStartup() {
    return Run();
}
