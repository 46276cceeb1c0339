#pragma once

#include <cstdint>

#include "core/ostring.h"

// Why a request to the printer's XPML server got no answer over the network,
// kept in the call context (printer_call_context.h) for the callers that tell
// a host where an answer came from. Only the last attempt is described: earlier
// ones failed too, or there would be no failure.
enum class XpmlFailure : int32_t {
    None,                 // answered, or not asked yet
    NetworkOff,           // "TCP Enabled" / "Network Communication" is 0
    Unreachable,          // no connection (resolving or connecting failed)
    Refused,              // the host refused the connection
    TimedOut,             // connected, but no complete answer in time
    Malformed,            // closed early, or bytes that are no HTTP answer
    HttpStatus,           // a complete answer whose status is not 200
    TransactionMismatch,  // another request's answer
};

struct XpmlOutcome {
    XpmlFailure failure = XpmlFailure::None;
    OString host;
    int32_t port = 0;
    int32_t timeoutMs = 0;
    // The Winsock error for the socket failures, the status for HttpStatus.
    int32_t code = 0;
};
