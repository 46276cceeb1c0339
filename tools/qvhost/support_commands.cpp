// The library's own answers to what a support engineer asks (which interface,
// which module, why the printer is not asked), linked in from its static
// library: qvhost must say what the DLL decides, never decide it again.
#include "driver_interface/advanced_interface.h"

#include <winspool.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "dal/dal_module.h"
#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "driver_interface/advanced_text.h"
#include "driver_interface/status_provenance.h"
#include "printer/printer_call_context.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"
#include "xpml/xpml_routing.h"

// printers and diagnose: every printer with the interface DI_Open gives it,
// and one printer's driver, DAL module, monitoring gate, network path, XPML
// server, status provenance and logs.

namespace {

constexpr int kLogTailLines = 10;

// Facts under headings: plain text prints a heading line and then one
// indented "name: value" line per fact; JSON one object with an object per
// heading. A fact that cannot be read is the text "(unavailable: reason)" in
// both forms.
class FactReport {
public:
    FactReport(QvHost& host, const wchar_t* command) : m_host(host), m_root(command) {}

    void Section(const char* key, const wchar_t* heading) {
        Close();
        m_key = key;
        m_section = QvJson();
        if (!m_host.Json()) {
            m_host.Print(heading);
        }
    }
    void Text(const char* key, const wchar_t* label, const std::wstring& value) {
        Current().Add(key, value);
        Line(label, value);
    }
    void Number(const char* key, const wchar_t* label, int64_t value) {
        Current().Add(key, value);
        Line(label, std::to_wstring(value));
    }
    void Flag(const char* key, const wchar_t* label, bool value) {
        Current().Add(key, value);
        Line(label, value ? L"yes" : L"no");
    }
    void Texts(const char* key, const wchar_t* label, const std::vector<std::wstring>& texts) {
        Current().Add(key, texts);
        Line(label, texts.empty() ? L"(none)" : std::to_wstring(texts.size()));
        for (const std::wstring& text : texts) {
            Line(L"  ", text, L"");
        }
    }
    void Unavailable(const char* key, const wchar_t* label, const std::wstring& reason) {
        Text(key, label, L"(unavailable: " + reason + L")");
    }
    // Runs collect; what it throws becomes one unavailable fact, so that the
    // rest of the report still comes.
    void Guard(const char* key, const wchar_t* label, const std::function<void()>& collect) {
        try {
            collect();
        } catch (const std::exception& error) {
            Unavailable(key, label, QvFromUtf8(error.what()));
        }
    }
    void Finish() {
        Close();
        if (m_host.Json()) {
            m_host.PrintJson(m_root);
        }
    }

private:
    QvJson& Current() { return m_key != nullptr ? m_section : m_root; }
    void Line(const wchar_t* label, const std::wstring& value, const wchar_t* separator = L": ") {
        if (!m_host.Json()) {
            m_host.Print((m_key != nullptr ? L"  " : L"") + std::wstring(label) + separator +
                         value);
        }
    }
    void Close() {
        if (m_key != nullptr) {
            m_root.Add(m_key, m_section);
        }
        m_key = nullptr;
    }

