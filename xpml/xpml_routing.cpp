#include "xpml/xpml_routing.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "diagnostics/event_log.h"
#include "printer/printer_call_context.h"
#include "registry/printer_registry.h"
#include "xpml/xpml_exchange.h"

namespace {

constexpr uint8_t kDefaultSwitch = 1;
constexpr uint32_t kDefaultTcpPort = 6160;
constexpr uint32_t kDefaultXpmlServerPort = 5130;
constexpr uint32_t kDefaultRetries = 2;
// "TID", 16 hexadecimal digits and ';'.
constexpr size_t kPrefixLength = 20;
// Server Address is a host name; a longer value is still read whole.
constexpr int32_t kAddressBytes = 512;

constexpr char kPortLookup[] = "ClientUtility::GetRefactoredTcpPortNumber";

// The network settings are machine settings, also for a printer served by
// another computer, so the registry's redirect flag is cleared around every
// access to them.
class RedirectOff {
public:
    explicit RedirectOff(PrinterRegistry& registry)
        : m_registry(registry), m_saved(registry.GetRedirect()) {
        registry.SetRedirect(false);
    }
    ~RedirectOff() { m_registry.SetRedirect(m_saved); }
    RedirectOff(const RedirectOff&) = delete;
    RedirectOff& operator=(const RedirectOff&) = delete;

private:
    PrinterRegistry& m_registry;
    bool m_saved;
};

// The printer's "NETWORK:" key, opened once for all the settings of one
// request: under Wine every registry call is a round trip to the server, so an
// open and close per value would cost more than the exchange itself.
class NetworkSettings {
public:
    explicit NetworkSettings(PrinterRegistry& registry) : m_registry(registry) {
        RedirectOff off(registry);
        OString key = registry.GetKey();
        OString name = "NETWORK:TCP Enabled";
        if (registry.ParsePath(key, name)) {
            m_key = registry.OpenKey(key, false);
        }
    }

    // Exactly one stored byte counts; anything else is the default.
    uint8_t Byte(const wchar_t* name, uint8_t defaultValue) const {
        uint8_t value = 0;
        return Read(name, &value, sizeof value) ? value : defaultValue;
    }
    // Exactly four stored bytes count.
    uint32_t Number(const wchar_t* name, uint32_t defaultValue) const {
        uint32_t value = 0;
        return Read(name, &value, sizeof value) ? value : defaultValue;
    }
    // UTF-16 text up to its first NUL, whole however long; a trailing odd byte
    // is no character here. An absent or empty value is the default.
    OString Text(const wchar_t* name, const OString& defaultValue) const {
        std::vector<uint8_t> data;
        if (ORegistry::QueryRaw(m_key.Get(), name, data, kAddressBytes, kOQueryMaxBytes) <= 0) {
            return defaultValue;
        }
        data.resize(data.size() & ~size_t{1});
        const OString text = ORegistry::TextOf(data);
        return text.IsEmpty() ? defaultValue : text;
    }
    // Writes a REG_DWORD through the registry object (creating the key when
    // missing); true when 4 bytes were stored.
    bool StoreNumber(const char* name, uint32_t value) {
        RedirectOff off(m_registry);
        return m_registry.SetValue(OString("NETWORK:") + name, &value, sizeof value, REG_DWORD) ==
               static_cast<int32_t>(sizeof value);
    }

private:
    bool Read(const wchar_t* name, void* value, DWORD bytes) const {
        std::vector<uint8_t> data;
        if (ORegistry::QueryRaw(m_key.Get(), name, data, bytes, bytes) != int32_t(bytes)) {
            return false;
        }
        std::memcpy(value, data.data(), bytes);
        return true;
    }

