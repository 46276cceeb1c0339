#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ostring.h"
#include "core/seam.h"

class PrinterRegistry;

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

// Asks the hook for valueName on the printer opened by name with administer
// access. The first 4 answer bytes go to value (zero-extended); needed is what
// the call reported. False when the printer does not open or the call fails.
bool AskDriver(const OString& printerName, const std::string& valueName, uint32_t& value,
               DWORD& needed);

// The local route: the request goes to the driver through the registry value
// "LOCAL:XPML/" + id; the driver answers with the answer's length and leaves
// the answer in the same value, which is deleted whatever happened. The
// answer's body (empty when the driver stored none), or nothing when the
// driver did not answer.
std::optional<std::vector<uint8_t>> SendThroughDriver(PrinterRegistry& registry,
                                                      const OString& printer, const char* request,
                                                      const OString& id);

// The XPML server port of a package driver's printer served by another
// computer, whose "NETWORK:XPML Server Port" holds stored: the hook's "XPML
// Server Port". A port other than stored is stored; when it cannot be (a
// standard user may not write the machine keys) it is kept in memory for the
// process instead, with one Warning per printer and port to "Quorvel Client
// Utility V3", and not tried again. Without an answer (DetailInfo), the port
// kept in memory, else stored. Thread-safe.
uint32_t ServedXpmlPort(PrinterRegistry& registry, uint32_t stored);
