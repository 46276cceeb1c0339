#include "driver_interface/printer_status.h"

const PrinterStatusRow kPrinterStatusRows[23] = {
    {0x1, 100, 14359, "Paused"},
    {0x8, 101, 14337, "Paper Jam"},
    {0x10, 102, 14338, "Out of Paper"},
    {0x20, 103, 14339, "Manual Feed Required"},
    {0x40, 104, 14340, "Paper Problem"},
    {0x80, 105, 14341, "Offline"},
    {0x100, 106, 14342, "I/O Active"},
    {0x200, 107, 14343, "Busy"},
    {0x400, 108, 14344, "Printing"},
    {0x800, 109, 14345, "Output Bin Full"},
    {0x1000, 110, 14346, "Not Available"},
    {0x2000, 111, 14347, "Waiting"},
    {0x4000, 112, 14348, "Processing"},
    {0x8000, 113, 14349, "Initializing"},
    {0x10000, 114, 14350, "Warming Up"},
    {0x20000, 115, 14351, "Toner/Ink Low"},
    {0x40000, 116, 14352, "No Toner/Ink"},
    {0x80000, 117, 14353, "Page Punt"},
    {0x100000, 118, 14354, "User Intervention Required"},
    {0x200000, 119, 14355, "Out of Memory"},
    {0x400000, 120, 14356, "Door Open"},
    // Server status unknown shows a text but has no status id of its own.
    {0x800000, kNoStatusId, 14357, "Server Status Unknown"},
    {0x1000000, 121, 14358, "Power Save Mode"},
};

namespace {

constexpr uint32_t kStatusErrorBit = 0x2;

void AppendJoined(OString& text, const OString& part) {
    if (!text.IsEmpty()) {
        text += ", ";
    }
    text += part;
}

}  // namespace

int PrinterStatusSeverity(uint32_t status) {
    if ((status & kStatusErrorMask) != 0) {
        return kSeverityError;
    }
    if ((status & kStatusWarningMask) != 0) {
        return kSeverityWarning;
    }
    return kSeverityReady;
}

uint32_t ExtendedStatusFlagsForSeverity(int severity) {
    switch (severity) {
        case kSeverityError:
            return kExtendedStatusError;
        case kSeverityWarning:
            return kExtendedStatusWarning;
        default:
            return 0;
    }
}

bool StatusWordHasStatusId(uint32_t status, int statusId) {
    if (statusId < 100 || statusId > 121) {
        return false;
    }
    for (const PrinterStatusRow& row : kPrinterStatusRows) {
        if (row.statusId == statusId) {
            return (status & row.mask) != 0;
        }
    }
    return false;
}

OString FormatPrinterStatusWord(uint32_t status, StatusTextLoader load, void* context) {
    if (status == 0) {
        // The print UI's own ready text wins; the older library's text is the
        // second choice, and only that one has an English fallback.
        OString ready = load(context, kPrintUiApiLibrary, kReadyTextApiId, OString());
        if (ready.IsEmpty()) {
            ready = load(context, kPrintUiLibrary, kReadyTextId, OString("Ready"));
        }
        return ready;
    }
    OString text;
    for (const PrinterStatusRow& row : kPrinterStatusRows) {
        if ((status & row.mask) != 0) {
            AppendJoined(text,
                         load(context, kPrintUiLibrary, row.printUiId, OString(row.fallback)));
        }
    }
    // A generic error is worth naming only when no specific error explains it.
    if ((status & kStatusErrorMask) == kStatusErrorBit) {
        AppendJoined(text, load(context, kPrintUiLibrary, kErrorTextId, OString("Error")));
    }
    return text;
}
