#include "driver_interface/status_provenance.h"

#include <string>

#include "diagnostics/event_log.h"
#include "diagnostics/log_throttle.h"

namespace {

OString WithCode(const OString& text, int32_t code) {
    return text + " (" + OString(code) + ")";
}

// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back.
OLogThrottle g_reportTimes;

}  // namespace

StatusProvenance ProvenanceOf(StatusProvenanceCode code) {
    switch (code) {
        case kStatusFromPrinter:
            return {code, "printer: answered over the network"};
        case kStatusFromDriverHook:
            return {code, "printer: answered through the driver's printer-data hook"};
        case kStatusMonitoringOff:
            return {code, "spooler: status monitoring is off (Status Monitoring Mode)"};
        case kStatusBidiOff:
            return {code, "spooler: the printer's bidirectional support is off"};
        case kStatusMonitoringUnsupported:
            return {code, "spooler: the printer does not monitor its state"};
        case kStatusBasicInterface:
            return {code, "spooler: basic interface"};
        case kStatusSpoolerWord:
            return {code, "spooler: the status word is always the spooler's"};
        case kStatusNetworkOff:
            return {code, "spooler: the network path is off and the driver's hook did not answer"};
        case kStatusMalformed:
            return {code, "spooler: the printer's answer is not a status answer"};
        case kStatusNotAsked:
            return {code, "no status call yet"};
        case kStatusWatchingNoAnswer:
            return {code, "spooler: watching, the printer has not answered a refresh yet"};
        default:
            return {code, "spooler: the printer did not answer"};
    }
}

namespace {

StatusProvenance WhyNoAnswer(const XpmlResult& outcome);

}  // namespace

StatusProvenance ProvenanceOf(const XpmlResult& outcome) {
    StatusProvenance provenance = WhyNoAnswer(outcome);
    if (outcome.route == kXpmlNoAnswer && outcome.attempts > 0) {
        provenance.text += "; " + OString(outcome.attempts) +
                           (outcome.attempts == 1 ? " attempt in " : " attempts in ") +
                           OString(outcome.elapsedMs) + " ms";
    }
    return provenance;
}

namespace {

StatusProvenance WhyNoAnswer(const XpmlResult& outcome) {
    if (outcome.route == kXpmlNetwork) {
        return ProvenanceOf(kStatusFromPrinter);
    }
    if (outcome.route == kXpmlLocal) {
        return ProvenanceOf(kStatusFromDriverHook);
    }
    const OString at =
        "spooler: the printer at " + outcome.endpoint.host + ":" + OString(outcome.endpoint.port);
    switch (outcome.failure) {
        case XpmlFailure::NetworkOff:
            return ProvenanceOf(kStatusNetworkOff);
        case XpmlFailure::Unreachable:
            return {kStatusUnreachable, WithCode(at + " could not be reached within " +
                                                     OString(outcome.endpoint.timeoutMs) + " ms",
                                                 outcome.code)};
        case XpmlFailure::Refused:
            return {kStatusRefused, WithCode(at + " refused the connection", outcome.code)};
        case XpmlFailure::TimedOut:
            return {kStatusTimedOut, WithCode(at + " did not answer within " +
                                                  OString(outcome.endpoint.timeoutMs) + " ms",
                                              outcome.code)};
        case XpmlFailure::HttpStatus:
            return {kStatusHttpError, at + " answered with HTTP status " + OString(outcome.code)};
        case XpmlFailure::PortOutOfRange:
            return {kStatusUnreachable, at + " was not asked: the port is outside 1..65535"};
        case XpmlFailure::TransactionMismatch:
            return {kStatusTransactionMismatch,
                    at + " answered with another request's transaction id"};
        case XpmlFailure::ResolverBusy:
            return {kStatusResolverBusy,
                    WithCode(at + " was not asked: the library's name lookups are all busy",
                             outcome.code)};
        case XpmlFailure::Malformed:
        case XpmlFailure::None:
            break;
    }
    const OString malformed = at + " closed the connection or sent no valid HTTP answer";
    return {kStatusMalformed, outcome.code != 0 ? WithCode(malformed, outcome.code) : malformed};
}

}  // namespace

void ReportProvenance(OEventLog& log, const char* operation, const OString& printer,
                      const StatusProvenance& provenance) {
    uint32_t level = OEventLog::kErrors;
    switch (provenance.code) {
        case kStatusFromPrinter:
        case kStatusFromDriverHook:
        case kStatusBasicInterface:
        case kStatusSpoolerWord:
        case kStatusNotAsked:
        case kStatusWatchingNoAnswer:
            return;
        case kStatusMonitoringOff:
        case kStatusBidiOff:
        case kStatusMonitoringUnsupported:
        case kStatusNetworkOff:
            level = OEventLog::kWarnings;
            break;
        default:
            break;
    }
    if (!log.IsEnabled(level)) {
        return;
    }
    const std::wstring key =
        std::wstring(printer.GetWide()) + L'\n' + std::to_wstring(provenance.code);
    int64_t skipped = 0;
    if (!g_reportTimes.Due(key, skipped)) {
        return;
    }
    log.Write(OLogLine(operation, "printer \"" + printer + "\": " + provenance.text +
                                      OLogThrottle::SkippedText(skipped)),
              level);
}
