#include "driver_interface/printer_diagnosis.h"

#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "core/streams.h"
#include "dal/dal_module.h"
#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "driver_interface/advanced_interface.h"
#include "driver_interface/advanced_text.h"
#include "driver_interface/driver_interface.h"
#include "printer/printer_call_context.h"
#include "registry/driver_settings.h"
#include "registry/registry_path.h"
#include "xpml/xpml_network_settings.h"
#include "xpml/xpml_routing.h"

namespace {

constexpr int kLogTailLines = 10;

std::wstring Wide(const OString& text) {
    return text.GetWide();
}

std::wstring Hex32(uint32_t value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

// A JSON object written as it is built: keys in the order added, text
// escaped, numbers as JSON numbers.
class JsonObject {
public:
    JsonObject& Text(const char* key, const std::wstring& value) {
        Key(key);
        Quote(value);
        return *this;
    }
    JsonObject& Text(const char* key, const OString& value) { return Text(key, Wide(value)); }
    JsonObject& Text(const char* key, const wchar_t* value) {
        return Text(key, std::wstring(value));
    }
    JsonObject& Unavailable(const char* key, const std::wstring& reason) {
        return Text(key, L"(unavailable: " + reason + L")");
    }
    JsonObject& Number(const char* key, int64_t value) {
        Key(key);
        m_body += std::to_wstring(value);
        return *this;
    }
    JsonObject& Flag(const char* key, bool value) {
        Key(key);
        m_body += value ? L"true" : L"false";
        return *this;
    }
    JsonObject& Object(const char* key, const JsonObject& value) {
        Key(key);
        m_body += value.Json();
        return *this;
    }
    JsonObject& Texts(const char* key, const std::vector<std::wstring>& values) {
        Key(key);
        m_body += L'[';
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) {
                m_body += L',';
            }
            Quote(values[i]);
        }
        m_body += L']';
        return *this;
    }
    std::wstring Json() const { return L"{" + m_body + L"}"; }

private:
    void Key(const char* key) {
        if (!m_body.empty()) {
            m_body += L',';
        }
        m_body += L'"';
        m_body.append(key, key + std::char_traits<char>::length(key));
        m_body += L"\":";
    }
    void Quote(const std::wstring& text) {
        m_body += L'"';
        for (wchar_t c : text) {
            if (c == L'"' || c == L'\\') {
                m_body += L'\\';
                m_body += c;
            } else if (c < 0x20) {
                wchar_t escape[8];
                std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
                m_body += escape;
            } else {
                m_body += c;
            }
        }
        m_body += L'"';
    }

    std::wstring m_body;
};

// The names of the set bits of value, from a table of single bits; other
// bits as hexadecimal.
struct BitName {
    uint32_t bit;
    const wchar_t* name;
};
template <size_t N>
std::vector<std::wstring> BitNames(uint32_t value, const BitName (&table)[N]) {
    std::vector<std::wstring> names;
    for (const BitName& row : table) {
        if ((value & row.bit) != 0) {
            names.emplace_back(row.name);
            value &= ~row.bit;
        }
    }
    for (uint32_t bit = 1; value != 0; bit <<= 1) {
        if ((value & bit) != 0) {
            names.push_back(Hex32(bit));
            value &= ~bit;
        }
    }
    return names;
}

// A provenance text without its "spooler: " or "printer: " lead, for a
// sentence that says the source itself.
std::wstring Reason(const OString& text) {
    std::wstring reason = Wide(text);
    for (const wchar_t* lead : {L"spooler: ", L"printer: "}) {
        if (reason.rfind(lead, 0) == 0) {
            return reason.substr(std::wcslen(lead));
        }
    }
    return reason;
}

std::wstring Dotted(uint64_t version) {
    return std::to_wstring(version >> 48 & 0xFFFF) + L"." +
           std::to_wstring(version >> 32 & 0xFFFF) + L"." +
           std::to_wstring(version >> 16 & 0xFFFF) + L"." + std::to_wstring(version & 0xFFFF);
}

