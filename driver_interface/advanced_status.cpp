#include <windows.h>

#include <string>
#include <vector>

#include "driver_interface/advanced_text.h"
#include "driver_interface/driver_interface.h"
#include "driver_interface/printer_status.h"
#include "printer/printer_info.h"
#include "printer/printer_registry_facts.h"
#include "registry/driver_settings.h"
#include "registry/printer_registry.h"
#include "xpml/encodings.h"
#include "xpml/xpml_routing.h"

namespace {

constexpr uint32_t kPausedBit = 0x1;
constexpr uint32_t kErrorBit = 0x80000000;
constexpr uint32_t kWarningBit = 0x40000000;
constexpr int kFirstPrinterStatusId = 201;
constexpr int kLastPrinterStatusId = 211;

OString Narrow(std::string_view text) {
    return OString(text.data(), static_cast<int32_t>(text.size()));
}

// The printer's answer as text; false when no route answered.
bool Ask(const OString& printer, const char* request, std::string& text) {
    std::vector<uint8_t> answer;
    if (SendXpml(printer, request, answer) == kXpmlNoAnswer) {
        return false;
    }
    text = AnswerText(answer);
    return true;
}

// A first value "0" says the printer does not monitor its state.
bool Monitors(const std::string& text, size_t minimumLength) {
    return text.size() >= minimumLength && text[0] != '0';
}

}  // namespace

OString AdvancedDriverInterface::PrinterName() const {
    return PrinterInfo(Printer()).GetPrinterName();
}

OString AdvancedDriverInterface::MonitoredPrinter() {
    // The bidi answer is cached; the setting is read only when it is on.
    if (!IsBidiEnabled()) {
        return OString();
    }
    PrinterInfo info(Printer());
    PrinterRegistry registry(RegistryFactsOf(info));
    DriverSettings settings;
    settings.Load(registry);
    return settings.IsStatusMonitoringEnabled() ? info.GetPrinterName() : OString();
}

OString AdvancedDriverInterface::GetPrinterStatusText() {
    OString printer = MonitoredPrinter();
    std::string text;
    if (printer.IsEmpty() || !Ask(printer, kStatusTextRequest, text) || !Monitors(text, 3)) {
        return BasicDriverInterface::GetPrinterStatusText();
    }
    std::vector<std::string_view> parts = SplitAnswer(text);
    if (parts.size() < 3) {
        return OString();
    }
    OString status = Narrow(parts[1]);
    if ((GetPrinterStatusFlags() & kPausedBit) != 0) {
        OString paused = FormatStatusWord(kPausedBit);
        // A printer that is otherwise ready shows only that it is paused.
        status = LeadingDecimal(parts[2]) == 1 ? paused : status + ", " + paused;
    }
    return status;
}

int AdvancedDriverInterface::GetPrinterStatusSeverity() {
    OString printer = MonitoredPrinter();
    std::string text;
    if (!printer.IsEmpty() && Ask(printer, kSeverityRequest, text) && Monitors(text, 2)) {
        return LeadingDecimal(std::string_view(text).substr(2));
    }
    return BasicDriverInterface::GetPrinterStatusSeverity();
}

uint32_t AdvancedDriverInterface::GetPrinterExtendedStatusFlags() {
    OString printer = MonitoredPrinter();
    std::string text;
    if (printer.IsEmpty() || !Ask(printer, kExtendedFlagsRequest, text)) {
        // Asking an unreachable printer for its severity as well would make
        // the host wait out every time-out twice.
        return ExtendedStatusFlagsForSeverity(BasicDriverInterface::GetPrinterStatusSeverity());
    }
    if (Monitors(text, 2)) {
        std::vector<std::string_view> parts = SplitAnswer(text);
        if (parts.size() >= 3) {
            // Hex8ToUInt32 stops at the terminator: the value is its own text.
            uint32_t flags = Hex8ToUInt32(std::string(parts[1]).c_str());
            int severity = LeadingDecimal(parts[2]);
            if (severity == 2) {
                flags |= kErrorBit;
            } else if (severity == 3) {
                flags |= kWarningBit;
            }
            return flags;
        }
    }
    return ExtendedStatusFlagsForSeverity(GetPrinterStatusSeverity());
}

bool AdvancedDriverInterface::HasPrinterStatus(int statusId) {
    if (statusId <= 200) {
        return BasicDriverInterface::HasPrinterStatus(statusId);
    }
    if (statusId > kLastPrinterStatusId) {
        return false;
    }
    return (GetPrinterExtendedStatusFlags() >> (statusId - kFirstPrinterStatusId) & 1) != 0;
}

OString AdvancedDriverInterface::GetJobStatusText(uint32_t jobId) {
    std::string text;
    if (!Ask(PrinterName(), JobStatusRequest(jobId).c_str(), text)) {
        return OString();
    }
    return Narrow(text);
}

OString AdvancedDriverInterface::GetPrinterDriverVersion() {
    OString module = ConfigurationModulePath(PrinterInfo(Printer()));
    OString version = module.IsEmpty() ? OString() : ReadVersionString(module, "ProductVersion");
    return version.IsEmpty() ? BasicDriverInterface::GetPrinterDriverVersion() : version;
}

OString AdvancedDriverInterface::GetPrinterDriverDate() {
    OString module = ConfigurationModulePath(PrinterInfo(Printer()));
    OString date = module.IsEmpty() ? OString() : ReadVersionString(module, "Build Date");
    if (date.IsEmpty()) {
        return BasicDriverInterface::GetPrinterDriverDate();
    }
    return Narrow(CutBuildDate(date.GetNarrow()));
}
