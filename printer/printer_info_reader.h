#pragma once

#include "core/ostring.h"
#include "core/seam.h"
#include "printer/printer_info.h"

// The spooler calls of the printer information reader, as one seam (its
// refresh clock is the library's one, core/clock.h).
// Wine's spooler never reports a server name at level 4 or 2, never a "\\CSR|"
// server, and always a zero driver version and date; tests install their own
// functions (usually wrappers that call the real ones and patch the answer)
// through ScopedPrinterInfoApi. Every other call (OpenPrinterW, printer data,
// GetComputerNameW) goes to the system directly.
struct PrinterInfoApi {
    decltype(&::GetPrinterW) getPrinter = ::GetPrinterW;                    // levels 2 and 4
    decltype(&::GetPrinterDriverW) getPrinterDriver = ::GetPrinterDriverW;  // level 6
    decltype(&::GetPrinterDataExW) getPrinterDataEx = ::GetPrinterDataExW;  // "DsSpooler"

    // The functions in force (process-wide; the real ones unless overridden).
    static const PrinterInfoApi& Current() { return ScopedApi<PrinterInfoApi>::Current(); }
};

// Installs a PrinterInfoApi for its lifetime and restores the previous one.
// Process-wide: install it before starting threads that use the cache. Entries
// a thread has already cached keep their driver part: a test that fakes the
// driver version or date clears the thread's cache first (or uses a printer
// the thread has not met). Overrides nest: destroy them in the reverse order
// of their creation.
using ScopedPrinterInfoApi = ScopedApi<PrinterInfoApi>;

// Reads a printer's facts from the spooler. Never throws on spooler failures:
// fields that could not be read stay as they were (only allocation failure
// propagates). Stateless; PrinterInfoCache decides when to read.
class PrinterInfoReader {
public:
    // Reads again the printer facts.printerName names (what OpenPrinterW
    // accepts): the printer part (an open, a level 2 read, a close; on success
    // lastRefresh is the clock's reading) and, while driverPartRead is false or
    // when driverPart asks for it, the driver part (DRIVER_INFO_6,
    // "DriverPackage"), which then sets driverPartRead and driverPartTime. A
    // failed level 2 read keeps what the last good read derived, a failed
    // driver read the driver part read before.
    static void Read(PrinterFacts& facts, bool driverPart = false);

    // The cache key of a printer handle: its PRINTER_INFO_4 printer name, or
    // "\\" + server + "\\" + the directory-service printer name for a printer
    // shared from another machine; empty when PRINTER_INFO_4 cannot be read.
    // The handle is borrowed, never closed.
    static OString KeyFromHandle(HANDLE printer);
};
