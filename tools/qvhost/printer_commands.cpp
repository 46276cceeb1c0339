#include "tools/qvhost/qvhost.h"

#include <winspool.h>

#include <cwchar>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"

// status, info, command and is-supported: the DI_ exports on a printer named
// on the command line, opened with the spooler as a host opens it. Plain
// output is one "name: value" line per fact; --json prints one object.

namespace {

// The spooler's printer calls, bound at run time: the host links nothing but
// OLE automation, and winspool.drv is where every Windows host finds them.
struct SpoolerCalls {
    decltype(&::OpenPrinterW) openPrinter = nullptr;
    decltype(&::ClosePrinter) closePrinter = nullptr;
};

template <typename Function>
void Bind(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const SpoolerCalls& Spooler() {
    static const SpoolerCalls calls = [] {
        SpoolerCalls found;
        HMODULE module = ::LoadLibraryW(L"winspool.drv");  // kept for the life of the process
        if (module != nullptr) {
            Bind(module, "OpenPrinterW", found.openPrinter);
            Bind(module, "ClosePrinter", found.closePrinter);
        }
        return found;
    }();
    if (calls.openPrinter == nullptr || calls.closePrinter == nullptr) {
        throw QvCommandError(kQvExitFailure, "the spooler (winspool.drv) cannot be loaded");
    }
    return calls;
}

}  // namespace

OpenedPrinter::OpenedPrinter(QvHost& host, const std::wstring& name) : m_name(name) {
    auto open = host.Export<QV_PFN_DI_OPEN>(QV_EXPORT_DI_OPEN);
    m_close = host.Export<QV_PFN_DI_CLOSE>(QV_EXPORT_DI_CLOSE);
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    if (!Spooler().openPrinter(const_cast<LPWSTR>(name.c_str()), &m_printer, &defaults)) {
        DWORD error = ::GetLastError();
        throw QvCommandError(kQvExitFailure, "cannot open printer '" + QvToUtf8(name) +
                                                 "' (error " + std::to_string(error) + ")");
    }
    m_driver = open(m_printer);
    if (m_driver == nullptr) {
        Spooler().closePrinter(m_printer);
        throw QvCommandError(kQvExitNoResult, "DI_Open returned no interface");
    }
}

OpenedPrinter::~OpenedPrinter() {
    m_close(m_driver);
    Spooler().closePrinter(m_printer);
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

std::wstring Hex32(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", value);
    return text;
}

// The extended flags carry the severity: bit 31 error, bit 30 warning.
const wchar_t* SeverityName(unsigned long extended) {
    if ((extended & 0x80000000ul) != 0) {
        return L"error";
    }
    if ((extended & 0x40000000ul) != 0) {
        return L"warning";
    }
    return L"ready";
}

std::wstring OrNone(const std::optional<std::wstring>& text) {
    return text ? *text : L"(none)";
}

int RunStatus(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    args.Finish(0, 0);
    OpenedPrinter printer(host, name);
    unsigned long flags = host.Export<QV_PFN_DI_GET_PRINTER_STATUS_FLAGS>(
        QV_EXPORT_DI_GET_PRINTER_STATUS_FLAGS)(printer.Driver());
    unsigned long extended = host.Export<QV_PFN_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS>(
        QV_EXPORT_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS)(printer.Driver());
    std::optional<std::wstring> text =
        QvHost::TakeBstr(host.Export<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(
            QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT)(printer.Driver()));
    // No export says which interface answered, where the text came from or
    // which printer states are set: the handle's object does (slots 2, 5 and
    // 27 take plain types; the provenance is no slot at all).
    auto* object = reinterpret_cast<DriverInterface*>(printer.Driver());
    std::wstring provenanceText;
    const int32_t provenanceCode = StatusProvenanceOf(printer, provenanceText);
    const bool advanced = object->IsAdvanced();
    std::wstring states;
    for (int id = 201; advanced && id <= 211; ++id) {
        if (object->HasPrinterStatus(id)) {
            states += (states.empty() ? L"" : L" ") + std::to_wstring(id);
        }
    }
    const bool bidi = advanced && object->IsBidiEnabled();
    if (host.Json()) {
        QvJson json(L"status");
        json.Add("printer", name)
            .Add("flags", static_cast<int64_t>(flags))
            .Add("extendedFlags", static_cast<int64_t>(extended))
            .Add("severity", SeverityName(extended))
            .Add("text", text)
            .Add("provenance", provenanceText)
            .Add("provenanceCode", static_cast<int64_t>(provenanceCode));
        if (advanced) {
            json.Add("interface", L"advanced").Add("bidi", bidi).Add("printerStates", states);
        }
        host.PrintJson(json);
    } else {
        host.Print(L"printer: " + name);
        host.Print(L"flags: " + Hex32(flags));
        host.Print(L"extended flags: " + Hex32(extended));
        host.Print(std::wstring(L"severity: ") + SeverityName(extended));
        host.Print(L"text: " + OrNone(text));
        host.Print(L"provenance: " + provenanceText);
        host.Print(L"provenance code: " + std::to_wstring(provenanceCode));
        if (advanced) {
            host.Print(L"interface: advanced");
            host.Print(std::wstring(L"bidi: ") + (bidi ? L"on" : L"off"));
            host.Print(L"printer states: " + (states.empty() ? L"(none)" : states));
        }
    }
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
    {L"status", L"--printer NAME",
     L"a printer's status flags, extended flags, severity and text (DI_GetPrinterStatus*)",
     L"\n"
     L"Prints, one per line:\n"
     L"  printer: NAME           the printer asked\n"
     L"  flags: 0x...            the spooler status word (PRINTER_STATUS_ bits)\n"
     L"  extended flags: 0x...   0x80000000 error, 0x40000000 warning\n"
     L"  severity: ...           ready, error or warning\n"
     L"  text: ...               the status text, or (none)\n"
     L"  provenance: ...         where the text came from: \"printer: ...\", or\n"
     L"                          \"spooler: ...\" and why the printer did not answer\n"
     L"  provenance code: N      the same as a number: 0 printer, 1 monitoring off,\n"
     L"                          2 bidi off, 3 unreachable, 4 time-out, 5 refused,\n"
     L"                          6 malformed, 7 transaction mismatch, 8 HTTP status,\n"
     L"                          9 basic interface, 10 printer by the driver's hook,\n"
     L"                          11 printer does not monitor, 12 network path off\n"
     L"An advanced printer with bidi on and \"Status/Status Monitoring Mode\" 1..3\n"
     L"answers from the printer itself (its XPML server). Every advanced printer\n"
     L"(its driver has a DAL module) adds:\n"
     L"  interface: advanced\n"
     L"  bidi: on|off            the printer's bidirectional attribute\n"
     L"  printer states: ...     status ids 201..211 whose bit the printer set",
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
