#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ostring.h"
#include "core/seam.h"
#include "xpml/http.h"

class PrinterCallContext;
class PrinterRegistry;

// Routing of XPML requests: first over the network to the driver's XPML server
// (an HTTP "POST" to "/xpml"), then, for a printer on this computer, through
// the driver's printer-data hook. Settings are read from the printer's
// "NETWORK:" key (machine keys, also for a printer served elsewhere) for every
// request, never cached; the key is opened once per request.
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

// Route codes of SendXpml.
enum XpmlRoute : int32_t {
    kXpmlNoAnswer = 0,
    kXpmlNetwork = 1,  // answered by the XPML server
    kXpmlLocal = 2,    // answered through the printer-data hook
};

// A bad "Connection Retries" value (it is a plain registry number) must not
// turn one status call into minutes of retries.
constexpr uint32_t kMaxConnectionRetries = 10;

// The driver's printer-data hook: GetPrinterDataA answers "XPML:" + printer +
// "," + transaction id (the request waits in "LOCAL:XPML/" + id; the answer's
// length comes back in 4 bytes, its bytes in the same value) and "XPML Server
// Port". Wine's spooler has no driver hook (it answers 2), so tests install a
// driver double through ScopedXpmlDriverApi; every other call is real.
struct XpmlDriverApi {
    decltype(&::GetPrinterDataA) getPrinterDataA = ::GetPrinterDataA;

    static const XpmlDriverApi& Current() { return ScopedApi<XpmlDriverApi>::Current(); }
};
using ScopedXpmlDriverApi = ScopedApi<XpmlDriverApi>;

// A fresh transaction id: the low half is the low 32 bits of the performance
// counter, the high half the CRC-32 (zlib's) of the counter's high 32 bits,
// the process id and the thread id, each 4 bytes little-endian. Two calls of
// one thread within one counter tick give the same id.
uint64_t NewTransactionId();
// The id as 16 upper-case hexadecimal digits.
OString TransactionIdText(uint64_t id);
// The same from its parts, for checking an id against its definition.
uint64_t MakeTransactionId(uint64_t counter, uint32_t processId, uint32_t threadId);

// Sends request (NUL-terminated narrow text) for the printer named as the
// spooler knows it. The name keeps its UTF-16 form: the form fields carry it
// as UTF-8, whatever the code page. Each returns the route code; nothing is
// thrown for a missing server or a driver that does not answer.
int32_t SendXpml(const OString& printer, const char* request);
// On an answer, answer is resized to the body's length and filled with it;
// otherwise it is left as it was.
int32_t SendXpml(const OString& printer, const char* request, std::vector<uint8_t>& answer);
// The answer (null when none); the route code goes through route when given.
std::unique_ptr<HttpResponse> SendXpml(const OString& printer, const char* request, int32_t* route);
// The same for a printer whose facts the caller already holds for its
// operation: nothing is asked of the spooler or built again, and the form
// fields carry printer.Name(). The name-based forms above build the context.
// printer.Xpml() then tells how the network path went (why it gave nothing).
int32_t SendXpml(PrinterCallContext& printer, const char* request);
int32_t SendXpml(PrinterCallContext& printer, const char* request, std::vector<uint8_t>& answer);

// The network path's settings of a printer as a request reads them (the
// table above): the switch, the server's host and port (for a package driver
// of a printer served elsewhere the port is asked of the driver's hook, as a
// request does), the retries (at most kMaxConnectionRetries) and the time-out
// per attempt in ms.
struct XpmlNetworkSettings {
    bool enabled = true;
    OString host;
    uint32_t port = 0;
    uint32_t retries = 0;
    uint32_t timeoutMs = 0;
};
XpmlNetworkSettings ReadXpmlNetworkSettings(PrinterCallContext& printer);

// One attempt of the network path alone, whatever the retries and without
// the driver's hook: kXpmlNetwork for an answer of this request's transaction,
// else kXpmlNoAnswer with printer.Xpml() saying why. Bounded by the
// printer's time-out (each stage of the exchange).
int32_t ProbeXpmlServer(PrinterCallContext& printer, const char* request);

class ClientUtility {
public:
    // The XPML server port of a package driver: "NETWORK:XPML Server Port"
    // (default 5130), read from the machine keys (the registry's redirect flag
    // is cleared for the call). For a printer served by another computer the
    // driver hook's "XPML Server Port" is asked too; a different answer is
    // stored and returned, no answer leaves the stored port. Both cases are
    // logged to "Quorvel Client Utility V3" (Warnings when the new port cannot
    // be stored, DetailInfo when the hook gives none).
    static uint32_t GetRefactoredTcpPortNumber(PrinterRegistry& registry);
};
