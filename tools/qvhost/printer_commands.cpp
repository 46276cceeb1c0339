#include "tools/qvhost/qvhost.h"

#include <winspool.h>

#include <cwchar>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"

// status, info, command and is-supported: the DI_ exports on a printer named
// on the command line, opened with the spooler as a host opens it. Plain
// output is one "name: value" line per fact; --json prints one object.

QvPrinterHandle OpenSpoolerPrinter(const std::wstring& name) {
    HANDLE opened = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &opened, &defaults)) {
        const DWORD code = ::GetLastError();
        throw QvCommandError(kQvExitFailure, "cannot open printer '" + QvToUtf8(name) +
                                                 "' (error " + std::to_string(code) + ")");
    }
    return QvPrinterHandle(opened);
}

OpenedPrinter::OpenedPrinter(QvHost& host, const std::wstring& name) : m_name(name) {
    auto open = host.Export<QV_PFN_DI_OPEN>(QV_EXPORT_DI_OPEN);
    m_close = host.Export<QV_PFN_DI_CLOSE>(QV_EXPORT_DI_CLOSE);
    m_printer = OpenSpoolerPrinter(name);
    m_driver = open(m_printer.Get());
    if (m_driver == nullptr) {
        throw QvCommandError(kQvExitNoResult, "DI_Open returned no interface");
    }
}

OpenedPrinter::~OpenedPrinter() {
    m_close(m_driver);
}

int32_t StatusProvenanceOf(QvHost& host, const OpenedPrinter& printer, std::wstring& text) {
    wchar_t* provenance = nullptr;
    const int32_t code = host.Export<QV_PFN_QVDI_GET_STATUS_PROVENANCE>("QVDI_GetStatusProvenance")(
        printer.Driver(), &provenance);
    text = QvHost::TakeBstr(provenance).value_or(L"");
    return code;
}

std::wstring TakePrinterName(QvArgs& args) {
    std::wstring name;
    if (!args.TakeOption(L"printer", name) || name.empty()) {
        throw QvUsageError("--printer NAME is required");
    }
    return name;
}

