#pragma once

#include <cstdint>
#include <vector>

#include "core/ostring.h"

// What became of one XPML request (SendXpml, ProbeXpmlServer): the route that
// answered and the answer's body, else why the network path gave nothing.
// driver_interface/status_provenance.h turns it into what a host is told.

enum XpmlRoute : int32_t {
    kXpmlNoAnswer = 0,
    kXpmlNetwork = 1,  // answered by the XPML server
    kXpmlLocal = 2,    // answered through the printer-data hook
};

// Why the network path gave no answer. Only the last attempt is described:
// earlier ones failed too, or there would be no failure.
enum class XpmlFailure : int32_t {
    None,                 // answered, or not asked yet
    NetworkOff,           // "TCP Enabled" / "Network Communication" is 0
    Unreachable,          // no connection (resolving or connecting failed)
    Refused,              // the host refused the connection
    TimedOut,             // connected, but no complete answer in time
    Malformed,            // closed early, or bytes that are no HTTP answer
    HttpStatus,           // a complete answer whose status is not 200
    TransactionMismatch,  // another request's answer
    PortOutOfRange,       // the settings name no port of 1..65535: nothing was sent
    ResolverBusy,         // every name lookup thread of the library is busy (WSATRY_AGAIN)
};

// Where the network path sends a request, and how long one attempt may take.
struct XpmlEndpoint {
    OString host;
    int32_t port = 0;
    int32_t timeoutMs = 0;
};

struct XpmlResult {
    XpmlRoute route = kXpmlNoAnswer;
    // None when the network path was not taken or answered.
    XpmlFailure failure = XpmlFailure::None;
    // The last attempt's; empty when the network path is off.
    XpmlEndpoint endpoint;
    // The Winsock error for the socket failures, the status for HttpStatus.
    int32_t code = 0;
    // The answer's body (its transaction prefix removed); empty without one.
    std::vector<uint8_t> body;
    // Attempts of the network path made, and how long the network path took
    // in all (ms); 0 when it was not taken.
    int32_t attempts = 0;
    int64_t elapsedMs = 0;
};
