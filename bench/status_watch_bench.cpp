// Status that never waits, measured against status that asks every time:
// many threads call DI_GetPrinterStatusText on random printers, each thread
// through an interface of its own on every printer, all answered by the
// simulated XPML server. Three phases of one run, printed side by side:
//   unwatched   every call makes its own exchange (what hosts get today);
//   watched     every interface watches (QVDI_WatchStatus), so calls answer
//               from the snapshot one watcher per printer keeps;
//   silent      the same while half the printers' server holds every request
//               unanswered: the answering printers must not fall behind.
// Per phase: calls per second, p50 and p99 per call, exchanges, state
// requests per printer per second (target 1000 / interval, within 5 %), the
// oldest snapshot of an answering printer (target below 2 x interval + 1 s),
// library threads beyond the unwatched phase (target at most 8) and private
// bytes per watched printer (target at most 64 KiB; the second half's share,
// so that what the library spends once is not counted per printer). Targets for a call:
// p99 at most 50 us watched, against about 900 us for an unwatched call.
//
//   status_watch_bench [--printers N] [--threads T] [--seconds S]
//                      [--interval MS] [--short]
//
// Defaults 200 printers, 16 threads, 20 s a phase, 1000 ms; --short is a
// smoke run (20 printers, 4 threads, 3 s). Loads QuorvelDriverUtility.dll from
// beside the program as a host does; installs its printers "qvwatch-1" ...
// and removes them at the end.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "core/handles.h"
#include "quorvel_driver_utility.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"
#include "sim/process_usage.h"
#include "sim/xpml_server_process.h"

namespace {

struct Options {
    int printers = 200;
    int threads = 16;
    int seconds = 20;
    unsigned long intervalMs = 1000;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int* target = arg == "--printers"  ? &options.printers
                      : arg == "--threads" ? &options.threads
                      : arg == "--seconds" ? &options.seconds
                                           : nullptr;
        if (arg == "--short") {
            options.printers = 20;
            options.threads = 4;
            options.seconds = 3;
        } else if (arg == "--interval" && i + 1 < argc) {
            options.intervalMs = std::strtoul(argv[++i], nullptr, 10);
        } else if (target != nullptr && i + 1 < argc) {
            *target = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return options.printers >= 2 && options.threads >= 1 && options.seconds >= 1 &&
           options.intervalMs >= 100;
}

// The exports a host of the watch calls, found as a host finds them.
struct Library {
    HMODULE module = nullptr;
    QV_PFN_DI_OPEN open = nullptr;
    QV_PFN_DI_CLOSE close = nullptr;
    QV_PFN_DI_GET_PRINTER_STATUS_TEXT text = nullptr;
    QV_PFN_QVDI_WATCH_STATUS watch = nullptr;
    QV_PFN_QVDI_GET_STATUS_SNAPSHOT snapshot = nullptr;

