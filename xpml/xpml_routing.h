#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ostring.h"
#include "xpml/xpml_network_settings.h"
#include "xpml/xpml_result.h"

class PrinterCallContext;

// Routing of XPML requests: first over the network to the driver's XPML server
// (an HTTP "POST" to "/xpml", xpml_network_settings.h says where), then, for a
// printer on this computer, through the driver's printer-data hook
// (xpml_driver_hook.h).

// A fresh transaction id: the low half is the low 32 bits of the performance
// counter, the high half the CRC-32 (zlib's) of the counter's high 32 bits,
// the process id and the thread id, each 4 bytes little-endian. Two calls of
// one thread within one counter tick give the same id.
uint64_t NewTransactionId();
// The id as 16 upper-case hexadecimal digits.
OString TransactionIdText(uint64_t id);
// The same from its parts, for checking an id against its definition.
uint64_t MakeTransactionId(uint64_t counter, uint32_t processId, uint32_t threadId);

// Sends request (NUL-terminated narrow text; null gives an empty result) for
// the printer whose facts the caller holds for its operation: nothing is asked
// of the spooler or built again, and the form fields carry printer.Name() in
// its UTF-16 form (sent as UTF-8, whatever the code page). Nothing is thrown
// for a missing server or a driver that does not answer.
XpmlResult SendXpml(PrinterCallContext& printer, const char* request);

// One attempt of the network path alone, whatever the retries and without
// the driver's hook: kXpmlNetwork for an answer of this request's transaction,
// else kXpmlNoAnswer and why. Bounded by the printer's time-out (one deadline
// from resolving the host to the answer's last byte).
XpmlResult ProbeXpmlServer(PrinterCallContext& printer, const char* request);

// One request's way through the routes, one network attempt at a time, for a
// caller that makes the attempts itself (the status watch waits for many at
// once); SendXpml is this with ExchangeXpml. What the request needs (the
// form, the network settings) is settled once, in the constructor; only a
// served printer's port is asked again after an attempt that got no answer,
// as its server may have moved. printer must outlive the object.
class XpmlRequest {
public:
    // probe: one attempt whatever the retries, and no local route. request
    // is NUL-terminated narrow text.
    XpmlRequest(PrinterCallContext& printer, const char* request, bool probe = false);
    // With the printer's network settings as read earlier.
    XpmlRequest(PrinterCallContext& printer, const char* request,
                const XpmlNetworkSettings& settings);
    XpmlRequest(const XpmlRequest&) = delete;
    XpmlRequest& operator=(const XpmlRequest&) = delete;

    // The endpoint of the next attempt; false when the network path is done
    // (answered, out of attempts, or switched off).
    bool NextAttempt(XpmlEndpoint& endpoint);
    // The bytes each attempt sends, and their transaction id.
    const std::vector<uint8_t>& Form() const { return m_form; }
    const OString& Transaction() const { return m_id; }
    // What the attempt NextAttempt gave came to (ExchangeXpml's result).
    void Attempted(XpmlResult result);
    // Once NextAttempt is false: the network's answer, else for a printer
    // on this computer what the driver's hook answers.
    XpmlResult Conclude();

private:
    XpmlRequest(PrinterCallContext& printer, const char* request,
                const XpmlNetworkSettings& settings, bool probe);

    PrinterCallContext& m_printer;
    const std::chrono::steady_clock::time_point m_start;
    const bool m_probe;
    const std::string m_request;
    const OString m_id;
    const std::vector<uint8_t> m_form;
    const XpmlNetworkSettings m_settings;
    const bool m_reask;
    XpmlEndpoint m_endpoint;
    XpmlResult m_result;
    uint32_t m_next = 0;
    int32_t m_attempts = 0;
};
