// A soak of the DI_ exports as a long-running host uses them: one thread per
// printer calls status text, status flags, extended flags, driver version,
// driver date and the support of a DAL command in a loop, while the printers'
// XPML server is restarted, made unreachable for a spell (a printer switched
// off: connection attempts get no answer at all), and their DAL proxies are
// killed now and then.
// Every call is timed against its budget (an XPML exchange may take the
// connection time-out once per attempt); a call over it is printed at once.
// Every 10 s a line gives the calls per second, the open handles (probed, as
// Wine answers 0 to GetProcessHandleCount) and private bytes, measured with
// the workers held between two rounds; the summary sets
// the figures after the warm-up against the last ones. Target: flat handles
// and memory, no call over budget.
//
//   soak_bench [SECONDS] [PRINTERS] [filelog]     defaults 60 and 3
//
// With "filelog", every level and the file bit are on for the library's four
// sources and the file logs' limit is 1 MiB; each report adds the size of
// every source's two files, which must stay within twice the limit. (The
// debugger bit stays off: under Wine each debugger line raises an exception
// and goes nowhere.) The masks and limit are put back at the end.
//
// SECONDS come after a 20 s warm-up that already restarts the server and
// kills the proxies once, so what those paths allocate once is not counted as
// growth. Installs the printers "qvsoak-1" ... (with a driver carrying the
// simulated DAL module, qvsimdal.dll beside this program, isolated in RunDLL32
// proxies) and removes them at the end.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "dal/dal_module.h"
#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "driver_interface/di_exports.h"
#include "printer/printer_registry_facts.h"
#include "registry/oregistry.h"
#include "registry/printer_registry.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"
#include "sim/process_usage.h"
#include "sim/unreachable_port.h"
#include "sim/xpml_server_process.h"
#include "xpml/xpml_exchange.h"
#include "xpml/xpml_network_settings.h"

namespace {

constexpr int kWarmUpSeconds = 20;
constexpr int kReportSeconds = 10;
// Within each period the server is restarted at second 5, unreachable from
// second 7 to 9 and the proxies are killed at second 15, so a report (at 0
// and 10) sees none of them in progress. The network settings are the
// computer's, so the spell takes every printer at once.
constexpr int kEventPeriodSeconds = 20;
constexpr int kRestartAt = 5;
constexpr int kUnreachableAt = 7;
constexpr int kReachableAt = 9;
constexpr int kKillAt = 15;
// What any call may take beyond its own waits on a loaded machine.
constexpr double kMarginMs = 1000;

constexpr int kDalCommand = QvSimDal::kActionPrintConfiguration;
// The printer's state, kept in a state file so a restarted server says the
// same: "Ribbon Low", severity 3 (warning) and "Status Flags 2" 0xC, so the
// extended flags are 0xC with the warning bit 0x40000000.
constexpr char kState[] = "status=Ribbon Low\r\nseverity=3\r\nflags2=0000000C\r\n";
constexpr wchar_t kStatusText[] = L"Ribbon Low";
constexpr unsigned long kExtendedFlags = 0x4000000C;

enum Call {
    StatusText,
    StatusFlags,
    ExtendedFlags,
    Version,
    Date,
    DalSupported,
    DalFirst,
    Open,
    Close,
    kCalls
};
constexpr const char* kCallNames[kCalls] = {"DI_GetPrinterStatusText",
                                            "DI_GetPrinterStatusFlags",
                                            "DI_GetPrinterExtendedStatusFlags",
                                            "DI_GetPrinterDriverVersion",
                                            "DI_GetPrinterDriverDate",
                                            "DI_IsCommandSupported",
                                            "DI_IsCommandSupported (starting the proxy)",
                                            "DI_Open",
                                            "DI_Close"};

double Milliseconds() {
    return QvBench::Now() / 1000;
}

// What the workers share with the main thread: the budgets, the counters, and
// the gate that holds them between two rounds while the process is measured.
class Soak {
public:
    explicit Soak(const double (&budgets)[kCalls]) : m_start(Milliseconds()) {
        std::copy(std::begin(budgets), std::end(budgets), m_budgets);
    }

