#pragma once

#include <cstdint>

#include "core/ostring.h"
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