    PrinterRegistry& m_registry;
    ORegKey m_key;
};

// Asks the driver's printer-data hook for valueName on the printer opened by
// name with administer access. The first 4 answer bytes go to value
// (zero-extended); needed is what the call reported. False when the printer
// does not open or the call fails.
bool AskDriver(const OString& printerName, const std::string& valueName, uint32_t& value,
               DWORD& needed) {
    std::wstring name(printerName.GetWide());
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    OPrinterHandle printer;
    // An empty name would open the print server and ask it instead.
    if (name.empty() || !::OpenPrinterW(name.data(), printer.Put(), &defaults)) {
        return false;
    }
    uint8_t buffer[4] = {};
    DWORD type = 0;
    needed = 0;
    std::string narrow(valueName);
    if (XpmlDriverApi::Current().getPrinterDataA(printer.Get(), narrow.data(), &type, buffer,
                                                 sizeof buffer, &needed) != ERROR_SUCCESS) {
        return false;
    }
    std::memcpy(&value, buffer, sizeof value);
    return true;
}

// The source's front end is made only when there is something to say.
void LogPortLookup(uint32_t level, const char* text, uint32_t port) {
    OEventLog log(OString(OEventLog::kSourceClientUtility));
    if (log.IsEnabled(level)) {
        log.Write(OLogLine(kPortLookup, OString(text) + OString(port)), level);
    }
}

uint32_t RefactoredPort(PrinterRegistry& registry, NetworkSettings& settings) {
    const uint32_t stored = settings.Number(L"XPML Server Port", kDefaultXpmlServerPort);
    if (!registry.IsRemote()) {
        return stored;
    }
    uint32_t asked = 0;
    DWORD needed = 0;
    const bool answered =
        AskDriver(registry.GetFacts().fullName, "XPML Server Port", asked, needed);
    if (!answered || needed < 1 || needed > sizeof asked) {
        LogPortLookup(OEventLog::kDetailInfo,
                      "Unable to retrieve the XPML port number.  Defaulting to ", stored);
        return stored;
    }
    if (asked != stored && !settings.StoreNumber("XPML Server Port", asked)) {
        LogPortLookup(OEventLog::kWarnings, "Unable to save the new XPML port number ", asked);
    }
    return asked;
}

// An answer carrying a "TID" prefix must carry this request's id: true when
// the answer may be returned (its prefix removed), false when it belongs to
// another transaction. Only bodies longer than the prefix are looked at.
bool AcceptTransaction(HttpResponse& answer, const OString& prefix) {
    const std::vector<uint8_t>& body = answer.Body();
    if (body.size() <= kPrefixLength || std::memcmp(body.data(), "TID", 3) != 0 ||
        body[kPrefixLength - 1] != ';') {
        return true;
    }
    if (std::memcmp(body.data(), prefix.GetNarrow(), kPrefixLength) != 0) {
        return false;
    }
    const OString contentType = answer.GetHeader("Content-Type");
    const OString declared = answer.GetHeader("Content-Length");
    answer.SetBody(std::vector<uint8_t>(body.begin() + kPrefixLength, body.end()));
    if (!contentType.IsEmpty()) {
        answer.SetHeader("Content-Type", contentType);
    }
    if (!declared.IsEmpty()) {
        answer.SetContentLength(answer.Body().size());
    }
    return true;
}

bool NetworkOn(const PrinterInfo& info, const NetworkSettings& settings) {
    return settings.Byte(info.IsRemote() ? L"Network Communication" : L"TCP Enabled",
                         kDefaultSwitch) != 0;
}

// Where and how patiently a request goes: every setting but the switch.
XpmlNetworkSettings Endpoint(const PrinterInfo& info, PrinterRegistry& registry,
                             NetworkSettings& settings) {
    XpmlNetworkSettings endpoint;
    endpoint.port = info.IsClassicLayout() ? settings.Number(L"TCP Port", kDefaultTcpPort)
                                           : RefactoredPort(registry, settings);
    endpoint.retries =
        std::min(settings.Number(L"Connection Retries", kDefaultRetries), kMaxConnectionRetries);
    endpoint.timeoutMs = settings.Number(L"Connection Timeout", kDefaultTimeoutMs);
    if (endpoint.timeoutMs == 0 || endpoint.timeoutMs > INT32_MAX) {
        endpoint.timeoutMs = kDefaultTimeoutMs;
    }
    endpoint.host = info.GetServerName();
    if (settings.Byte(L"Network Bidirectional", kDefaultSwitch) == 0) {
        endpoint.host = "localhost";
    }
    if (settings.Byte(L"Server Address Override", 0) != 0) {
        endpoint.host = settings.Text(L"Server Address", endpoint.host);
    }
    return endpoint;
}

HttpRequest XpmlForm(const PrinterInfo& info, const OString& printer, const char* request,
                     const OString& id) {
    HttpRequest http;
    http.SetMethod("POST");
    http.SetPath("/xpml");
    http.AddField("xpml", request);
    http.AddField("persist", "1");
    http.AddField("transactid", id);
    if (!info.IsRemote()) {
        http.AddField("printer", printer);
    } else if (!info.GetShareName().IsEmpty()) {
        http.AddField("share", info.GetShareName());
    } else {
        http.AddField("printer", info.GetShortName());
    }
    return http;
}

// Attempts of the network path; with probe, one attempt whatever the retries.
std::unique_ptr<HttpResponse> SendOverNetwork(const PrinterInfo& info, PrinterRegistry& registry,
                                              const OString& printer, const char* request,
                                              XpmlOutcome& outcome, bool probe = false) {
    NetworkSettings settings(registry);
    if (!NetworkOn(info, settings)) {
        outcome = XpmlOutcome();
        outcome.failure = XpmlFailure::NetworkOff;
        return nullptr;
    }
    const OString id = TransactionIdText(NewTransactionId());
    HttpRequest http = XpmlForm(info, printer, request, id);
    XpmlNetworkSettings endpoint = Endpoint(info, registry, settings);
    const bool package = !info.IsClassicLayout();
    const uint32_t retries = probe ? 0 : endpoint.retries;
    const OString prefix = "TID" + id + ";";
    for (uint32_t attempt = 0; attempt <= retries; ++attempt) {
        std::unique_ptr<HttpResponse> answer =
            ExchangeXpml(http, endpoint.host, static_cast<int32_t>(endpoint.port),
                         static_cast<int32_t>(endpoint.timeoutMs), &outcome);
        if (!answer) {
            if (package && attempt < retries) {
                endpoint.port = RefactoredPort(registry, settings);
            }
            continue;
        }
        if (AcceptTransaction(*answer, prefix)) {
            return answer;
        }
        outcome.failure = XpmlFailure::TransactionMismatch;
    }
    return nullptr;
}

// The request goes to the driver through the registry value "LOCAL:XPML/" +
// id; the driver answers with the answer's length and leaves the answer in the
// same value. The value is deleted whatever happened.
std::unique_ptr<HttpResponse> SendLocally(PrinterRegistry& registry, const OString& printer,
                                          const char* request) {
    const OString id = TransactionIdText(NewTransactionId());
    OString key = registry.GetKey();
    OString name = "LOCAL:XPML/" + id;
    if (!registry.ParsePath(key, name)) {
        return nullptr;
    }
    ORegKey values = registry.OpenKey(key, true);
    if (!values) {
        return nullptr;
    }
    OScopeGuard removeValue([&] { ::RegDeleteValueW(values.Get(), name.GetWide()); });
    const auto length = static_cast<int32_t>(std::strlen(request));
    if (length == 0 ||
        ORegistry::WriteRaw(values.Get(), name, request, length, REG_BINARY) != length) {
        return nullptr;
    }
    uint32_t answerLength = 0;
    DWORD needed = 0;
    const std::string hookName = std::string("XPML:") + printer.GetNarrow() + "," + id.GetNarrow();
    if (!AskDriver(printer, hookName, answerLength, needed) || needed == 0) {
        return nullptr;
    }
    auto answer = std::make_unique<HttpResponse>();
    // The reported length only cuts the stored answer: a driver that reports
    // more than it stored must not size a buffer of up to 4 GiB.
    std::vector<uint8_t> bytes;
    if (answerLength != 0 &&
        OQueryStatusBuffer(bytes,
                           [&](uint8_t* buffer, DWORD, DWORD* stored) {
                               return static_cast<DWORD>(::RegQueryValueExW(
                                   values.Get(), name.GetWide(), nullptr, nullptr, buffer, stored));
                           }) &&
        !bytes.empty()) {
        bytes.resize(std::min<size_t>(bytes.size(), answerLength));
        answer->SetContentLength(bytes.size());
        answer->SetBody(bytes);
    }
    return answer;
}

struct Routed {
    int32_t route = kXpmlNoAnswer;
    std::unique_ptr<HttpResponse> answer;
};

Routed Route(PrinterCallContext& context, const OString& printer, const char* request) {
    Routed routed;
    if (request == nullptr) {
        return routed;
    }
    const PrinterInfo& info = context.Info();
    routed.answer = SendOverNetwork(info, context.Registry(), printer, request, context.Xpml());
    if (routed.answer) {
        routed.route = kXpmlNetwork;
    } else if (!info.IsRemote()) {
        routed.answer = SendLocally(context.Registry(), printer, request);
        routed.route = routed.answer ? kXpmlLocal : kXpmlNoAnswer;
    }
    return routed;
}

Routed Route(const OString& printer, const char* request) {
    if (request == nullptr) {
        return Routed();
    }
    PrinterCallContext context(printer);
    return Route(context, printer, request);
}

int32_t BodyOf(Routed routed, std::vector<uint8_t>& answer) {
    if (routed.answer) {
        answer = routed.answer->Body();
    }
    return routed.route;
}

}  // namespace