    // Times one call; a call over its budget is printed.
    template <typename Function>
    auto Timed(Call call, const std::wstring& printer, Function function) {
        const double start = Milliseconds();
        auto result = function();
        const double took = Milliseconds() - start;
        ++calls;
        std::lock_guard<std::mutex> hold(m_lock);
        m_slowest[call] = std::max(m_slowest[call], took);
        if (took > m_budgets[call]) {
            ++overBudget;
            std::printf("%8.1f s  over budget: %s on %ls took %.0f ms (budget %.0f ms)\n",
                        (start - m_start) / 1000, kCallNames[call], printer.c_str(), took,
                        m_budgets[call]);
            std::fflush(stdout);
        }
        return result;
    }

    // A worker's way between two rounds: false once the soak is over.
    bool Pass() {
        std::unique_lock<std::mutex> hold(m_lock);
        if (m_paused) {
            ++m_waiting;
            m_changed.notify_all();
            m_changed.wait(hold, [this] { return !m_paused; });
            --m_waiting;
        }
        return !m_stop;
    }
    void Hold(int workers) {
        std::unique_lock<std::mutex> hold(m_lock);
        m_paused = true;
        m_changed.wait(hold, [&] { return m_waiting == workers; });
    }
    void Release(bool stop = false) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_paused = false;
            m_stop = stop;
        }
        m_changed.notify_all();
    }
    double Slowest(Call call) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_slowest[call];
    }
    double Budget(Call call) const { return m_budgets[call]; }
    void ResetSlowest() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::fill(std::begin(m_slowest), std::end(m_slowest), 0.0);
    }

    std::atomic<long long> calls{0};
    std::atomic<long long> overBudget{0};
    std::atomic<long long> printerStatus{0};  // status texts the printer gave
    std::atomic<long long> printerFlags{0};   // extended flags the printer gave
    std::atomic<long long> statusCalls{0};
    std::atomic<long long> reopens{0};  // interfaces opened again after a lost proxy

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_paused = false;
    bool m_stop = false;
    int m_waiting = 0;
    double m_start;
    double m_budgets[kCalls] = {};
    double m_slowest[kCalls] = {};
};

// One printer's host thread. A DAL command that stops being supported means
// its proxy is gone: the interface keeps its DAL handle for life, so the host
// opens a new one, as a host would.
void Work(Soak& soak, std::wstring name) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name.data(), &printer, nullptr)) {
        std::printf("%ls does not open (error %lu)\n", name.c_str(), GetLastError());
        while (soak.Pass()) {
            Sleep(100);
        }
        return;
    }
    // The first printer's host watches its status: its calls answer from the
    // watcher's snapshot through the same restarts and outages.
    const bool watched = name == L"qvsoak-1";
    auto open = [&] {
        HDRIVERINTERFACE opened = soak.Timed(Open, name, [&] { return DI_Open_impl(printer); });
        if (watched) {
            QVDI_WatchStatus(opened, 500);
        }
        return opened;
    };
    HDRIVERINTERFACE driver = open();
    bool dalOpen = false;
    while (soak.Pass()) {
        BSTR text =
            soak.Timed(StatusText, name, [&] { return DI_GetPrinterStatusText_impl(driver); });
        soak.printerStatus += text != nullptr && std::wcscmp(text, kStatusText) == 0 ? 1 : 0;
        ++soak.statusCalls;
        SysFreeString(text);
        soak.Timed(StatusFlags, name, [&] { return DI_GetPrinterStatusFlags_impl(driver); });
        const unsigned long flags = soak.Timed(
            ExtendedFlags, name, [&] { return DI_GetPrinterExtendedStatusFlags_impl(driver); });
        soak.printerFlags += flags == kExtendedFlags ? 1 : 0;
        SysFreeString(
            soak.Timed(Version, name, [&] { return DI_GetPrinterDriverVersion_impl(driver); }));
        SysFreeString(soak.Timed(Date, name, [&] { return DI_GetPrinterDriverDate_impl(driver); }));
        const bool supported = soak.Timed(dalOpen ? DalSupported : DalFirst, name, [&] {
            return DI_IsCommandSupported_impl(driver, kDalCommand);
        });
        dalOpen = supported;
        if (!supported) {
            soak.Timed(Close, name, [&] {
                DI_Close_impl(driver);
                return 0;
            });
            driver = open();
            ++soak.reopens;
        }
    }
    DI_Close_impl(driver);
    ClosePrinter(printer);
}

