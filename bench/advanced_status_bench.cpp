// DI_GetPrinterStatusText on an advanced printer with status monitoring on,
// answered by the simulated XPML server, beside a raw Winsock keep-alive
// client sending the same request to the same server and the registry reads
// one status call needs (the monitoring setting, the network settings), each
// timed alone and interleaved. Prints the split (exchange, registry, rest),
// the ratio of a call to the raw exchange plus those reads (target: at most
// 1.10), and the process's handle count and private memory before and after
// all calls (target: no growth). Before that, the system calls one status
// call makes, counted through the program's import table: spooler calls,
// registry opens and queries, waits (the printer registry's mutex among them)
// and requests the server received.
//
//   advanced_status_bench [CALLS]     default 100000
//
// Installs its own Wine printer and removes it at the end.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver_interface/advanced_text.h"
#include "driver_interface/di_exports.h"
#include "printer/printer_call_context.h"
#include "printer/printer_info.h"
#include "bench/bench_support.h"
#include "bench/call_counter.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"
#include "sim/xpml_server_process.h"
#include "xpml/http.h"
#include "xpml/xpml_routing.h"

namespace {

// What one classic-driver request of a local printer reads under "NETWORK:":
// the switch, the port, retries, time-out, bidirectional, override.
constexpr int kNetworkQueries = 6;

// Wine's GetProcessHandleCount answers 0, so handle growth shows as the
// value of a fresh handle: Wine hands out the lowest free slot, so the value
// rises only when handles stay open. Memory is the process heap's busy bytes.
struct Usage {
    uintptr_t probeHandle = 0;
    size_t heapBytes = 0;
};

Usage Measure() {
    Usage usage;
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    usage.probeHandle = reinterpret_cast<uintptr_t>(probe);
    CloseHandle(probe);
    HANDLE heap = GetProcessHeap();
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
            usage.heapBytes += entry.cbData;
        }
    }
    HeapUnlock(heap);
    return usage;
}

// The system calls one status call makes, by kind.
struct CallCounts {
    long long spooler = 0;
    long long registryOpens = 0;
    long long registryQueries = 0;
    long long waits = 0;
    long long requests = 0;
};

using OpenPrinterCount = QvBench::Counted<struct OpenPrinterTag>;
using ClosePrinterCount = QvBench::Counted<struct ClosePrinterTag>;
using GetPrinterCount = QvBench::Counted<struct GetPrinterTag>;
using GetPrinterDriverCount = QvBench::Counted<struct GetPrinterDriverTag>;
using GetPrinterDataCount = QvBench::Counted<struct GetPrinterDataTag>;
using GetPrinterDataExCount = QvBench::Counted<struct GetPrinterDataExTag>;
using GetPrinterDataACount = QvBench::Counted<struct GetPrinterDataATag>;
using EnumJobsCount = QvBench::Counted<struct EnumJobsTag>;
using RegOpenCount = QvBench::Counted<struct RegOpenTag>;
using RegCreateCount = QvBench::Counted<struct RegCreateTag>;
using RegQueryCount = QvBench::Counted<struct RegQueryTag>;
using WaitCount = QvBench::Counted<struct WaitTag>;

void HookCounters() {
    OpenPrinterCount::Hook("OpenPrinterW", &OpenPrinterW);
    ClosePrinterCount::Hook("ClosePrinter", &ClosePrinter);
    GetPrinterCount::Hook("GetPrinterW", &GetPrinterW);
    GetPrinterDriverCount::Hook("GetPrinterDriverW", &GetPrinterDriverW);
    GetPrinterDataCount::Hook("GetPrinterDataW", &GetPrinterDataW);
    GetPrinterDataExCount::Hook("GetPrinterDataExW", &GetPrinterDataExW);
    GetPrinterDataACount::Hook("GetPrinterDataA", &GetPrinterDataA);
    EnumJobsCount::Hook("EnumJobsW", &EnumJobsW);
    RegOpenCount::Hook("RegOpenKeyExW", &RegOpenKeyExW);
    RegCreateCount::Hook("RegCreateKeyExW", &RegCreateKeyExW);
    RegQueryCount::Hook("RegQueryValueExW", &RegQueryValueExW);
    WaitCount::Hook("WaitForSingleObject", &WaitForSingleObject);
}