    template <typename Function>
    void Find(Function& function, const char* name) {
        function =
            reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    bool Load() {
        module = LoadLibraryW((QvSim::ProgramFolder() + L"QuorvelDriverUtility.dll").c_str());
        if (module == nullptr) {
            return false;
        }
        Find(open, QV_EXPORT_DI_OPEN);
        Find(close, QV_EXPORT_DI_CLOSE);
        Find(text, QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT);
        Find(watch, "QVDI_WatchStatus");
        Find(snapshot, "QVDI_GetStatusSnapshot");
        return open != nullptr && close != nullptr && text != nullptr;
    }
    bool CanWatch() const { return watch != nullptr && snapshot != nullptr; }
};

// Threads of this process, from a system snapshot.
int ProcessThreads() {
    OKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

// The server's counters as numbers by name ("requests", "printer:NAME", ...).
std::map<std::string, int64_t> Counters(const QvSim::XpmlServerProcess& server) {
    std::map<std::string, int64_t> counters;
    const std::string text = server.Control({});
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(';', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string pair = text.substr(start, end - start);
        const size_t equals = pair.rfind('=');
        if (equals != std::string::npos) {
            counters[pair.substr(0, equals)] = std::atoll(pair.c_str() + equals + 1);
        }
        start = end + 1;
    }
    return counters;
}

std::string PrinterName(int index) {
    return "qvwatch-" + std::to_string(index + 1);
}

struct Phase {
    const char* name;
    double callsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    int64_t exchanges = 0;
    double answeringRate = 0;  // state requests per answering printer per second
    double silentRate = 0;     // the same for a silent printer
    unsigned long oldestMs = 0;
    int unanswered = 0;  // looks at an answering printer that found it silent
    int threads = 0;
    bool ran = false;
};

// threads x printers interfaces, called at random for the given time.
Phase RunPhase(const char* name, const Library& library, const QvSim::XpmlServerProcess& server,
               const std::vector<std::vector<HDRIVERINTERFACE>>& interfaces, int seconds,
               int silentFrom, bool watched) {
    Phase phase{name};
    phase.ran = true;
    const int printers = static_cast<int>(interfaces[0].size());
    std::atomic<bool> stop{false};
    std::vector<std::vector<float>> samples(interfaces.size());
    std::vector<std::thread> workers;
    const auto before = Counters(server);
    const double start = QvBench::Now();
    for (size_t t = 0; t < interfaces.size(); ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1);
            std::uniform_int_distribution<int> pick(0, printers - 1);
            samples[t].reserve(1 << 20);
            while (!stop.load(std::memory_order_relaxed)) {
                const double begin = QvBench::Now();
                BSTR text = library.text(interfaces[t][pick(random)]);
                samples[t].push_back(static_cast<float>(QvBench::Now() - begin));
                SysFreeString(text);
            }
        });
    }
    // The main thread watches the answering printers' snapshots meanwhile,
    // and counts the threads half-way.
    for (int tick = 0; QvBench::Now() - start < seconds * 1e6; ++tick) {
        Sleep(100);
        if (tick == seconds * 5) {
            phase.threads = ProcessThreads();
        }
        for (int p = 0; watched && p < silentFrom; ++p) {
            QV_STATUS_SNAPSHOT snapshot = {};
            snapshot.cbSize = sizeof snapshot;
            if (library.snapshot(interfaces[0][p], &snapshot) && snapshot.sequence > 0) {
                phase.oldestMs = std::max(phase.oldestMs, snapshot.ageMs);
                phase.unanswered += snapshot.unreachableSince != 0 ? 1 : 0;
            }
        }
    }
    stop = true;
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double elapsed = (QvBench::Now() - start) / 1e6;
    const auto after = Counters(server);
    std::vector<float> all;
    for (const auto& some : samples) {
        all.insert(all.end(), some.begin(), some.end());
    }
    std::sort(all.begin(), all.end());
    if (!all.empty()) {
        phase.p50 = all[all.size() / 2];
        phase.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    phase.callsPerSecond = static_cast<double>(all.size()) / elapsed;
    auto delta = [&](const std::string& key) {
        const auto was = before.find(key);
        const auto is = after.find(key);
        return (is == after.end() ? 0 : is->second) - (was == before.end() ? 0 : was->second);
    };
    phase.exchanges = delta("requests");
    double answering = 0;
    double silent = 0;
    for (int p = 0; p < printers; ++p) {
        (p < silentFrom ? answering : silent) +=
            static_cast<double>(delta("printer:" + PrinterName(p)));
    }
    phase.answeringRate = answering / silentFrom / elapsed;
    phase.silentRate = printers > silentFrom ? silent / (printers - silentFrom) / elapsed : 0;
    return phase;
}

// The bench's printers: advanced (a "DAL Interface" value; status needs no
// module), bidi and monitoring on, asking the server on port.
bool InstallPrinters(const std::wstring& driver, int count, int32_t port, std::wstring* error) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    static const wchar_t kModule[] = L"qvwatchbench.dll";
    for (int i = 0; i < count; ++i) {
        const std::wstring name = L"qvwatch-" + std::to_wstring(i + 1);
        QvSim::RemovePrinter(name);  // left by a run that did not end
        if (!QvSim::InstallPrinter({name, driver, std::wstring(temp) + name + L".prn", L"", L""},
                                   error)) {
            return false;
        }
        HANDLE printer = nullptr;
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        const bool opened = OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, &defaults);
        const bool set =
            opened && SetPrinterDataW(printer, const_cast<LPWSTR>(L"DAL Interface"), REG_SZ,
                                      reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kModule)),
                                      sizeof kModule) == ERROR_SUCCESS;
        if (opened) {
            ClosePrinter(printer);
        }
        if (!set || !QvSim::FollowXpmlServer(name, port)) {
            *error = L"cannot make " + name + L" an advanced printer";
            return false;
        }
    }
    return true;
}