struct Usage {
    int handles = 0;
    size_t privateBytes = 0;
};

// Measured with every worker between two rounds. Not the heap walk: it locks
// every heap in turn while Wine's own threads use them, and hung the soak.
Usage Measure(Soak& soak, int workers) {
    soak.Hold(workers);
    Usage usage{QvSim::OpenHandles(), QvSim::PrivateBytes()};
    soak.Release();
    return usage;
}

// Ends every RunDLL32 process this one started (the DAL proxies); how many.
int KillProxies() {
    OKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int killed = 0;
    for (bool more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ParentProcessID != GetCurrentProcessId() ||
            _wcsicmp(entry.szExeFile, L"rundll32.exe") != 0) {
            continue;
        }
        OKernelHandle proxy(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (proxy && TerminateProcess(proxy.Get(), 1)) {
            WaitForSingleObject(proxy.Get(), 5000);
            ++killed;
        }
    }
    return killed;
}

// A printer of the soak: the label printer with its DAL module isolated in a
// proxy, asking the XPML server on port.
bool SetUpPrinter(const std::wstring& name, const std::wstring& driver, int32_t port,
                  std::wstring* error) {
    QvSim::RemovePrinter(name);  // left by a run that did not end
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    if (!QvSim::InstallPrinter({name, driver, std::wstring(temp) + name + L".prn", L"", L""},
                               error) ||
        QvSim::InstallDalModule(name, QvSim::ProgramFolder() + L"qvsimdal.dll", driver, error)
            .empty()) {
        return false;
    }
    if (!QvSim::FollowXpmlServer(name, port) ||
        !QvSim::SetDriverSetting(name, L"DAL", L"Isolation Mode", 1)) {
        *error = L"cannot write the settings of " + name;
        return false;
    }
    return true;
}

// The file-log mode's settings and figures.
class FileLogMode {
public:
    static constexpr uint32_t kEveryLevel = ~OEventLog::kDebuggerOutput;
    static constexpr uint32_t kLimit = 1u << 20;

    FileLogMode() {
        ORegistry registry;
        for (const wchar_t* source : kSources) {
            m_masks.push_back(OEventLogBase::ReadMaskOf(OString(source)));
            registry.SetNumber(OEventLogBase::MaskPathFor(OString(source)), kEveryLevel);
        }
        m_hadLimit = registry.GetValue(OString(kLimitPath), &m_limit, 4) == 4;
        registry.SetNumber(OString(kLimitPath), kLimit);
    }
    ~FileLogMode() {
        ORegistry registry;
        for (size_t i = 0; i < m_masks.size(); ++i) {
            registry.SetNumber(OEventLogBase::MaskPathFor(OString(kSources[i])), m_masks[i]);
        }
        if (m_hadLimit) {
            registry.SetNumber(OString(kLimitPath), m_limit);
        } else {
            registry.Delete(OString(kLimitPath), false);
        }
    }
    FileLogMode(const FileLogMode&) = delete;
    FileLogMode& operator=(const FileLogMode&) = delete;

    // One line per source: its two files' bytes.
    static void Print() {
        for (const wchar_t* source : kSources) {
            OString name(source);
            uint64_t bytes = Size(OEventLogFormat::FileLogPath(name)) +
                             Size(OEventLogBase::RolledFileLogPath(name));
            std::printf("    file log %-30ls %8.1f KB (at most %u KB)\n", source, bytes / 1024.0,
                        2 * kLimit / 1024);
        }
    }

private:
    static constexpr const wchar_t* kLimitPath = L"LOCAL:DebugLogFileLimit";
    static constexpr const wchar_t* kSources[] = {
        OEventLog::kSourcePrinterInterface, OEventLog::kSourceClientUtility,
        OEventLog::kSourcePrinterDriver, OEventLog::kSourceTcpLibrary};

