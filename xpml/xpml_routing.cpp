#include "xpml/xpml_routing.h"

#include <windows.h>
#include <zlib.h>

#include <chrono>

#include "printer/printer_call_context.h"
#include "xpml/http.h"
#include "xpml/xpml_driver_hook.h"
#include "xpml/xpml_exchange.h"
#include "xpml/xpml_network_settings.h"

namespace {

// The request as it goes on the wire, built once for every attempt.
std::vector<uint8_t> XpmlForm(PrinterCallContext& printer, const char* request, const OString& id) {
    const PrinterInfo& info = printer.Info();
    HttpRequest http;
    http.SetMethod("POST");
    http.SetPath("/xpml");
    http.AddField("xpml", request);
    http.AddField("persist", "1");
    http.AddField("transactid", id);
    if (!info.IsRemote()) {
        http.AddField("printer", printer.Name());
    } else if (!info.GetShareName().IsEmpty()) {
        http.AddField("share", info.GetShareName());
    } else {
        http.AddField("printer", info.GetShortName());
    }
    std::vector<uint8_t> bytes;
    http.Serialize(bytes);
    return bytes;
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

XpmlRequest::XpmlRequest(PrinterCallContext& printer, const char* request, bool probe)
    : XpmlRequest(printer, request, ReadXpmlNetworkSettings(printer, false), probe) {}

XpmlRequest::XpmlRequest(PrinterCallContext& printer, const char* request,
                         const XpmlNetworkSettings& settings)
    : XpmlRequest(printer, request, settings, false) {}

XpmlRequest::XpmlRequest(PrinterCallContext& printer, const char* request,
                         const XpmlNetworkSettings& settings, bool probe)
    : m_printer(printer),
      m_start(std::chrono::steady_clock::now()),
      m_probe(probe),
      m_request(request),
      m_id(TransactionIdText(NewTransactionId())),
      m_form(XpmlForm(printer, request, m_id)),
      m_settings(settings),
      m_reask(!printer.Info().IsClassicLayout() && printer.Info().IsRemote()),
      m_endpoint(settings.endpoint) {
    if (!settings.enabled) {
        m_result.failure = XpmlFailure::NetworkOff;
    }
}

bool XpmlRequest::NextAttempt(XpmlEndpoint& endpoint) {
    const uint32_t retries = m_probe ? 0 : m_settings.retries;
    while (m_settings.enabled && m_result.route != kXpmlNetwork && m_next <= retries) {
        if (m_next++ > 0 && m_reask && m_result.failure != XpmlFailure::TransactionMismatch) {
            m_endpoint.port =
                static_cast<int32_t>(ServedXpmlPort(m_printer.Registry(), m_settings.storedPort));
        }
        if (m_endpoint.port < 1 || m_endpoint.port > 65535) {
            // Cut to 16 bits, such a port would reach another service.
            m_result = XpmlResult{};
            m_result.failure = XpmlFailure::PortOutOfRange;
            m_result.endpoint = m_endpoint;
            continue;
        }
        endpoint = m_endpoint;
        return true;
    }
    return false;
}

void XpmlRequest::Attempted(XpmlResult result) {
    m_result = std::move(result);
    ++m_attempts;
}

XpmlResult XpmlRequest::Conclude() {
    XpmlResult result = std::move(m_result);
    if (m_settings.enabled) {
        result.attempts = m_attempts;
        result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - m_start)
                               .count();
    }
    if (result.route != kXpmlNoAnswer || m_probe || m_printer.Info().IsRemote()) {
        return result;
    }
    auto local = SendThroughDriver(m_printer.Registry(), m_printer.Name(), m_request.c_str(),
                                   TransactionIdText(NewTransactionId()));
    if (local) {
        result.route = kXpmlLocal;
        result.body = std::move(*local);
    }
    return result;
}

namespace {

XpmlResult Send(PrinterCallContext& printer, const char* request, bool probe) {
    if (request == nullptr) {
        return {};
    }
    XpmlRequest call(printer, request, probe);
    XpmlEndpoint endpoint;
    while (call.NextAttempt(endpoint)) {
        call.Attempted(ExchangeXpml(call.Form(), call.Transaction(), endpoint));
    }
    return call.Conclude();
}

}  // namespace

XpmlResult SendXpml(PrinterCallContext& printer, const char* request) {
    return Send(printer, request, false);
}

XpmlResult ProbeXpmlServer(PrinterCallContext& printer, const char* request) {
    return Send(printer, request, true);
}
