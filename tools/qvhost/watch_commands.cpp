#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"

// status --watch and watch: status as the library's watcher pushes it. The
// program never polls the printer: it waits for the next change
// (QVDI_WaitForStatusChange for one printer, a window message for many) and
// prints the snapshot that change brought, one line each.

namespace {

// Posted by the library to the message-only window of "watch".
constexpr UINT kChangeMessage = WM_APP + 1;
// How long a wait lasts before the program looks at Ctrl+C and the deadline.
constexpr DWORD kWaitSliceMs = 200;

// Local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::wstring TimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t text[32];
    std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

// The watch interval: whole or decimal seconds, at least 0.05 (the library
// raises anything below 0.1 to 0.1), at most an hour.
DWORD TakeIntervalMs(const std::vector<std::wstring>& positional) {
    if (positional.empty()) {
        return 2000;
    }
    wchar_t* end = nullptr;
    const double seconds = std::wcstod(positional[0].c_str(), &end);
    if (positional[0].empty() || end == nullptr || *end != L'\0' || !(seconds >= 0.05) ||
        seconds > 3600) {
        throw QvUsageError("the watch wants an interval of 0.05 to 3600 seconds, not '" +
                           QvToUtf8(positional[0]) + "'");
    }
    return static_cast<DWORD>(seconds * 1000);
}

// The rest of a watch's command line: the interval, and when --count N ends
// the watch (after N intervals; 0 for never).
struct WatchArgs {
    DWORD intervalMs = 0;
    ULONGLONG deadline = 0;
};

WatchArgs TakeWatchArgs(QvArgs& args) {
    int32_t count = 0;
    const bool counted = args.TakeInt(L"count", count);
    if (counted && count < 1) {
        throw QvUsageError("--count wants a number of intervals of at least 1");
    }
    WatchArgs watch;
    watch.intervalMs = TakeIntervalMs(args.Finish(0, 1));
    watch.deadline =
        counted ? ::GetTickCount64() + static_cast<ULONGLONG>(count) * watch.intervalMs : 0;
    return watch;
}

bool Running(ULONGLONG deadline) {
    return !QvStopRequested() && (deadline == 0 || ::GetTickCount64() < deadline);
}

DWORD NextSlice(ULONGLONG deadline) {
    const ULONGLONG now = ::GetTickCount64();
    return deadline == 0 || deadline - now > kWaitSliceMs ? kWaitSliceMs
                                                          : static_cast<DWORD>(deadline - now);
}

[[noreturn]] void ThrowExportFailed(const char* name) {
    const DWORD error = ::GetLastError();
    throw QvCommandError(kQvExitNoResult,
                         std::string(name) + " failed (error " + std::to_string(error) + ")");
}

// One watched interface: its printer's name, the exports it is read
// through, and the sequence last printed.
class Watched {
public:
    Watched(QvHost& host, const std::wstring& name)
        : m_printer(host, name),
          m_snapshot(host.Export<QV_PFN_QVDI_GET_STATUS_SNAPSHOT>("QVDI_GetStatusSnapshot")) {}

    void Start(QvHost& host, DWORD intervalMs) {
        if (!host.Export<QV_PFN_QVDI_WATCH_STATUS>("QVDI_WatchStatus")(Driver(), intervalMs)) {
            ThrowExportFailed("QVDI_WatchStatus");
        }
    }

    HDRIVERINTERFACE Driver() const { return m_printer.Driver(); }
    unsigned long long Printed() const { return m_printed; }

    // Prints the latest snapshot when it is newer than the one printed last
    // (or always, for the first line); named adds the printer's name, for a
    // watch over many printers.
    void PrintIfNew(QvHost& host, bool named, bool first = false) {
        QV_STATUS_SNAPSHOT status = {};
        status.cbSize = sizeof status;
        if (!m_snapshot(Driver(), &status)) {
            ThrowExportFailed("QVDI_GetStatusSnapshot");
        }
        if (!first && status.sequence <= m_printed) {
            return;
        }
        m_printed = status.sequence;
        const std::wstring time = TimeStamp();
        if (host.Json()) {
            host.PrintJson(QvJson(named ? L"watch" : L"status")
                               .Add("printer", m_printer.Name())
                               .Add("time", time)
                               .Add("sequence", static_cast<int64_t>(status.sequence))
                               .Add("flags", static_cast<int64_t>(status.flags))
                               .Add("extendedFlags", static_cast<int64_t>(status.extendedFlags))
                               .Add("severity", static_cast<int64_t>(status.severity))
                               .Add("text", status.text)
                               .Add("provenanceCode", static_cast<int64_t>(status.provenance))
                               .Add("provenance", status.provenanceText)
                               .Add("ageMs", static_cast<int64_t>(status.ageMs))
                               .Add("unreachable", status.unreachableSince != 0));
            return;
        }
        static const wchar_t* const kSeverities[] = {L"ready", L"error", L"warning"};
        const std::wstring severity = status.severity >= 1 && status.severity <= 3
                                          ? kSeverities[status.severity - 1]
                                          : L"severity " + std::to_wstring(status.severity);
        host.Print(time + (named ? L" \"" + m_printer.Name() + L"\"" : L"") + L" flags " +
                   QvHex32(status.flags) + L" extended " + QvHex32(status.extendedFlags) + L" " +
                   severity + L" text \"" + status.text + L"\" provenance " +
                   std::to_wstring(status.provenance) + L" (" + status.provenanceText + L") age " +
                   std::to_wstring(status.ageMs) + L" ms, change " +
                   std::to_wstring(status.sequence) +
                   (status.unreachableSince != 0 ? L", unreachable" : L""));
    }

private:
    OpenedPrinter m_printer;
    QV_PFN_QVDI_GET_STATUS_SNAPSHOT m_snapshot;
    unsigned long long m_printed = 0;
};

// A message-only window: it needs no desktop, so it works where a host has
// none (a service, Wine without a display).
class MessageWindow {
public:
    MessageWindow() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &::DefWindowProcW;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"QvHostWatch";
        ::RegisterClassW(&windowClass);
        m_window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                     nullptr, windowClass.hInstance, nullptr);
        if (m_window == nullptr) {
            const DWORD error = ::GetLastError();
            throw QvCommandError(kQvExitFailure, "cannot create a message window (error " +
                                                     std::to_string(error) + ")");
        }
    }
    ~MessageWindow() { ::DestroyWindow(m_window); }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    HWND Get() const { return m_window; }