    QvHost& m_host;
    QvJson m_root;
    QvJson m_section;
    const char* m_key = nullptr;
};

std::wstring Wide(const OString& text) {
    return text.GetWide();
}

std::wstring Dotted(uint64_t version) {
    return std::to_wstring(version >> 48 & 0xFFFF) + L"." +
           std::to_wstring(version >> 32 & 0xFFFF) + L"." +
           std::to_wstring(version >> 16 & 0xFFFF) + L"." + std::to_wstring(version & 0xFFFF);
}

std::wstring ErrorText(DWORD error) {
    return L"error " + std::to_wstring(error);
}

const wchar_t* InterfaceKind(HANDLE printer) {
    return HasDalEntry(printer) ? L"advanced" : L"basic";
}

// The printers the spooler lists (this computer's and its connections).
int RunPrinters(QvHost& host, QvArgs& args) {
    args.Finish(0, 0);
    std::vector<uint8_t> buffer;
    DWORD count = 0;
    DWORD error = 0;
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    if (!OQueryBoolBuffer(
            buffer,
            [&](uint8_t* data, DWORD size, DWORD* needed) {
                return ::EnumPrintersW(flags, nullptr, 2, data, size, needed, &count);
            },
            &error)) {
        throw QvCommandError(kQvExitFailure,
                             "EnumPrintersW failed (error " + std::to_string(error) + ")");
    }
    const auto* infos = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    std::vector<QvJson> list;
    for (DWORD i = 0; i < count; ++i) {
        const std::wstring name = infos[i].pPrinterName != nullptr ? infos[i].pPrinterName : L"";
        const std::wstring driver = infos[i].pDriverName != nullptr ? infos[i].pDriverName : L"";
        DWORD openError = 0;
        OPrinterHandle printer = OpenSpoolerPrinter(name, &openError);
        const std::wstring kind =
            printer ? InterfaceKind(printer.Get())
                    : L"(unavailable: cannot open, " + ErrorText(openError) + L")";
        list.push_back(QvJson().Add("name", name).Add("driver", driver).Add("interface", kind));
        if (!host.Json()) {
            host.Print(L"printer: " + name);
            host.Print(L"  driver: " + driver);
            host.Print(L"  interface: " + kind);
        }
    }
    if (host.Json()) {
        host.PrintJson(
            QvJson(L"printers").Add("count", static_cast<int64_t>(count)).Add("printers", list));
    } else if (count == 0) {
        host.Print(L"(no printers)");
    }
    return kQvExitOk;
}

void ReportDriver(FactReport& report, const PrinterInfo& info) {
    report.Section("driver", L"driver");
    const std::wstring folder = Wide(info.GetDriverDirectory()) + L"\\";
    auto file = [&](const OString& name) { return name.IsEmpty() ? L"" : folder + Wide(name); };
    report.Text("name", L"name", Wide(info.GetDriverName()));
    report.Text("environment", L"environment", Wide(info.GetEnvironment()));
    report.Number("versionNumber", L"version number", info.GetDriverVersionNumber());
    report.Text("layout", L"layout", info.IsClassicLayout() ? L"classic" : L"package");
    report.Text("driverPath", L"driver path", file(info.GetDriverFile()));
    report.Text("configFile", L"config file", file(info.GetConfigFile()));
    report.Text("dataFile", L"data file", file(info.GetDataFile()));
    std::vector<std::wstring> dependents;
    for (int32_t i = 0; i < info.GetDependentFiles().GetCount(); ++i) {
        dependents.push_back(file(info.GetDependentFiles()[i]));
    }
    report.Texts("dependentFiles", L"dependent files", dependents);
    report.Text("manufacturer", L"manufacturer", Wide(info.GetManufacturer()));
    report.Text("provider", L"provider", Wide(info.GetProvider()));
}

void ReportDal(FactReport& report, HANDLE printer, PrinterCallContext& context) {
    report.Section("dal", L"DAL module");
    const OString path = DriverDLLProxy::GetDalModulePath(printer);
    if (path.IsEmpty()) {
        report.Unavailable("modulePath", L"module path", L"no DAL entry in the printer data");
        return;
    }
    report.Text("modulePath", L"module path", Wide(path));
    uint64_t version = 0;
    DWORD error = 0;
    const auto read = DriverDLLProxy::ReadModuleVersion(path, version, error);
    if (read == DriverDLLProxy::VersionRead::Read) {
        report.Text("version", L"version", Dotted(version));
    } else {
        report.Unavailable("version", L"version",
                           read == DriverDLLProxy::VersionRead::NoFixedInfo
                               ? L"no fixed version information"
                               : L"no version resource, " + ErrorText(error));
    }
    const uint32_t isolation = context.Settings().GetDalIsolationMode();
    report.Number("isolationMode", L"isolation mode", isolation);
    const bool wow64 = DriverDLLProxy::IsRunningUnderWow64();
    const bool proxied = DriverDLLProxy::ChoosesProxy(
        wow64 || isolation == DriverSettings::kDalIsolated, read, version);
    report.Text("runs", L"runs", proxied ? L"isolated (RunDLL32 proxy process)" : L"in-process");
    // Mapped without running its DllMain or binding its imports: a module
    // that hangs or crashes on load cannot take qvhost with it, and the
    // check still proves a loadable image of this process's machine type.
    // Freed at once: a mapping without resolved imports must not be the one
    // the DLL later finds when it loads the module for real.
    OModule module(::LoadLibraryExW(path.GetWide(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    if (!module) {
        report.Unavailable("loads", L"loads", L"no, " + ErrorText(::GetLastError()));
        return;
    }
    report.Flag("loads", L"loads", true);
    report.Flag("hasOpenEntry", L"has DAL_Printer_Open",
                ::GetProcAddress(module.Get(), "DAL_Printer_Open") != nullptr);
    report.Flag("hasProxyEntry", L"has DAL_Proxy",
                ::GetProcAddress(module.Get(), "DAL_Proxy") != nullptr ||
                    ::GetProcAddress(module.Get(), "DAL_ProxyW") != nullptr);
}

void ReportMonitoring(FactReport& report, bool advanced, PrinterCallContext& context) {
    report.Section("monitoring", L"monitoring gate");
    report.Flag("bidi", L"bidi",
                (context.Info().GetAttributes() & PRINTER_ATTRIBUTE_ENABLE_BIDI) != 0);
    DriverSettings& settings = context.Settings();
    // Read as stored first (all bits set for absent), then as the gate reads
    // it, which puts the default in for an absent or invalid value.
    const uint32_t stored = settings.GetNumber(OString(DriverSettings::kStatusMonitoringMode), ~0u);
    if (stored == ~0u) {
        report.Unavailable("storedMode", L"stored monitoring mode", L"not set");
    } else {
        report.Number("storedMode", L"stored monitoring mode", stored);
    }
    report.Number("defaultMode", L"default monitoring mode", settings.GetDefaultMonitoringMode());
    report.Number("mode", L"monitoring mode", settings.GetStatusMonitoringMode());
    const StatusProvenance gate = ProvenanceOf(
        advanced ? AdvancedDriverInterface::MonitoringGate(context) : kStatusBasicInterface);
    report.Number("gateCode", L"gate code", gate.code);
    report.Text("gate", L"gate",
                gate.code == kStatusFromPrinter ? L"open: the status is asked of the printer"
                                                : L"closed, " + Wide(gate.text));
}

void ReportNetwork(FactReport& report, bool advanced, PrinterCallContext& context) {
    report.Section("network", L"network");
    const XpmlNetworkSettings network = ReadXpmlNetworkSettings(context);
    report.Flag("enabled", L"enabled", network.enabled);
    report.Text("host", L"host", Wide(network.host));
    report.Number("port", L"port", network.port);
    report.Number("retries", L"retries", network.retries);
    report.Number("timeoutMs", L"time-out ms", network.timeoutMs);
    report.Text("address", L"address", Wide(network.host) + L":" + std::to_wstring(network.port));

    report.Section("probe", L"XPML server probe");
    if (!advanced || !network.enabled) {
        report.Unavailable(
            "outcome", L"outcome",
            advanced ? L"the network path is off" : L"basic interface: no XPML server");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const int32_t route = ProbeXpmlServer(context, kStatusTextRequest);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const StatusProvenance outcome = ProvenanceOf(route, context.Xpml());
    report.Text("outcome", L"outcome", route == kXpmlNetwork ? L"answered" : L"no answer");
    report.Number("code", L"code", outcome.code);
    report.Text("text", L"text", Wide(outcome.text));
    report.Number("milliseconds", L"milliseconds",
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// What the DLL itself answers: one status call through the exports, then
// where the answer came from (QVDI_GetStatusProvenance).
void ReportStatus(FactReport& report, QvHost& host, const std::wstring& name) {
    report.Section("status", L"status");
    report.Guard("provenance", L"provenance", [&] {
        OpenedPrinter printer(host, name);
        using GetProvenance = int (*)(HDRIVERINTERFACE, wchar_t**);
        auto provenanceOf = host.Export<GetProvenance>("QVDI_GetStatusProvenance");
        std::optional<std::wstring> text =
            QvHost::TakeBstr(host.Export<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(
                QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT)(printer.Driver()));
        wchar_t* provenance = nullptr;
        const int code = provenanceOf(printer.Driver(), &provenance);
        report.Text("text", L"text", text ? *text : L"(none)");
        report.Number("provenanceCode", L"provenance code", code);
        report.Text("provenance", L"provenance", QvHost::TakeBstr(provenance).value_or(L""));
    });
}

// The last lines of a file log, read from its tail.
std::vector<std::wstring> LastLines(const std::wstring& path, int count, bool& found) {
    std::ifstream file(path.c_str(), std::ios::binary);
    found = static_cast<bool>(file);
    std::vector<std::wstring> lines;
    if (!found) {
        return lines;
    }
    constexpr std::streamoff kTailBytes = 64 * 1024;
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(size > kTailBytes ? size - kTailBytes : 0);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(Wide(OString(line.c_str())));  // written in the ANSI code page
        if (lines.size() > static_cast<size_t>(count)) {
            lines.erase(lines.begin());
        }
    }
    return lines;
}

void ReportLogs(FactReport& report) {
    static const struct {
        const char* key;
        const wchar_t* source;
    } kSources[] = {
        {"printerInterface", OEventLog::kSourcePrinterInterface},
        {"clientUtility", OEventLog::kSourceClientUtility},
        {"printerDriver", OEventLog::kSourcePrinterDriver},
        {"tcpLibrary", OEventLog::kSourceTcpLibrary},
    };
    for (const auto& source : kSources) {
        report.Section(source.key, source.source);
        const uint32_t mask = OEventLogBase::ReadMaskOf(OString(source.source));
        report.Number("mask", L"mask", mask);
        report.Text("maskHex", L"mask hex", QvHex32(mask));
        report.Flag("fileLog", L"file log", (mask & OEventLog::kFileLog) != 0);
        const std::wstring path = Wide(OEventLogFormat::FileLogPath(OString(source.source)));
        report.Text("filePath", L"file path", path);
        bool found = false;
        std::vector<std::wstring> lines = LastLines(path, kLogTailLines, found);
        if (found) {
            report.Texts("lastLines", L"last lines", lines);
        } else {
            report.Unavailable("lastLines", L"last lines", L"no such file");
        }
    }
}

int RunDiagnose(QvHost& host, QvArgs& args) {
    std::vector<std::wstring> rest;
    const std::wstring name = args.FinishWithPrinter(0, 0, rest);
    OPrinterHandle printer = OpenSpoolerPrinter(name);
    PrinterCallContext context{OString(name.c_str())};
    const bool advanced = HasDalEntry(printer.Get());
    FactReport report(host, L"diagnose");
    report.Text("printer", L"printer", name);
    report.Text("interface", L"interface", advanced ? L"advanced" : L"basic");
    report.Text("port", L"port", Wide(context.Info().GetPortName()));
    report.Number("attributes", L"attributes", context.Info().GetAttributes());
    ReportDriver(report, context.Info());
    ReportDal(report, printer.Get(), context);
    ReportMonitoring(report, advanced, context);
    ReportNetwork(report, advanced, context);
    ReportStatus(report, host, name);
    ReportLogs(report);
    report.Finish();
    return kQvExitOk;
}

const QvCommand kCommands[] = {
    {L"printers", L"",
     L"every printer the spooler lists, its driver and the interface DI_Open gives it",
     L"\n"
     L"Prints, per printer:\n"
     L"  printer: NAME\n"
     L"    driver: DRIVER\n"
     L"    interface: advanced|basic   advanced when the printer data carries a\n"
     L"                                DAL entry (\"DAL Interface\" or \"... V3\")\n"
     L"With --json: {\"command\":\"printers\",\"count\":N,\"printers\":[{\"name\",\"driver\",\n"
     L"\"interface\"}, ...]}.",
     &RunPrinters},
    {L"diagnose", L"--printer NAME (or PRINTER)",
     L"what support asks of a printer: driver, DAL module, monitoring gate, network, logs",
     L"\n"
     L"Reads the answers of the library itself, under these headings (with --json one\n"
     L"object per heading, numbers as numbers):\n"
     L"  driver            name, layout, driver path, config file, data file, dependent files\n"
     L"  DAL module        module path, version, isolation mode, runs (in-process or\n"
     L"                    isolated), loads (mapped without running its code)\n"
     L"  monitoring gate   bidi, stored, default and effective monitoring mode, gate:\n"
     L"                    whether the status is asked of the printer, else why not\n"
     L"  network           enabled, host, port, retries, time-out ms, address\n"
     L"  XPML server probe one request, one attempt: outcome, code, text, milliseconds\n"
     L"  status            one status call through the DLL and its provenance\n"
     L"                    (QVDI_GetStatusProvenance): code and text\n"
     L"  one per event source: mask, file log, file path, last lines (10)\n"
     L"A fact that cannot be read shows as \"(unavailable: reason)\". Every network\n"
     L"step is bounded by the printer's \"Connection Timeout\" (and retries).\n"
     L"Exit code 4 when the spooler cannot open the printer.",
     &RunDiagnose},
};

}  // namespace

const QvCommandGroup kQvSupportCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