std::wstring ErrorText(DWORD error) {
    return L"error " + std::to_wstring(error);
}

JsonObject Driver(const PrinterInfo& info) {
    const std::wstring folder = Wide(info.GetDriverDirectory()) + L"\\";
    auto file = [&](const OString& name) { return name.IsEmpty() ? L"" : folder + Wide(name); };
    std::vector<std::wstring> dependents;
    for (int32_t i = 0; i < info.GetDependentFiles().GetCount(); ++i) {
        dependents.push_back(file(info.GetDependentFiles()[i]));
    }
    JsonObject driver;
    driver.Text("name", info.GetDriverName())
        .Text("environment", info.GetEnvironment())
        .Number("versionNumber", info.GetDriverVersionNumber())
        .Text("layout", info.IsClassicLayout() ? L"classic" : L"package")
        .Text("driverPath", file(info.GetDriverFile()))
        .Text("configFile", file(info.GetConfigFile()))
        .Text("dataFile", file(info.GetDataFile()))
        .Texts("dependentFiles", dependents)
        .Text("manufacturer", info.GetManufacturer())
        .Text("provider", info.GetProvider());
    return driver;
}

// The module's facts from its file alone: neither its version nor its exports
// need it mapped, so a module that hangs or crashes on load is diagnosed all
// the same, and no mapping of it lingers for the interface to find later.
JsonObject Dal(HANDLE printer, PrinterCallContext& context) {
    JsonObject dal;
    // Read only after the loader's own check, and pinned while it is read.
    const DriverDLLProxy::ModuleLocation location =
        DriverDLLProxy::LocateModule(printer, context.Info());
    const OString& path = location.path;
    if (path.IsEmpty()) {
        return dal.Unavailable("modulePath", L"no DAL entry in the printer data");
    }
    dal.Text("modulePath", path);
    if (!location.refusal.IsEmpty()) {
        return dal.Text("refused", L"the library will not load it: " + Wide(location.refusal));
    }
    uint64_t version = 0;
    DWORD error = 0;
    const auto read = DriverDLLProxy::ReadModuleVersion(path, version, error);
    if (read == DriverDLLProxy::VersionRead::Read) {
        dal.Text("version", Dotted(version));
    } else {
        dal.Unavailable("version", read == DriverDLLProxy::VersionRead::NoFixedInfo
                                       ? L"no fixed version information"
                                       : L"no version resource, " + ErrorText(error));
    }
    const uint32_t isolation = context.Settings().GetDalIsolationMode();
    dal.Number("isolationMode", isolation);
    const bool proxied = DriverDLLProxy::ChoosesProxy(
        DriverDLLProxy::IsRunningUnderWow64() || isolation == DriverSettings::kDalIsolated, read,
        version);
    dal.Text("runs", proxied ? L"isolated (RunDLL32 proxy process)" : L"in-process");
    std::vector<std::string> exports;
    if (!DriverDLLProxy::ReadModuleExports(path, exports)) {
        return dal.Unavailable(
            "image", L"the file does not read as a PE image, " + ErrorText(::GetLastError()));
    }
    auto has = [&](const char* name) {
        return std::find(exports.begin(), exports.end(), name) != exports.end();
    };
    return dal.Flag("image", true)
        .Flag("hasOpenEntry", has("DAL_Printer_Open"))
        .Flag("hasProxyEntry", has("DAL_Proxy") || has("DAL_ProxyW"));
}

JsonObject Monitoring(bool advanced, PrinterCallContext& context, StatusProvenance& gate) {
    JsonObject monitoring;
    monitoring.Flag("bidi", (context.Info().GetAttributes() & PRINTER_ATTRIBUTE_ENABLE_BIDI) != 0);
    DriverSettings& settings = context.Settings();
    // Read as stored first (all bits set for absent), then as the gate reads
    // it, which puts the default in for an absent or invalid value.
    const uint32_t stored = settings.GetNumber(OString(DriverSettings::kStatusMonitoringMode), ~0u);
    if (stored == ~0u) {
        monitoring.Unavailable("storedMode", L"not set");
    } else {
        monitoring.Number("storedMode", stored);
    }
    monitoring.Number("defaultMode", settings.GetDefaultMonitoringMode())
        .Number("mode", settings.GetStatusMonitoringMode());
    gate = ProvenanceOf(advanced ? AdvancedDriverInterface::MonitoringGate(context)
                                 : kStatusBasicInterface);
    return monitoring.Number("gateCode", gate.code)
        .Text("gate", gate.code == kStatusFromPrinter ? L"open: the status is asked of the printer"
                                                      : L"closed: " + Reason(gate.text));
}