    static uint64_t Size(const OString& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path.GetWide(), GetFileExInfoStandard, &data)) {
            return 0;
        }
        return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    }

    std::vector<uint32_t> m_masks;
    uint32_t m_limit = 0;
    bool m_hadLimit = false;
};

void PrintUsage(const Usage& usage) {
    std::printf("handles %d, private %zu KB", usage.handles, usage.privateBytes / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int printers = argc > 2 ? std::atoi(argv[2]) : 3;
    const bool fileLog = argc > 3 && std::strcmp(argv[3], "filelog") == 0;
    if (seconds <= 0 || printers <= 0 || printers > 64 || (argc > 3 && !fileLog)) {
        std::printf("usage: soak_bench [SECONDS] [PRINTERS 1..64] [filelog]\n");
        return 1;
    }
    std::unique_ptr<FileLogMode> fileLogMode = fileLog ? std::make_unique<FileLogMode>() : nullptr;
    SetEnvironmentVariableW(QvSimDal::kLogVariable, nullptr);  // no call log to grow
    const std::wstring tag = L"qvsoak-" + std::to_wstring(GetCurrentProcessId());
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring stateFile = std::wstring(temp) + tag + L".state";
    HANDLE state = CreateFileW(stateFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD stateWritten = 0;
    WriteFile(state, kState, sizeof kState - 1, &stateWritten, nullptr);
    CloseHandle(state);

    // A generated printer description, as the tests' printers have.
    const std::wstring description = tag + L".ppd";
    const QvSim::PrinterDriverSetup driver{tag,       description,    300, L"Quorvel Soak",
                                           L"qvsoak", L"Quorvel Soak"};
    std::vector<std::wstring> names;
    std::wstring error;
    auto server = std::make_unique<QvSim::XpmlServerProcess>(stateFile);
    int32_t port = server->Port();
    bool ready = server->Ok() && QvSim::InstallPrinterDriver(driver, &error);
    if (!server->Ok()) {
        error = L"no XPML server: " + server->Error();
    }
    for (int i = 1; ready && i <= printers; ++i) {
        names.push_back(L"qvsoak-" + std::to_wstring(i));
        ready = SetUpPrinter(names.back(), tag, port, &error);
    }

    // The network settings are the computer's, shared by every printer.
    PrinterRegistry registry(RegistryFactsOf(OString(L"qvsoak-1")));
    registry.SetRedirect(false);
    uint32_t timeout = registry.GetNumber("NETWORK:Connection Timeout", kDefaultTimeoutMs);
    timeout = timeout == 0 || timeout > INT32_MAX ? kDefaultTimeoutMs : timeout;
    const uint32_t attempts =
        std::min(registry.GetNumber("NETWORK:Connection Retries", 2), kMaxConnectionRetries) + 1;
    const double exchange = static_cast<double>(timeout) * attempts;
    const double budgets[kCalls] = {
        exchange + kMarginMs,  // one request, then the spooler's word at most
        kMarginMs,
        2 * exchange + kMarginMs,  // the flags request, the severity request after an answer
        kMarginMs,
        kMarginMs,
        kMarginMs,
        DriverDLLProxy::kConnectTimeoutMs + kMarginMs,
        kMarginMs,
        DriverDLLProxy::kProxyExitGraceMs + kMarginMs};

    Soak soak(budgets);
    std::vector<std::thread> workers;
    QvSim::UnreachablePort unreachable;
    if (ready && !unreachable.Ok()) {
        ready = false;
        error = L"no unreachable port";
    }
    long long spells = 0;
    long long restarts = 0;
    long long portKept = 0;
    long long killed = 0;
    Usage first;
    Usage last;
    if (ready) {
        std::printf(
            "soak: %d s after a %d s warm-up, %d printers; XPML time-out %u ms x %u attempts "
            "(budget %.0f ms a request), margin %.0f ms\n",
            seconds, kWarmUpSeconds, printers, timeout, attempts, exchange, kMarginMs);
        std::fflush(stdout);
        for (const std::wstring& name : names) {
            workers.emplace_back(Work, std::ref(soak), name);
        }
        const double start = Milliseconds();
        long long callsBefore = 0;
        long long callsAtStart = 0;
        long long overAtStart = 0;
        double lastReport = start;
        for (int second = 1 - kWarmUpSeconds; second <= seconds; ++second) {
            const double wait = start + (second + kWarmUpSeconds) * 1000.0 - Milliseconds();
            if (wait > 0) {
                Sleep(static_cast<DWORD>(wait));
            }
            const int phase =
                (second % kEventPeriodSeconds + kEventPeriodSeconds) % kEventPeriodSeconds;
            if (phase == kRestartAt) {
                server.reset();
                server = std::make_unique<QvSim::XpmlServerProcess>(stateFile, port);
                if (server->Ok()) {
                    ++portKept;
                } else {
                    // The old port is not free yet: a new one, and the
                    // printers told, as a driver would.
                    server = std::make_unique<QvSim::XpmlServerProcess>(stateFile);
                    port = server->Port();
                    registry.SetValue("NETWORK:TCP Port", &port, 4, REG_DWORD);
                }
                ++restarts;
            } else if (phase == kUnreachableAt) {
                DWORD away = static_cast<DWORD>(unreachable.Port());
                registry.SetValue("NETWORK:TCP Port", &away, 4, REG_DWORD);
                ++spells;
            } else if (phase == kReachableAt) {
                registry.SetValue("NETWORK:TCP Port", &port, 4, REG_DWORD);
            } else if (phase == kKillAt) {
                killed += KillProxies();
            }
            if (second < 0 || second % kReportSeconds != 0) {
                continue;
            }
            last = Measure(soak, printers);
            const double now = Milliseconds();
            const long long calls = soak.calls;
            std::printf("%5d s  %7.0f calls/s  ", second,
                        (calls - callsBefore) * 1000.0 / (now - lastReport));
            PrintUsage(last);
            std::printf(
                "  over budget %lld, restarts %lld, unreachable %lld, proxies killed %lld%s\n",
                soak.overBudget.load(), restarts, spells, killed,
                second == 0 ? "  (after the warm-up)" : "");
            if (fileLog) {
                FileLogMode::Print();
            }
            std::fflush(stdout);
            if (second == 0) {
                first = last;
                callsAtStart = calls;
                overAtStart = soak.overBudget;
                soak.ResetSlowest();
            }
            callsBefore = calls;
            lastReport = now;
        }
        soak.Hold(printers);
        soak.Release(true);
        for (std::thread& worker : workers) {
            worker.join();
        }
        const long long calls = soak.calls - callsAtStart;
        std::printf("\nsummary over %d s, %d printers:\n", seconds, printers);
        std::printf("  calls %lld (%.0f/s), over budget %lld (%lld in the warm-up)\n", calls,
                    static_cast<double>(calls) / seconds, soak.overBudget - overAtStart,
                    overAtStart);
        std::printf("  handles %d -> %d, private bytes %zu KB -> %zu KB\n", first.handles,
                    last.handles, first.privateBytes / 1024, last.privateBytes / 1024);
        std::printf(
            "  server restarts %lld (%lld on the same port), unreachable spells %lld, proxies "
            "killed %lld, interfaces opened again %lld\n",
            restarts, portKept, spells, killed, soak.reopens.load());
        std::printf("  status text from the printer %lld of %lld, extended flags %lld\n",
                    soak.printerStatus.load(), soak.statusCalls.load(), soak.printerFlags.load());
        for (int call = 0; call < kCalls; ++call) {
            std::printf("  slowest %-44s %8.1f ms (budget %.0f)\n", kCallNames[call],
                        soak.Slowest(static_cast<Call>(call)),
                        soak.Budget(static_cast<Call>(call)));
        }
        std::printf("target: flat handles and memory, no call over budget\n");
    } else {
        std::printf("cannot set the soak up: %ls\n", error.c_str());
    }

    server.reset();
    QvSim::ForgetXpmlServer(L"qvsoak-1");
    for (const std::wstring& name : names) {
        QvSim::RemovePrinter(name);
    }
    QvSim::RemovePrinterDriver(tag, description);
    DeleteFileW(QvSim::DalModuleCopyPath(tag).c_str());
    DeleteFileW(stateFile.c_str());
    return ready ? 0 : 1;
}
