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

// Attempts of the network path; with probe, one attempt whatever the retries.
// What the request needs is settled once, before the first attempt; only a
// served printer's port is asked again after an attempt that got no answer,
// as its server may have moved.
XpmlResult OverNetwork(PrinterCallContext& printer, const char* request, bool probe) {
    const auto start = std::chrono::steady_clock::now();
    const OString id = TransactionIdText(NewTransactionId());
    const std::vector<uint8_t> form = XpmlForm(printer, request, id);
    const XpmlNetworkSettings settings = ReadXpmlNetworkSettings(printer, false);
    XpmlResult result;
    if (!settings.enabled) {
        result.failure = XpmlFailure::NetworkOff;
        return result;
    }
    const bool reask = !printer.Info().IsClassicLayout() && printer.Info().IsRemote();
    const uint32_t retries = probe ? 0 : settings.retries;
    XpmlEndpoint endpoint = settings.endpoint;
    int32_t attempts = 0;
    for (uint32_t attempt = 0; attempt <= retries; ++attempt) {
        if (attempt > 0 && reask && result.failure != XpmlFailure::TransactionMismatch) {
            endpoint.port =
                static_cast<int32_t>(ServedXpmlPort(printer.Registry(), settings.storedPort));
        }
        if (endpoint.port < 1 || endpoint.port > 65535) {
            // Cut to 16 bits, such a port would reach another service.
            result = XpmlResult{};
            result.failure = XpmlFailure::PortOutOfRange;
            result.endpoint = endpoint;
            continue;
        }
        result = ExchangeXpml(form, id, endpoint);
        ++attempts;
        if (result.route == kXpmlNetwork) {
            break;
        }
    }
    result.attempts = attempts;
    result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    return result;
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

XpmlResult SendXpml(PrinterCallContext& printer, const char* request) {
    if (request == nullptr) {
        return {};
    }
    XpmlResult result = OverNetwork(printer, request, false);
    if (result.route != kXpmlNoAnswer || printer.Info().IsRemote()) {
        return result;
    }
    auto local = SendThroughDriver(printer.Registry(), printer.Name(), request,
                                   TransactionIdText(NewTransactionId()));
    if (local) {
        result.route = kXpmlLocal;
        result.body = std::move(*local);
    }
    return result;
}

XpmlResult ProbeXpmlServer(PrinterCallContext& printer, const char* request) {
    return request != nullptr ? OverNetwork(printer, request, true) : XpmlResult{};
}