namespace {

int32_t TakeCommandNumber(QvArgs& args) {
    return QvArgs::RequireInt32(args.Finish(1, 1)[0], "the command wants a 32-bit number");
}

// The extended flags carry the severity: bit 31 error, bit 30 warning;
// numbered as QVDI_GetPrinterStatusSeverity numbers it.
int SeverityOf(unsigned long extended) {
    return (extended & 0x80000000ul) != 0 ? 2 : (extended & 0x40000000ul) != 0 ? 3 : 1;
}

const wchar_t* SeverityName(unsigned long extended) {
    static const wchar_t* const kNames[] = {L"ready", L"error", L"warning"};
    return kNames[SeverityOf(extended) - 1];
}

std::wstring OrNone(const std::optional<std::wstring>& text) {
    return text ? *text : L"(none)";
}

// One answer of the status exports and the handle's object.
struct StatusSample {
    unsigned long flags = 0;
    unsigned long extended = 0;
    std::optional<std::wstring> text;
    int32_t provenanceCode = 0;
    std::wstring provenance;
    bool advanced = false;
    bool bidi = false;
    std::vector<int64_t> states;  // status ids 201..211 the printer set
};

StatusSample AskStatus(QvHost& host, const OpenedPrinter& printer) {
    StatusSample sample;
    sample.flags = host.Export<QV_PFN_DI_GET_PRINTER_STATUS_FLAGS>(
        QV_EXPORT_DI_GET_PRINTER_STATUS_FLAGS)(printer.Driver());
    sample.extended = host.Export<QV_PFN_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS>(
        QV_EXPORT_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS)(printer.Driver());
    sample.text = QvHost::TakeBstr(host.Export<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(
        QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT)(printer.Driver()));
    // Asked right after the status calls, before another one replaces it.
    sample.provenanceCode = StatusProvenanceOf(host, printer, sample.provenance);
    sample.advanced =
        host.Export<QV_PFN_QVDI_IS_ADVANCED>("QVDI_IsAdvanced")(printer.Driver()) != FALSE;
    auto hasStatus = host.Export<QV_PFN_QVDI_HAS_PRINTER_STATUS>("QVDI_HasPrinterStatus");
    for (int id = 201; sample.advanced && id <= 211; ++id) {
        if (hasStatus(printer.Driver(), id)) {
            sample.states.push_back(id);
        }
    }
    sample.bidi = sample.advanced && host.Export<QV_PFN_QVDI_IS_BIDI_ENABLED>("QVDI_IsBidiEnabled")(
                                         printer.Driver()) != FALSE;
    return sample;
}

QvJson StatusJson(const std::wstring& name, const StatusSample& sample) {
    QvJson json(L"status");
    json.Add("printer", name)
        .Add("flags", static_cast<int64_t>(sample.flags))
        .Add("flagsHex", QvHex32(sample.flags))
        .Add("extendedFlags", static_cast<int64_t>(sample.extended))
        .Add("extendedFlagsHex", QvHex32(sample.extended))
        .Add("severity", static_cast<int64_t>(SeverityOf(sample.extended)))
        .Add("severityName", SeverityName(sample.extended))
        .Add("text", sample.text)
        .Add("provenance", sample.provenance)
        .Add("provenanceCode", static_cast<int64_t>(sample.provenanceCode));
    if (sample.advanced) {
        json.Add("interface", L"advanced")
            .Add("bidi", sample.bidi)
            .Add("printerStates", sample.states);
    }
    return json;
}

void PrintStatus(QvHost& host, const std::wstring& name, const StatusSample& sample) {
    if (host.Json()) {
        host.PrintJson(StatusJson(name, sample));
        return;
    }
    host.Print(L"printer: " + name);
    host.Print(L"flags: " + QvHex32(sample.flags));
    host.Print(L"extended flags: " + QvHex32(sample.extended));
    host.Print(std::wstring(L"severity: ") + SeverityName(sample.extended));
    host.Print(L"text: " + OrNone(sample.text));
    host.Print(L"provenance: " + sample.provenance);
    host.Print(L"provenance code: " + std::to_wstring(sample.provenanceCode));
    if (sample.advanced) {
        std::wstring states;
        for (int64_t id : sample.states) {
            states += (states.empty() ? L"" : L" ") + std::to_wstring(id);
        }
        host.Print(L"interface: advanced");
        host.Print(std::wstring(L"bidi: ") + (sample.bidi ? L"on" : L"off"));
        host.Print(L"printer states: " + (states.empty() ? L"(none)" : states));
    }
}

int RunStatus(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    if (args.TakeFlag(L"watch")) {
        return RunStatusWatch(host, name, args);
    }
    int32_t count = 0;
    if (args.TakeInt(L"count", count)) {
        throw QvUsageError("--count goes with --watch");
    }
    args.Finish(0, 0);
    OpenedPrinter printer(host, name);
    PrintStatus(host, name, AskStatus(host, printer));
    return kQvExitOk;
}

int RunInfo(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    args.Finish(0, 0);
    OpenedPrinter printer(host, name);
    std::optional<std::wstring> version =
        QvHost::TakeBstr(host.Export<QV_PFN_DI_GET_PRINTER_DRIVER_VERSION>(
            QV_EXPORT_DI_GET_PRINTER_DRIVER_VERSION)(printer.Driver()));
    std::optional<std::wstring> date =
        QvHost::TakeBstr(host.Export<QV_PFN_DI_GET_PRINTER_DRIVER_DATE>(
            QV_EXPORT_DI_GET_PRINTER_DRIVER_DATE)(printer.Driver()));
    if (host.Json()) {
        host.PrintJson(
            QvJson(L"info").Add("printer", name).Add("version", version).Add("date", date));
    } else {
        host.Print(L"printer: " + name);
        host.Print(L"driver version: " + OrNone(version));
        host.Print(L"driver date: " + OrNone(date));
    }
    return version || date ? kQvExitOk : kQvExitNoResult;
}

struct Support {
    bool supported;
    bool userInterface;
};

// What is-supported and command print with --json, less their last field.
QvJson SupportJson(const wchar_t* run, const std::wstring& name, int32_t command,
                   const Support& support) {
    QvJson json(run);
    json.Add("printer", name)
        .Add("number", static_cast<int64_t>(command))
        .Add("supported", support.supported);
    return json;
}

Support AskSupport(QvHost& host, const OpenedPrinter& printer, int32_t command) {
    Support support;
    support.supported = host.Export<QV_PFN_DI_IS_COMMAND_SUPPORTED>(
        QV_EXPORT_DI_IS_COMMAND_SUPPORTED)(printer.Driver(), command);
    support.userInterface =
        host.Export<QV_PFN_DI_IS_COMMAND_UI>(QV_EXPORT_DI_IS_COMMAND_UI)(printer.Driver(), command);
    return support;
}

int RunIsSupported(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    int32_t command = TakeCommandNumber(args);
    OpenedPrinter printer(host, name);
    Support support = AskSupport(host, printer, command);
    if (host.Json()) {
        host.PrintJson(SupportJson(L"is-supported", name, command, support)
                           .Add("userInterface", support.userInterface));
    } else {
        host.Print(L"command " + std::to_wstring(command) + L": " +
                   (support.supported ? L"supported" : L"not supported") +
                   (support.userInterface ? L", with user interface" : L""));
    }
    return support.supported ? kQvExitOk : kQvExitNoResult;
}

int RunCommand(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    bool withWindow = args.TakeFlag(L"ui");
    int32_t command = TakeCommandNumber(args);
    OpenedPrinter printer(host, name);
    // Asked first so that an unsupported number is reported, not silently ignored.
    Support support = AskSupport(host, printer, command);
    if (support.supported) {
        if (withWindow) {
            // Without a console window (output redirected under Wine) the
            // desktop owns what the command shows.
            HWND owner = ::GetConsoleWindow();
            host.Export<QV_PFN_DI_COMMAND_UI>(QV_EXPORT_DI_COMMAND_UI)(
                printer.Driver(), owner != nullptr ? owner : ::GetDesktopWindow(), command);
        } else {
            host.Export<QV_PFN_DI_COMMAND>(QV_EXPORT_DI_COMMAND)(printer.Driver(), command);
        }
    }
    if (host.Json()) {
        host.PrintJson(
            SupportJson(L"command", name, command, support).Add("ran", support.supported));
    } else if (support.supported) {
        host.Print(L"command " + std::to_wstring(command) + L": done");
    } else {
        QvPrintError(L"command " + std::to_wstring(command) +
                     L": not supported by the printer's driver");
    }
    return support.supported ? kQvExitOk : kQvExitNoResult;
}

const QvCommand kCommands[] = {
    {L"status", L"--printer NAME [--watch [SECONDS] [--count N]]",
     L"a printer's status flags, extended flags, severity and text (DI_GetPrinterStatus*)",
     L"\n"
     L"--watch has the library watch the printer (QVDI_WatchStatus, refreshed every\n"
     L"SECONDS, default 2, decimals allowed) and waits for its changes\n"
     L"(QVDI_WaitForStatusChange) instead of polling. It prints one line at once and\n"
     L"one per change: time stamp, flags, extended flags, severity, text, provenance,\n"
     L"the snapshot's age, its change number and \"unreachable\" while the printer\n"
     L"does not answer (code 16: watching, no answer yet). It runs until Ctrl+C or,\n"
     L"with --count N, for N intervals (exit code 0). With --json each line is one\n"
     L"object.\n"
     L"\n"
     L"Without --watch, prints one per line:\n"
     L"  printer: NAME           the printer asked\n"
     L"  flags: 0x...            the spooler status word (PRINTER_STATUS_ bits)\n"
     L"  extended flags: 0x...   0x80000000 error, 0x40000000 warning\n"
     L"  severity: ...           ready, error or warning\n"
     L"  text: ...               the status text, or (none)\n"
     L"  provenance: ...         where the text came from: \"printer: ...\", or\n"
     L"                          \"spooler: ...\" and why the printer did not answer\n"
     L"  provenance code: N      the same as a number (QVDI_GetStatusProvenance):\n"
     L"                           0 the printer, over the network (its XPML server)\n"
     L"                           1 spooler: status monitoring is off (Status\n"
     L"                             Monitoring Mode 0 or above 3)\n"
     L"                           2 spooler: the printer's bidi support is off\n"
     L"                           3 spooler: the XPML server could not be reached\n"
     L"                           4 spooler: it did not answer in time\n"
     L"                           5 spooler: it refused the connection\n"
     L"                           6 spooler: its answer is no status answer\n"
     L"                           7 spooler: it answered another request\n"
     L"                           8 spooler: it answered with an HTTP status not 200\n"
     L"                           9 spooler: basic interface (no DAL module)\n"
     L"                          10 the printer, through the driver's hook\n"
     L"                          11 spooler: the printer does not monitor its state\n"
     L"                          12 spooler: network path off, the hook silent\n"
     L"                          13 the status word, always the spooler's\n"
     L"                          14 no status call yet\n"
     L"                          15 spooler: the name lookups are all busy\n"
     L"                          16 watching, no answer yet\n"
     L"An advanced printer with bidi on and \"Status/Status Monitoring Mode\" 1..3\n"
     L"answers from the printer itself (its XPML server). Every advanced printer\n"
     L"(its driver has a DAL module) adds:\n"
     L"  interface: advanced\n"
     L"  bidi: on|off            the printer's bidirectional attribute\n"
     L"  printer states: ...     status ids 201..211 whose bit the printer set\n"
     L"With --json the flags are numbers (flagsHex and extendedFlagsHex repeat them\n"
     L"as text), severity is its number (1 ready, 2 error, 3 warning; severityName\n"
     L"says it) and printerStates is an array of ids.",
     &RunStatus},
    {L"info", L"--printer NAME",
     L"the printer driver's version and date (DI_GetPrinterDriverVersion, ...Date)",
     L"\nExit code 1 when the library knows neither.", &RunInfo},
    {L"command", L"--printer NAME [--ui] N",
     L"run driver command N (DI_Command; with --ui, DI_CommandUI on the console window or the "
     L"desktop)",
     L"\nCommands of every driver: 1 prints the test page, 2 an empty page.\n"
     L"Exit code 1 when the driver does not support N (nothing is run).",
     &RunCommand},
    {L"is-supported", L"--printer NAME N",
     L"whether the driver supports command N and shows a user interface for it",
     L"\nExit code 0 when supported, 1 when not.", &RunIsSupported},
};

}  // namespace

const QvCommandGroup kQvPrinterCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
