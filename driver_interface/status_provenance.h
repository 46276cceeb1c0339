#pragma once

#include <cstdint>

#include "core/ostring.h"
#include "xpml/xpml_result.h"

class OEventLog;

// Where an interface's last status answer (text, severity, flags, extended
// flags, HasPrinterStatus) came from, for a host and a support engineer. The
// numbers are part of the interface: they never change meaning, new reasons
// get new numbers.
enum StatusProvenanceCode : int32_t {
    kStatusFromPrinter = 0,             // the printer's XPML server, over the network
    kStatusMonitoringOff = 1,           // "Status/Status Monitoring Mode" is 0 or above 3
    kStatusBidiOff = 2,                 // the printer's bidirectional attribute is clear
    kStatusUnreachable = 3,             // no connection to the XPML server
    kStatusTimedOut = 4,                // connected, no complete answer in time
    kStatusRefused = 5,                 // the XPML server's host refused the connection
    kStatusMalformed = 6,               // an answer that is not one
    kStatusTransactionMismatch = 7,     // another request's answer
    kStatusHttpError = 8,               // an answer whose HTTP status is not 200
    kStatusBasicInterface = 9,          // the driver has no DAL: the spooler always answers
    kStatusFromDriverHook = 10,         // the printer, through the driver's printer-data hook
    kStatusMonitoringUnsupported = 11,  // the printer says it does not monitor its state
    kStatusNetworkOff = 12,             // the network path is switched off, the hook silent
    kStatusSpoolerWord = 13,            // the status word, which is always the spooler's
    kStatusNotAsked = 14,               // no status call yet
    kStatusResolverBusy = 15,           // the library's name lookups are all busy (WSATRY_AGAIN)
    kStatusWatchingNoAnswer = 16,       // watching: the spooler's answer until the first refresh
};

struct StatusProvenance {
    int32_t code = kStatusNotAsked;
    OString text;  // "printer: ..." or "spooler: ..." and why
};

// The provenance of a reason that needs no more detail than its code.
StatusProvenance ProvenanceOf(StatusProvenanceCode code);
// The provenance of an XPML request's result (SendXpml, ProbeXpmlServer): the
// printer for an answer, else why there was none, with how many attempts the
// network path made and how long it took ("; 3 attempts in 3004 ms").
StatusProvenance ProvenanceOf(const XpmlResult& result);

// Writes a fallback (Warnings) or a failure (Errors) of printer to log as
// operation + ": " + the text, at most once a minute per printer and code in
// the process (by the library's clock; the next line counts those held back),
// so a host that polls does not flood the log. Answers from the printer and
// the basic interface are not written.
void ReportProvenance(OEventLog& log, const char* operation, const OString& printer,
                      const StatusProvenance& provenance);