private:
    HWND m_window = nullptr;
};

int RunWatch(QvHost& host, QvArgs& args) {
    const WatchArgs watch = TakeWatchArgs(args);
    // The window outlives the interfaces: DI_Close unregisters the message.
    MessageWindow window;
    auto isAdvanced = host.Export<QV_PFN_QVDI_IS_ADVANCED>("QVDI_IsAdvanced");
    auto setMessage = host.Export<QV_PFN_QVDI_SET_STATUS_MESSAGE>("QVDI_SetStatusMessage");
    std::vector<std::unique_ptr<Watched>> printers;
    for (const std::wstring& name : QvPrinterNames()) {
        std::unique_ptr<Watched> printer;
        try {
            printer = std::make_unique<Watched>(host, name);
        } catch (const QvCommandError&) {
            continue;  // a printer that does not open is not followed
        }
        if (!isAdvanced(printer->Driver())) {
            continue;
        }
        // Registered first, so that no change between the two goes unheard.
        if (!setMessage(printer->Driver(), window.Get(), kChangeMessage)) {
            ThrowExportFailed("QVDI_SetStatusMessage");
        }
        printer->Start(host, watch.intervalMs);
        printer->PrintIfNew(host, true, true);
        printers.push_back(std::move(printer));
    }
    if (printers.empty()) {
        QvPrintError(L"no advanced printer to watch");
        return kQvExitNoResult;
    }
    while (Running(watch.deadline)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, NextSlice(watch.deadline), QS_POSTMESSAGE);
        MSG message;
        while (::PeekMessageW(&message, window.Get(), kChangeMessage, kChangeMessage, PM_REMOVE)) {
            for (const auto& printer : printers) {
                if (reinterpret_cast<LPARAM>(printer->Driver()) == message.lParam) {
                    printer->PrintIfNew(host, true);
                }
            }
        }
    }
    return kQvExitOk;
}

const QvCommand kCommands[] = {
    {L"watch", L"[SECONDS] [--count N]",
     L"follow every advanced printer's status as its changes arrive (QVDI_WatchStatus)",
     L"\n"
     L"Watches every advanced printer of this computer with an interval of SECONDS\n"
     L"(default 2, decimals allowed) and prints a line for each printer at once and\n"
     L"one for each change: time stamp, the printer, then as status --watch. Changes\n"
     L"arrive as window messages (QVDI_SetStatusMessage); nothing is polled. Runs\n"
     L"until Ctrl+C or, with --count N, for N intervals. Exit code 1 when there is\n"
     L"no advanced printer.",
     &RunWatch},
};

}  // namespace

int RunStatusWatch(QvHost& host, const std::wstring& name, QvArgs& args) {
    const WatchArgs watch = TakeWatchArgs(args);
    Watched printer(host, name);
    auto waitForChange =
        host.Export<QV_PFN_QVDI_WAIT_FOR_STATUS_CHANGE>("QVDI_WaitForStatusChange");
    printer.Start(host, watch.intervalMs);
    printer.PrintIfNew(host, false, true);
    while (Running(watch.deadline)) {
        unsigned long long sequence = printer.Printed();
        if (waitForChange(printer.Driver(), &sequence, NextSlice(watch.deadline))) {
            printer.PrintIfNew(host, false);
        } else if (::GetLastError() != ERROR_TIMEOUT) {
            ThrowExportFailed("QVDI_WaitForStatusChange");
        }
    }
    return kQvExitOk;
}

const QvCommandGroup kQvWatchCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