CallCounts Snapshot(const QvSim::XpmlServerProcess& server) {
    CallCounts counts;
    counts.spooler = OpenPrinterCount::count + ClosePrinterCount::count + GetPrinterCount::count +
                     GetPrinterDriverCount::count + GetPrinterDataCount::count +
                     GetPrinterDataExCount::count + GetPrinterDataACount::count +
                     EnumJobsCount::count;
    counts.registryOpens = RegOpenCount::count + RegCreateCount::count;
    counts.registryQueries = RegQueryCount::count;
    counts.waits = WaitCount::count;
    counts.requests = server.Requests();
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 100000;
    QvSim::XpmlServerProcess server;
    if (!server.Ok() || calls <= 0) {
        std::fwprintf(stderr, L"no XPML server: %ls\n", server.Error().c_str());
        return 1;
    }
    const std::wstring tag = L"qvbench-di-" + std::to_wstring(GetCurrentProcessId());
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring error;
    // A generated printer description: with wineps.drv itself as its data file,
    // the driver events of OpenPrinterW and SetPrinterDataW have Wine's
    // PostScript driver parse a binary as one, which broke this program's heap.
    const std::wstring description = tag + L".ppd";
    QvSim::PrinterDriverSetup driver{tag,        description,     300, L"Quorvel Bench",
                                     L"qvbench", L"Quorvel Bench"};
    QvSim::PrinterSetup printerSetup{tag, tag, std::wstring(temp) + tag + L".prn", L"", L""};
    if (!QvSim::InstallPrinterDriver(driver, &error) ||
        !QvSim::InstallPrinter(printerSetup, &error)) {
        std::fwprintf(stderr, L"no printer: %ls\n", error.c_str());
        QvSim::RemovePrinterDriver(tag, description);
        return 1;
    }
    const OString name(tag.c_str());
    PrinterRegistry registry(RegistryFactsOf(name));
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    OpenPrinterW(const_cast<LPWSTR>(tag.c_str()), &printer, &defaults);
    // Any "DAL Interface" value makes the advanced interface; no module is loaded
    // for status.
    const wchar_t module[] = L"qvbench.dll";
    SetPrinterDataW(printer, const_cast<LPWSTR>(L"DAL Interface"), REG_SZ,
                    reinterpret_cast<BYTE*>(const_cast<wchar_t*>(module)), sizeof module);
    registry.SetRedirect(false);
    QvSim::FollowXpmlServer(tag, server.Port());
    server.Control({{"status", "Ribbon Low"}, {"severity", "3"}});

    HDRIVERINTERFACE driverInterface = DI_Open_impl(printer);
    HttpRequest request;
    request.SetMethod("POST");
    request.SetPath("/xpml");
    request.AddField("xpml", kStatusTextRequest);
    request.AddField("persist", "1");
    request.AddField("transactid", TransactionIdText(NewTransactionId()));
    request.AddField("printer", name);
    std::vector<uint8_t> bytes;
    request.Serialize(bytes);
    QvBench::RawClient raw(server.Port());
    QvBench::NetworkKeyTimer keyTimer(registry);

    // Warm up: connection, printer cache, settings.
    std::wstring text;
    for (int i = 0; i < 200; ++i) {
        BSTR answer = DI_GetPrinterStatusText_impl(driverInterface);
        text = answer != nullptr ? answer : L"(null)";
        SysFreeString(answer);
        raw.Exchange(bytes);
    }
    // The counts: the server's own counter answers a request of its own, so
    // it is read outside the counted calls.
    HookCounters();
    constexpr int kCounted = 1000;
    const CallCounts first = Snapshot(server);
    for (int i = 0; i < kCounted; ++i) {
        SysFreeString(DI_GetPrinterStatusText_impl(driverInterface));
    }
    const CallCounts last = Snapshot(server);
    auto per = [](long long from, long long to) {
        return static_cast<double>(to - from) / kCounted;
    };
    std::printf(
        "per status call: spooler calls %.2f, registry opens %.2f, registry queries %.2f, "
        "waits %.2f, XPML requests %.2f\n",
        per(first.spooler, last.spooler), per(first.registryOpens, last.registryOpens),
        per(first.registryQueries, last.registryQueries), per(first.waits, last.waits),
        per(first.requests, last.requests - 1));

    const Usage before = Measure();
    const int64_t connectionsBefore = server.Connections();
    double total = 0;
    double rawTime = 0;
    double settingsTime = 0;
    double spooler = 0;
    int answered = 0;
    int rawAnswered = 0;
    // The parts are timed on every 10th call only; every call is timed whole.
    for (int i = 0; i < calls; ++i) {
        double start = QvBench::Now();
        BSTR answer = DI_GetPrinterStatusText_impl(driverInterface);
        total += QvBench::Now() - start;
        answered += answer != nullptr && std::wcscmp(answer, L"Ribbon Low") == 0 ? 1 : 0;
        SysFreeString(answer);
        if (i % 10 != 0) {
            continue;
        }
        start = QvBench::Now();
        rawAnswered += raw.Exchange(bytes) ? 1 : 0;
        rawTime += QvBench::Now() - start;
        start = QvBench::Now();
        {
            PrinterCallContext context(name);
            context.Settings().GetStatusMonitoringMode();
        }
        settingsTime += QvBench::Now() - start;
        start = QvBench::Now();
        BYTE word[64];
        DWORD wordSize = 0;
        GetPrinterW(printer, 6, word, sizeof word, &wordSize);
        spooler += QvBench::Now() - start;
        keyTimer.Sample();
    }
    const Usage after = Measure();
    const int sampled = (calls + 9) / 10;
    total /= calls;
    rawTime /= sampled;
    settingsTime /= sampled;
    const double network = (keyTimer.openClose + kNetworkQueries * keyTimer.query) / sampled;
    const double registryTime = settingsTime + network;
    spooler /= sampled;

    std::printf(
        "DI_GetPrinterStatusText: %.1f us per call (%d of %d the printer's text \"%ls\", "
        "%lld new connection(s))\n",
        total, answered, calls, text.c_str(),
        static_cast<long long>(server.Connections() - connectionsBefore));
    std::printf("raw keep-alive exchange: %.1f us (%d of %d answered)\n", rawTime, rawAnswered,
                sampled);
    std::printf(
        "registry per call:       %.1f us (monitoring setting %.1f, network settings "
        "%.1f)\n",
        registryTime, settingsTime, network);
    std::printf("spooler status word:     %.1f us (the paused check)\n", spooler);
    std::printf("split: exchange %.1f us, registry %.1f us, spooler %.1f us, rest %.1f us\n",
                rawTime, registryTime, spooler, total - rawTime - registryTime - spooler);
    std::printf(
        "ratio call / (exchange + registry): %.3f; with the spooler read: %.3f "
        "(target <= 1.10)\n",
        total / (rawTime + registryTime), total / (rawTime + registryTime + spooler));
    std::printf(
        "growth over %d calls: fresh handle value 0x%llX before, 0x%llX after; heap %zu "
        "KB before, %zu KB after\n",
        calls, static_cast<unsigned long long>(before.probeHandle),
        static_cast<unsigned long long>(after.probeHandle), before.heapBytes / 1024,
        after.heapBytes / 1024);

    DI_Close_impl(driverInterface);
    ClosePrinter(printer);
    QvSim::ForgetXpmlServer(tag);
    QvSim::RemovePrinter(tag);
    QvSim::RemovePrinterDriver(tag, description);
    return 0;
}
