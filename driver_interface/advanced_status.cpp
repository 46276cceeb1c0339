#include <windows.h>

#include <string>
#include <vector>

#include "driver_interface/advanced_text.h"
#include "driver_interface/advanced_interface.h"
#include "driver_interface/printer_status.h"
#include "driver_interface/status_refresh.h"
#include "printer/printer_call_context.h"
#include "xpml/xpml_routing.h"

namespace {

constexpr uint32_t kPausedBit = 0x1;
constexpr int kFirstPrinterStatusId = 201;
constexpr int kLastPrinterStatusId = 211;

OString Narrow(std::string_view text) {
    return OString(text.data(), static_cast<int32_t>(text.size()));
}

// The printer's answer as text; false when no route answered.
bool Ask(PrinterCallContext& printer, const char* request, std::string& text) {
    const XpmlResult result = SendXpml(printer, request);
    if (result.route == kXpmlNoAnswer) {
        return false;
    }
    text = AnswerText(result.body);
    return true;
}

// While the spooler has the printer paused: the paused text alone for a
// printer that is otherwise ready, else appended after ", ".
OString WithPaused(OString status, int severity, uint32_t flags) {
    if ((flags & kPausedBit) == 0) {
        return status;
    }
    OString paused = BasicDriverInterface::FormatStatusWord(kPausedBit);
    return severity == 1 ? paused : status + ", " + paused;
}

// A refresh that found the printer silent, as opposed to one the monitoring
// gate or the printer's own word sent to the spooler.
bool IsNoAnswer(int32_t code) {
    return code >= kStatusUnreachable && code <= kStatusHttpError;
}

constexpr char kWatchRefresh[] = "AdvancedDriverInterface::ReadStatus";
constexpr char kStatusText[] = "AdvancedDriverInterface::GetPrinterStatusText";
constexpr char kSeverity[] = "AdvancedDriverInterface::GetPrinterStatusSeverity";
constexpr char kExtendedFlags[] = "AdvancedDriverInterface::GetPrinterExtendedStatusFlags";

}  // namespace

StatusProvenanceCode AdvancedDriverInterface::MonitoringGate(PrinterCallContext& printer) {
    // The setting is read only when bidi is on.
    if ((printer.Info().GetAttributes() & PRINTER_ATTRIBUTE_ENABLE_BIDI) == 0) {
        return kStatusBidiOff;
    }
    return printer.Settings().IsStatusMonitoringEnabled() ? kStatusFromPrinter
                                                          : kStatusMonitoringOff;
}

bool AdvancedDriverInterface::AskPrinter(PrinterCallContext& printer, const char* request,
                                         std::string& text, StatusProvenance& provenance) {
    const StatusProvenanceCode gate = MonitoringGate(printer);
    if (gate != kStatusFromPrinter) {
        provenance = ProvenanceOf(gate);
        return false;
    }
    const XpmlResult result = SendXpml(printer, request);
    provenance = ProvenanceOf(result);
    if (result.route == kXpmlNoAnswer) {
        return false;
    }
    text = AnswerText(result.body);
    return true;
}

OString AdvancedDriverInterface::DoGetPrinterStatusText() {
    if (OString text; Watched(&StatusReading::text, text)) {
        return text;
    }
    PrinterCallContext printer(PrinterKey());
    std::string text;
    StatusTextAnswer answer;
    StatusProvenance provenance;
    if (AskPrinter(printer, kStatusTextRequest, text, provenance)) {
        answer = ReadStatusTextAnswer(text);
    }
    if (!answer.monitored) {
        if (provenance.code == kStatusFromPrinter || provenance.code == kStatusFromDriverHook) {
            provenance = ProvenanceOf(kStatusMonitoringUnsupported);
        }
        OString status = BasicDriverInterface::DoGetPrinterStatusText();
        RecordProvenance(kStatusText, provenance);
        return status;
    }
    if (!answer.complete) {
        // The printer's word stands: an incomplete answer gives no text.
        RecordProvenance(kStatusText, {kStatusMalformed,
                                       "printer: fewer than three values in the status answer"});
        return OString();
    }
    OString status = WithPaused(Narrow(answer.status), answer.severity, DoGetPrinterStatusFlags());
    RecordProvenance(kStatusText, provenance);
    return status;
}

int AdvancedDriverInterface::DoGetPrinterStatusSeverity() {
    if (int severity; Watched(&StatusReading::severity, severity)) {
        return severity;
    }
    PrinterCallContext printer(PrinterKey());
    std::string text;
    int severity = 0;
    StatusProvenance provenance;
    if (AskPrinter(printer, kSeverityRequest, text, provenance)) {
        if (ReadSeverityAnswer(text, severity)) {
            RecordProvenance(kSeverity, provenance);
            return severity;
        }
        provenance = ProvenanceOf(kStatusMonitoringUnsupported);
    }
    severity = BasicDriverInterface::DoGetPrinterStatusSeverity();
    RecordProvenance(kSeverity, provenance);
    return severity;
}

