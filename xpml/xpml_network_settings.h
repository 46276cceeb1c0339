#pragma once

#include <cstdint>

#include "xpml/xpml_result.h"

class PrinterCallContext;
class PrinterRegistry;

// The network path's settings of a printer, read from its "NETWORK:" key
// (machine keys, also for a printer served elsewhere) for every request, never
// cached; the key is opened once per request.
//
// | "NETWORK:" value        | read as | default | use                                  |
// | TCP Enabled             | 1 byte  | 1       | network path, local printer          |
// | Network Communication   | 1 byte  | 1       | network path, remote printer         |
// | TCP Port                | 4 bytes | 6160    | server port, classic driver          |
// | XPML Server Port        | 4 bytes | 5130    | server port, package driver          |
// | Connection Retries      | 4 bytes | 2       | attempts = value + 1 (at most 10 + 1) |
// | Connection Timeout      | 4 bytes | 1000    | time-out per attempt in ms (0: 1000) |
// | Network Bidirectional   | 1 byte  | 1       | 0: the host is "localhost"           |
// | Server Address Override | 1 byte  | 0       | nonzero: host from "Server Address"  |
// | Server Address          | text    | host    | explicit server host                 |
//
// A value counts only when it holds exactly the bytes it is read as.

// A bad "Connection Retries" value (it is a plain registry number) must not
// turn one status call into minutes of retries.
constexpr uint32_t kMaxConnectionRetries = 10;

// The switch, the server's endpoint (for a package driver of a printer served
// elsewhere the port is asked of the driver's hook, as a request does), the
// retries (at most kMaxConnectionRetries) and, with the endpoint, the time-out
// per attempt in ms, read once for the whole request.
struct XpmlNetworkSettings {
    bool enabled = true;
    XpmlEndpoint endpoint;
    uint32_t retries = 0;
    // A package driver's "XPML Server Port" as stored: what a served
    // printer's hook is held against when its port is asked again
    // (ServedXpmlPort in xpml_driver_hook.h).
    uint32_t storedPort = 0;
};
// With whenOff false, a printer whose switch is off gets only enabled = false:
// nothing more is read and the driver's hook is not asked.
XpmlNetworkSettings ReadXpmlNetworkSettings(PrinterCallContext& printer, bool whenOff = true);

class ClientUtility {
public:
    // The XPML server port of a package driver: "NETWORK:XPML Server Port"
    // (default 5130), read from the machine keys (the registry's redirect flag
    // is cleared for the call). For a printer served by another computer the
    // driver hook's "XPML Server Port" is asked too (ServedXpmlPort): a
    // different answer is stored, or kept in memory when it cannot be.
    static uint32_t GetRefactoredTcpPortNumber(PrinterRegistry& registry);
};