void PrintRow(const char* label, const std::vector<Phase>& phases, const char* format,
              double (*value)(const Phase&)) {
    std::printf("%-44s", label);
    for (const Phase& phase : phases) {
        if (phase.ran) {
            char cell[32];
            std::snprintf(cell, sizeof cell, format, value(phase));
            std::printf("%14s", cell);
        } else {
            std::printf("%14s", "-");
        }
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::printf(
            "usage: status_watch_bench [--printers N>=2] [--threads T] [--seconds S] "
            "[--interval MS>=100] [--short]\n");
        return 1;
    }
    QvSim::XpmlServerProcess server;
    const std::wstring tag = L"qvwatch-driver-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring description = tag + L".ppd";
    const QvSim::PrinterDriverSetup driver{tag,        description,     300, L"Quorvel Bench",
                                           L"qvwatch", L"Quorvel Bench"};
    std::wstring error = server.Ok() ? L"" : L"no XPML server: " + server.Error();
    const double installStart = QvBench::Now();
    bool ready = server.Ok() && QvSim::InstallPrinterDriver(driver, &error) &&
                 InstallPrinters(tag, options.printers, server.Port(), &error);
    const double installSeconds = (QvBench::Now() - installStart) / 1e6;
    Library library;
    if (ready && !library.Load()) {
        error = L"QuorvelDriverUtility.dll beside the program did not load";
        ready = false;
    }
    std::vector<HANDLE> spooler(options.printers, nullptr);
    std::vector<std::vector<HDRIVERINTERFACE>> interfaces(
        options.threads, std::vector<HDRIVERINTERFACE>(options.printers, nullptr));
    for (int p = 0; ready && p < options.printers; ++p) {
        const std::wstring name = L"qvwatch-" + std::to_wstring(p + 1);
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
        ready = OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &spooler[p], &defaults);
        for (int t = 0; ready && t < options.threads; ++t) {
            ready = (interfaces[t][p] = library.open(spooler[p])) != nullptr;
        }
    }
    if (!ready) {
        std::fwprintf(stderr, L"status_watch_bench: %ls\n", error.c_str());
    } else {
        std::printf(
            "%d printers (installed in %.1f s), %d threads, %d s a phase, watch interval %lu "
            "ms\n",
            options.printers, installSeconds, options.threads, options.seconds, options.intervalMs);
        server.Control({{"status", "Ready"}, {"severity", "1"}});
        std::vector<Phase> phases = {RunPhase("unwatched", library, server, interfaces,
                                              options.seconds, options.printers, false),
                                     Phase{"watched"}, Phase{"half silent"}};
        const int unwatchedThreads = phases[0].threads;
        size_t privatePerPrinter = 0;
        size_t fixedBytes = 0;
        if (library.CanWatch()) {
            // In two halves: what the first costs beyond the second is the
            // library's once (its threads' stacks), the second's share a
            // printer's own. Each waits for every watcher's first refresh, so
            // the phase sees the steady state.
            const int half = options.printers / 2;
            const size_t before = QvSim::PrivateBytes();
            size_t bytes[2] = {};
            for (int part = 0; part < 2; ++part) {
                for (const auto& row : interfaces) {
                    for (int p = part == 0 ? 0 : half; p < (part == 0 ? half : options.printers);
                         ++p) {
                        library.watch(row[p], options.intervalMs);
                    }
                }
                Sleep(options.intervalMs * 2);
                bytes[part] = QvSim::PrivateBytes();
            }
            fixedBytes = std::max(bytes[0], before) - before;
            privatePerPrinter =
                (std::max(bytes[1], bytes[0]) - bytes[0]) / (options.printers - half);
            phases[1] = RunPhase("watched", library, server, interfaces, options.seconds,
                                 options.printers, true);
            std::vector<std::pair<std::string, std::string>> silence;
            for (int p = half; p < options.printers; ++p) {
                silence.push_back({"printer", PrinterName(p)});
                silence.push_back({"silent", "1"});
            }
            server.Control(silence);
            phases[2] =
                RunPhase("half silent", library, server, interfaces, options.seconds, half, true);
            for (auto& setting : silence) {
                setting.second = setting.first == "silent" ? "0" : setting.second;
            }
            server.Control(silence);
        } else {
            std::printf("the DLL has no status watch (QVDI_WatchStatus): watched phases skipped\n");
        }
        std::printf("%-44s%14s%14s%14s\n", "", "unwatched", "watched", "half silent");
        PrintRow("calls per second", phases, "%.0f",
                 [](const Phase& p) { return p.callsPerSecond; });
        PrintRow("p50 per call (us)", phases, "%.1f", [](const Phase& p) { return p.p50; });
        PrintRow("p99 per call (us; watched target <= 50)", phases, "%.1f",
                 [](const Phase& p) { return p.p99; });
        PrintRow("exchanges", phases, "%.0f",
                 [](const Phase& p) { return static_cast<double>(p.exchanges); });
        PrintRow("state requests/printer/s, answering", phases, "%.3f",
                 [](const Phase& p) { return p.answeringRate; });
        PrintRow("state requests/printer/s, silent", phases, "%.3f",
                 [](const Phase& p) { return p.silentRate; });
        PrintRow("oldest answering snapshot (ms)", phases, "%.0f",
                 [](const Phase& p) { return static_cast<double>(p.oldestMs); });
        PrintRow("answering printers seen silent (looks)", phases, "%.0f",
                 [](const Phase& p) { return static_cast<double>(p.unanswered); });
        PrintRow("process threads (bench's own included)", phases, "%.0f",
                 [](const Phase& p) { return static_cast<double>(p.threads); });
        if (library.CanWatch()) {
            std::printf(
                "library threads beyond unwatched: %d (target <= 8); private bytes per watched "
                "printer: %zu (target <= 65536), beyond %zu KiB for the first half; oldest "
                "answering snapshot target < %lu ms; state requests target %.2f +- 5 %% a "
                "printer a second\n",
                std::max(phases[1].threads, phases[2].threads) - unwatchedThreads,
                privatePerPrinter, fixedBytes / 1024, 2 * options.intervalMs + 1000,
                1000.0 / options.intervalMs);
        }
    }
    for (const auto& row : interfaces) {
        for (HDRIVERINTERFACE driverInterface : row) {
            if (driverInterface != nullptr) {
                library.close(driverInterface);
            }
        }
    }
    for (int p = 0; p < options.printers; ++p) {
        if (spooler[p] != nullptr) {
            ClosePrinter(spooler[p]);
        }
        QvSim::RemovePrinter(L"qvwatch-" + std::to_wstring(p + 1));
    }
    QvSim::ForgetXpmlServer(L"qvwatch-1");
    QvSim::RemovePrinterDriver(tag, description);
    return ready ? 0 : 1;
}