JsonObject Network(const XpmlNetworkSettings& network) {
    JsonObject json;
    const XpmlEndpoint& at = network.endpoint;
    return json.Flag("enabled", network.enabled)
        .Text("host", at.host)
        .Number("port", at.port)
        .Number("retries", network.retries)
        .Number("timeoutMs", at.timeoutMs)
        .Text("address", Wide(at.host) + L":" + std::to_wstring(at.port));
}

// The printer's own status, as its answer to the status request has it.
struct PrinterOwnStatus {
    bool read = false;
    std::wstring text;
    int severity = 0;
};

JsonObject Probe(bool advanced, const XpmlNetworkSettings& network, PrinterCallContext& context,
                 PrinterOwnStatus& own) {
    JsonObject probe;
    if (!advanced || !network.enabled) {
        return probe.Unavailable(
            "outcome", advanced ? L"the network path is off" : L"basic interface: no XPML server");
    }
    const auto start = std::chrono::steady_clock::now();
    const XpmlExchange exchange = ProbeXpml(context, kStatusTextRequest);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    probe.Text("outcome", exchange.answered ? L"answered" : L"no answer")
        .Number("code", exchange.provenance.code)
        .Text("text", exchange.answered
                          ? L"answered by the XPML server at " + Wide(network.endpoint.host) +
                                L":" + std::to_wstring(network.endpoint.port)
                          : Wide(exchange.provenance.text))
        .Number("milliseconds",
                std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    if (exchange.answered) {
        const std::string text = AnswerText(exchange.body);
        const StatusTextAnswer answer = ReadStatusTextAnswer(text);
        if (answer.monitored && answer.complete) {
            own = {true, Wide(OString(std::string(answer.status).c_str())), answer.severity};
            probe.Text("printerStatus", own.text).Number("printerSeverity", own.severity);
        } else {
            probe.Unavailable("printerStatus", answer.monitored
                                                   ? L"fewer than three values in the answer"
                                                   : L"the printer does not monitor its state");
        }
    }
    return probe;
}

// The last lines of a file log, read from its tail. Through OFile, not a
// standard stream: those would bring the standard library's locale, whose
// guarded statics cost a host that frees the DLL a TLS slot.
std::vector<std::wstring> LastLines(const std::wstring& path, bool& found) {
    constexpr uint64_t kTailBytes = 64 * 1024;
    OFile file;
    found = file.Open(OString(path.c_str()), 0);
    std::vector<std::wstring> lines;
    if (!found) {
        return lines;
    }
    const uint64_t size = file.GetSize();
    const uint64_t start = size > kTailBytes ? size - kTailBytes : 0;
    file.Seek(static_cast<int64_t>(start), OFile::kFromStart);
    std::string tail(static_cast<size_t>(size - start), '\0');
    tail.resize(tail.empty() ? 0 : file.ReadRaw(tail.data(), static_cast<uint32_t>(tail.size())));
    for (size_t at = 0; at < tail.size();) {
        size_t end = tail.find('\n', at);
        end = end == std::string::npos ? tail.size() : end;
        std::string line = tail.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(Wide(OString(line.c_str())));  // written in the ANSI code page
        if (lines.size() > static_cast<size_t>(kLogTailLines)) {
            lines.erase(lines.begin());
        }
        at = end + 1;
    }
    return lines;
}

// Where the masks live, as regedit shows it: the machine's driver key with
// '\' between the key names.
std::wstring MaskKey() {
    std::wstring key = RegistryPath::kLocalDrivers;
    key.replace(0, key.find(L':') + 1, L"HKEY_LOCAL_MACHINE\\");
    std::replace(key.begin(), key.end(), L'/', L'\\');
    return key + L"\\DebugLogMasks";
}

JsonObject Log(const wchar_t* source) {
    const uint32_t mask = OEventLogBase::ReadMaskOf(OString(source));
    const bool fileLog = (mask & OEventLog::kFileLog) != 0;
    const std::wstring path = Wide(OEventLogFormat::FileLogPath(OString(source)));
    const std::wstring value = MaskKey() + L", value \"" + source + L"\" (REG_DWORD)";
    JsonObject log;
    log.Text("source", source)
        .Number("mask", mask)
        .Text("maskHex", Hex32(mask))
        .Texts("maskNames", LogMaskNames(mask))
        .Flag("fileLog", fileLog)
        .Text("maskValue", value)
        .Text("fileLogHint",
              fileLog ? L"on: every reported line also goes to the file path"
                      : L"off: set the mask value to " + Hex32(mask | OEventLog::kFileLog) +
                            L" (the mask with the file bit " + Hex32(OEventLog::kFileLog) +
                            L" added); it is read again within 5 seconds")
        .Text("filePath", path);
    bool found = false;
    std::vector<std::wstring> lines = LastLines(path, found);
    return found ? log.Texts("lastLines", lines) : log.Unavailable("lastLines", L"no such file");
}

// Where the status comes from now and why, in one sentence.
std::wstring Verdict(bool advanced, const StatusProvenance& gate,
                     const XpmlNetworkSettings& network, const DiagnosisStatus* status,
                     const PrinterOwnStatus& own) {
    if (!advanced) {
        return L"Status comes from the spooler only: the driver has no DAL module (basic "
               L"interface), so the printer itself is never asked.";
    }
    const std::wstring server = L"the XPML server at " + Wide(network.endpoint.host) + L":" +
                                std::to_wstring(network.endpoint.port);
    std::wstring verdict;
    if (gate.code != kStatusFromPrinter) {
        verdict = L"Status comes from the spooler, not the printer: " + Reason(gate.text) +
                  L" (gate code " + std::to_wstring(gate.code) + L").";
    } else if (status == nullptr) {
        verdict = L"Status is asked of the printer (" + server + L").";
    } else if (status->provenance.code == kStatusFromPrinter ||
               status->provenance.code == kStatusFromDriverHook) {
        verdict = L"Status comes from the printer itself (" + Reason(status->provenance.text) +
                  L", " + server + L").";
    } else {
        verdict = L"Status should come from the printer but came from the spooler: " +
                  Reason(status->provenance.text) + L" (provenance code " +
                  std::to_wstring(status->provenance.code) + L").";
    }
    // What the host is told hides what the printer says: show it.
    if (own.read && (status == nullptr || Wide(status->text) != own.text) &&
        (gate.code != kStatusFromPrinter || status != nullptr)) {
        verdict += L" The printer itself reports \"" + own.text + L"\"" +
                   (status != nullptr ? L", the host sees \"" + Wide(status->text) + L"\"" : L"") +
                   L".";
    }
    return verdict;
}

// Where an exchange's answer came from, or why there was none: the status
// provenance's words without the source a status call would fall back to.
XpmlExchange ExchangeOf(XpmlResult result) {
    XpmlExchange exchange;
    exchange.answered = result.route != kXpmlNoAnswer;
    exchange.provenance = ProvenanceOf(result);
    exchange.provenance.text = OString(Reason(exchange.provenance.text).c_str());
    exchange.body = std::move(result.body);
    return exchange;
}

}  // namespace