uint32_t AdvancedDriverInterface::DoGetPrinterExtendedStatusFlags() {
    if (uint32_t flags; Watched(&StatusReading::extendedFlags, flags)) {
        return flags;
    }
    PrinterCallContext printer(PrinterKey());
    std::string text;
    StatusProvenance provenance;
    if (!AskPrinter(printer, kExtendedFlagsRequest, text, provenance)) {
        // Asking an unreachable printer for its severity as well would make
        // the host wait out every time-out twice.
        const int severity = BasicDriverInterface::DoGetPrinterStatusSeverity();
        RecordProvenance(kExtendedFlags, provenance);
        return ExtendedStatusFlagsForSeverity(severity);
    }
    uint32_t flags = 0;
    if (ReadExtendedFlagsAnswer(text, flags)) {
        RecordProvenance(kExtendedFlags, provenance);
        return flags;
    }
    // The severity call records where its answer came from.
    return ExtendedStatusFlagsForSeverity(DoGetPrinterStatusSeverity());
}

// One request for all four states, so that text, severity and extended flags
// come from one answer; each read by the rules of its own request.
bool AdvancedDriverInterface::DoBeginReadStatus(StatusRefresh& refresh, bool spoolerOnly) {
    StatusReading& reading = refresh.reading;
    reading = StatusReading{};
    reading.flags = DoGetPrinterStatusFlags();
    if (!spoolerOnly) {
        PrinterCallContext& printer = refresh.CallContext(PrinterKey());
        const StatusProvenanceCode gate = MonitoringGate(printer);
        if (gate == kStatusFromPrinter) {
            refresh.request = std::make_unique<XpmlRequest>(printer, kWatchStatusRequest,
                                                            refresh.ExchangeSettings());
            return false;
        }
        reading.provenance = ProvenanceOf(gate);
    }
    ReadWatchReading(reading, WatchAnswer{});
    if (!spoolerOnly) {
        RecordProvenance(kWatchRefresh, reading.provenance);
    }
    return true;
}

void AdvancedDriverInterface::DoEndReadStatus(StatusRefresh& refresh, const XpmlResult& result) {
    StatusReading& reading = refresh.reading;
    reading.provenance = ProvenanceOf(result);
    reading.answered = !IsNoAnswer(reading.provenance.code);
    std::string text;  // answer.status points into it
    WatchAnswer answer;
    if (result.route != kXpmlNoAnswer) {
        text = AnswerText(result.body);
        answer = ReadWatchAnswer(text);
    }
    ReadWatchReading(reading, answer);
    RecordProvenance(kWatchRefresh, reading.provenance);
}

void AdvancedDriverInterface::ReadWatchReading(StatusReading& reading, const WatchAnswer& answer) {
    if (answer.monitored && answer.complete) {
        reading.text = WithPaused(Narrow(answer.status), answer.severity, reading.flags);
        reading.severity = answer.severity;
        reading.extendedFlags = answer.extendedFlags;
        return;
    }
    if (answer.monitored) {
        // The printer's word stands: an incomplete answer gives no text.
        reading.provenance = {kStatusMalformed,
                              "printer: fewer than four values in the status answer"};
    } else {
        if (reading.provenance.code == kStatusFromPrinter ||
            reading.provenance.code == kStatusFromDriverHook) {
            reading.provenance = ProvenanceOf(kStatusMonitoringUnsupported);
        }
        reading.text = SpoolerStatusText(reading.flags);
    }
    reading.severity = PrinterStatusSeverity(reading.flags);
    reading.extendedFlags = ExtendedStatusFlagsForSeverity(reading.severity);
}

bool AdvancedDriverInterface::DoHasPrinterStatus(int statusId) {
    if (statusId <= 200) {
        return BasicDriverInterface::DoHasPrinterStatus(statusId);
    }
    if (statusId > kLastPrinterStatusId) {
        return false;
    }
    return (DoGetPrinterExtendedStatusFlags() >> (statusId - kFirstPrinterStatusId) & 1) != 0;
}

OString AdvancedDriverInterface::DoGetJobStatusText(uint32_t jobId) {
    PrinterCallContext printer(PrinterKey());
    std::string text;
    if (!Ask(printer, JobStatusRequest(jobId).c_str(), text)) {
        return OString();
    }
    return Narrow(text);
}

OString AdvancedDriverInterface::DoGetPrinterDriverVersion() {
    OString module = ConfigurationModulePath(Info());
    OString version = module.IsEmpty() ? OString() : ReadVersionString(module, "ProductVersion");
    return version.IsEmpty() ? BasicDriverInterface::DoGetPrinterDriverVersion() : version;
}

OString AdvancedDriverInterface::DoGetPrinterDriverDate() {
    OString module = ConfigurationModulePath(Info());
    OString date = module.IsEmpty() ? OString() : ReadVersionString(module, "Build Date");
    if (date.IsEmpty()) {
        return BasicDriverInterface::DoGetPrinterDriverDate();
    }
    return Narrow(CutBuildDate(date.GetNarrow()));
}
