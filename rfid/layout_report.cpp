#include "diagnostics/event_log.h"
#include "diagnostics/log_throttle.h"
#include "rfid/rfid_exports.h"

#include <string>

namespace {

// One line a minute per kind of failure, for a host that tries several layouts
// per tag or scans foreign tags by the thousand. At namespace scope: a
// function-local static would need a guard, which the static runtime pays for
// with a TLS slot never given back.
OLogThrottle g_reports;

// write(log, more) at Warnings, when they are on and a line of the kind
// (operation and reason) is due; more counts the lines held back. A log that
// fails costs nothing more, since the null result and its last error tell the
// caller all the same.
template <typename Write>
void Warn(const char* operation, const char* reason, Write write) {
    try {
        OEventLog log(OString(OEventLog::kSourceClientUtility));
        if (!log.IsEnabled(OEventLog::kWarnings)) {
            return;
        }
        std::wstring key(operation, operation + std::char_traits<char>::length(operation));
        key += L'\n';
        key.append(reason, reason + std::char_traits<char>::length(reason));
        int64_t skipped = 0;
        if (g_reports.Due(key, skipped)) {
            write(log, OLogThrottle::SkippedText(skipped).GetNarrow());
        }
    } catch (...) {
    }
}

constexpr const char* kCut = "was given a value wider than the field: the tag holds another number";
constexpr const char* kLostCharacters =
    "was given characters its encoding cannot carry: the tag holds others";

}  // namespace

void ReportEpcValueLoss(const EpcLayoutFault& fault) {
    if (fault.loss == EpcValueLoss::kNone) {
        return;
    }
    const char* what = fault.loss == EpcValueLoss::kCut ? kCut : kLostCharacters;
    Warn("RFID_EncodeEPC", what, [&](OEventLog& log, const char* more) {
        const std::string entry(fault.lossEntry.begin(), fault.lossEntry.end());  // ANSI units
        log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC", "layout field %lld \"%s\" %s%s",
                   static_cast<long long>(fault.lossField), entry.c_str(), what, more);
    });
}

void ReportEpcLayoutFault(const EpcLayoutFault& fault) {
    if (fault.field == 0) {
        Warn("RFID_EncodeEPC", "no bits", [&](OEventLog& log, const char* more) {
            log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC", "the layout gives no bits%s", more);
        });
        return;
    }
    Warn("RFID_EncodeEPC", "too wide", [&](OEventLog& log, const char* more) {
        const std::string entry(fault.entry.begin(), fault.entry.end());  // ANSI units
        log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC",
                   "layout field %lld \"%s\" makes the tag wider than %lld bits%s",
                   static_cast<long long>(fault.field), entry.c_str(),
                   static_cast<long long>(kEpcMaxTagBits), more);
    });
}

void ReportEpcDecodeFailure(const EpcDecodeResult& result) {
    Warn("QVRFID_DecodeEPC", result.reason, [&](OEventLog& log, const char* more) {
        if (result.field == 0) {
            log.Writef(OEventLog::kWarnings, "QVRFID_DecodeEPC", "%s%s", result.reason, more);
        } else {
            log.Writef(OEventLog::kWarnings, "QVRFID_DecodeEPC", "layout field %lld: %s%s",
                       static_cast<long long>(result.field), result.reason, more);
        }
    });
}

void ReportEpcNameFault(const char* operation, const char* field, const char* reason) {
    Warn(operation, reason, [&](OEventLog& log, const char* more) {
        if (*field == '\0') {
            log.Writef(OEventLog::kWarnings, operation, "%s%s", reason, more);
        } else {
            log.Writef(OEventLog::kWarnings, operation, "%s: %s%s", field, reason, more);
        }
    });
}