XpmlExchange ExchangeXpml(PrinterCallContext& printer, const char* request) {
    return ExchangeOf(SendXpml(printer, request));
}

XpmlExchange ProbeXpml(PrinterCallContext& printer, const char* request) {
    return ExchangeOf(ProbeXpmlServer(printer, request));
}

std::vector<std::wstring> PrinterAttributeNames(uint32_t attributes) {
    static const BitName kNames[] = {
        {0x1, L"QUEUED"},
        {0x2, L"DIRECT"},
        {0x4, L"DEFAULT"},
        {0x8, L"SHARED"},
        {0x10, L"NETWORK"},
        {0x20, L"HIDDEN"},
        {0x40, L"LOCAL"},
        {0x80, L"ENABLE_DEVQ"},
        {0x100, L"KEEPPRINTEDJOBS"},
        {0x200, L"DO_COMPLETE_FIRST"},
        {0x400, L"WORK_OFFLINE"},
        {0x800, L"ENABLE_BIDI"},
        {0x1000, L"RAW_ONLY"},
        {0x2000, L"PUBLISHED"},
        {0x4000, L"FAX"},
        {0x8000, L"TS"},
        {0x20000, L"PUSHED_USER"},
        {0x40000, L"PUSHED_MACHINE"},
        {0x80000, L"MACHINE"},
        {0x100000, L"FRIENDLY_NAME"},
        {0x200000, L"TS_GENERIC_DRIVER"},
        {0x400000, L"PER_USER"},
        {0x800000, L"ENTERPRISE_CLOUD"},
    };
    return BitNames(attributes, kNames);
}

