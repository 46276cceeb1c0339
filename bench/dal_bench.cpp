// One DAL action round trip (DAL_Printer_Action of the simulated module), in
// this process and through a RunDLL32 proxy, in the same run. Target: under
// 1 ms per proxied action under Wine (two pipe messages a call plus their
// waits: the name, the handle and the action go out, one reply comes back).
//
// Installs a Wine printer of its own whose driver carries the simulated DAL
// module (qvsimdal.dll beside this program), switches its "DAL/Isolation
// Mode" setting between the two runs, and removes everything at the end.
#include <windows.h>

#include <cstdio>
#include <string>

#include "dal/dal_module.h"
#include "printer/printer_info_cache.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"

namespace {

// Microseconds per action, or a negative number when the DAL did not open
// the expected way or an action failed.
double MicrosecondsPerAction(HANDLE printer, bool proxied, long actions) {
    PrinterInfoCache::ClearThisThread();
    DriverDLLProxy dal;
    uint64_t handle = dal.PrinterOpen(printer);
    if (handle == 0 || dal.IsProxied() != proxied) {
        return -1;
    }
    for (int i = 0; i < 100; ++i) {  // warm up
        dal.PrinterAction(handle, QvSimDal::kActionPrintConfiguration);
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (long i = 0; i < actions; ++i) {
        if (!dal.PrinterAction(handle, QvSimDal::kActionPrintConfiguration)) {
            return -1;
        }
    }
    QueryPerformanceCounter(&stop);
    dal.PrinterClose(handle);
    return (stop.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart / actions;
}

}  // namespace

int main() {
    SetEnvironmentVariableW(QvSimDal::kLogVariable,
                            nullptr);  // no call log: its writes would count
    const std::wstring tag = L"qvdalbench-" + std::to_wstring(GetCurrentProcessId());
    QvSim::PrinterDriverSetup driver;
    driver.name = L"Quorvel Bench Driver " + tag;
    QvSim::PrinterSetup setup;
    setup.name = tag;
    setup.driverName = driver.name;
    setup.port = L"FILE:";
    std::wstring error;
    int status = 1;
    HANDLE printer = nullptr;
    if (!QvSim::InstallPrinterDriver(driver, &error) || !QvSim::InstallPrinter(setup, &error) ||
        QvSim::InstallDalModule(tag, QvSim::ProgramFolder() + L"qvsimdal.dll", tag, &error)
            .empty() ||
        !OpenPrinterW(const_cast<wchar_t*>(tag.c_str()), &printer, nullptr)) {
        std::printf("cannot set the bench printer up: %ls\n", error.c_str());
    } else {
        auto isolate = [&](DWORD mode) {
            return QvSim::SetDriverSetting(tag, L"DAL", L"Isolation Mode", mode);
        };
        const long actions = 2000;
        double inProcess = isolate(0) ? MicrosecondsPerAction(printer, false, actions * 100) : -1;
        double proxied = isolate(1) ? MicrosecondsPerAction(printer, true, actions) : -1;
        if (inProcess < 0 || proxied < 0) {
            std::printf("the DAL did not open or an action failed\n");
        } else {
            std::printf("DAL action in-process:     %10.3f us/action (%ld actions)\n", inProcess,
                        actions * 100);
            std::printf("DAL action through proxy:  %10.3f us/action (%ld actions)\n", proxied,
                        actions);
            std::printf("proxy / in-process:        %10.0f x\n", proxied / inProcess);
            std::printf("target: < 1000 us per proxied action: %s\n",
                        proxied < 1000.0 ? "met" : "NOT met");
            status = 0;
        }
        ClosePrinter(printer);
    }
    QvSim::RemovePrinter(tag);
    QvSim::RemovePrinterDriver(driver.name, L"");
    DeleteFileW(QvSim::DalModuleCopyPath(tag).c_str());
    return status;
}