uint64_t MakeTransactionId(uint64_t counter, uint32_t processId, uint32_t threadId) {
    const uint32_t parts[3] = {static_cast<uint32_t>(counter >> 32), processId, threadId};
    uint8_t bytes[12];
    for (int i = 0; i < 12; ++i) {
        bytes[i] = static_cast<uint8_t>(parts[i / 4] >> (8 * (i % 4)));
    }
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), bytes, sizeof bytes);
    return (static_cast<uint64_t>(crc) << 32) | (counter & 0xFFFFFFFFu);
}

uint64_t NewTransactionId() {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return MakeTransactionId(static_cast<uint64_t>(counter.QuadPart), ::GetCurrentProcessId(),
                             ::GetCurrentThreadId());
}

OString TransactionIdText(uint64_t id) {
    return OString::ToHex(id);
}

int32_t SendXpml(const OString& printer, const char* request) {
    return Route(printer, request).route;
}

int32_t SendXpml(const OString& printer, const char* request, std::vector<uint8_t>& answer) {
    return BodyOf(Route(printer, request), answer);
}

int32_t SendXpml(PrinterCallContext& printer, const char* request) {
    return Route(printer, printer.Name(), request).route;
}

int32_t SendXpml(PrinterCallContext& printer, const char* request, std::vector<uint8_t>& answer) {
    return BodyOf(Route(printer, printer.Name(), request), answer);
}

std::unique_ptr<HttpResponse> SendXpml(const OString& printer, const char* request,
                                       int32_t* route) {
    Routed routed = Route(printer, request);
    if (route != nullptr) {
        *route = routed.route;
    }
    return std::move(routed.answer);
}

XpmlNetworkSettings ReadXpmlNetworkSettings(PrinterCallContext& printer) {
    NetworkSettings settings(printer.Registry());
    XpmlNetworkSettings endpoint = Endpoint(printer.Info(), printer.Registry(), settings);
    endpoint.enabled = NetworkOn(printer.Info(), settings);
    return endpoint;
}

int32_t ProbeXpmlServer(PrinterCallContext& printer, const char* request) {
    if (request == nullptr) {
        return kXpmlNoAnswer;
    }
    return SendOverNetwork(printer.Info(), printer.Registry(), printer.Name(), request,
                           printer.Xpml(), true) != nullptr
               ? kXpmlNetwork
               : kXpmlNoAnswer;
}

uint32_t ClientUtility::GetRefactoredTcpPortNumber(PrinterRegistry& registry) {
    NetworkSettings settings(registry);
    return RefactoredPort(registry, settings);
}