std::vector<std::wstring> LogMaskNames(uint32_t mask) {
    static const BitName kNames[] = {
        {OEventLog::kErrors, L"Errors"},
        {OEventLog::kWarnings, L"Warnings"},
        {OEventLog::kInfo, L"Info"},
        {OEventLog::kDetailInfo, L"DetailInfo"},
        {OEventLog::kDebuggerOutput, L"DebuggerOutput"},
        {OEventLog::kFileLog, L"FileLog"},
    };
    std::vector<std::wstring> names = BitNames(mask & 0xFFFF0000u, kNames);
    for (int bit = 0; bit < 16; ++bit) {
        if ((mask & 1u << bit) != 0) {
            names.push_back(std::wstring(L"DetailInfo") + static_cast<wchar_t>(L'A' + bit));
        }
    }
    return names;
}

std::wstring DiagnosePrinterJson(HANDLE printer, const OString& name, bool advanced, uint32_t flags,
                                 const DiagnosisStatus* status) {
    PrinterCallContext context{name};
    const PrinterInfo& info = context.Info();
    StatusProvenance gate;
    JsonObject dal = Dal(printer, context);
    JsonObject monitoring = Monitoring(advanced, context, gate);
    const XpmlNetworkSettings network = ReadXpmlNetworkSettings(context);
    PrinterOwnStatus own;
    JsonObject probe;
    if ((flags & kDiagnoseNoProbe) == 0) {
        probe = Probe(advanced, network, context, own);
    }

    JsonObject report;
    report.Text("printer", name)
        .Text("verdict", Verdict(advanced, gate, network, status, own))
        .Text("interface", advanced ? L"advanced" : L"basic")
        .Text("port", info.GetPortName())
        .Number("attributes", info.GetAttributes())
        .Texts("attributeNames", PrinterAttributeNames(info.GetAttributes()))
        .Object("driver", Driver(info))
        .Object("dal", dal)
        .Object("monitoring", monitoring)
        .Object("network", Network(network));
    if ((flags & kDiagnoseNoProbe) == 0) {
        report.Object("probe", probe);
    }
    if (status != nullptr) {
        JsonObject call;
        report.Object("status", call.Text("text", status->text)
                                    .Number("provenanceCode", status->provenance.code)
                                    .Text("provenance", status->provenance.text));
    }
    if ((flags & kDiagnoseNoLogs) == 0) {
        report.Object("printerInterface", Log(OEventLog::kSourcePrinterInterface))
            .Object("clientUtility", Log(OEventLog::kSourceClientUtility))
            .Object("printerDriver", Log(OEventLog::kSourcePrinterDriver))
            .Object("tcpLibrary", Log(OEventLog::kSourceTcpLibrary));
    }
    return report.Json();
}
