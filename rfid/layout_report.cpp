#include "diagnostics/event_log.h"
#include "rfid/rfid_exports.h"

#include <string>

namespace {

// write(log) at Warnings, when they are on; a log that fails costs nothing
// more, since the null result and its last error tell the caller all the same.
template <typename Write>
void Warn(Write write) {
    try {
        OEventLog log(OString(OEventLog::kSourceClientUtility));
        if (log.IsEnabled(OEventLog::kWarnings)) {
            write(log);
        }
    } catch (...) {
    }
}

}  // namespace

void ReportEpcLayoutFault(const EpcLayoutFault& fault) {
    Warn([&](OEventLog& log) {
        if (fault.field == 0) {
            log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC", "the layout gives no bits");
            return;
        }
        const std::string entry(fault.entry.begin(), fault.entry.end());  // ANSI units
        log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC",
                   "layout field %lld \"%s\" makes the tag wider than %lld bits",
                   static_cast<long long>(fault.field), entry.c_str(),
                   static_cast<long long>(kEpcMaxTagBits));
    });
}

void ReportEpcDecodeFailure(const EpcDecodeResult& result) {
    Warn([&](OEventLog& log) {
        if (result.field == 0) {
            log.Writef(OEventLog::kWarnings, "QVRFID_DecodeEPC", "%s", result.reason);
        } else {
            log.Writef(OEventLog::kWarnings, "QVRFID_DecodeEPC", "layout field %lld: %s",
                       static_cast<long long>(result.field), result.reason);
        }
    });
}

void ReportEpcNameFault(const char* operation, const char* field, const char* reason) {
    Warn([&](OEventLog& log) {
        if (*field == '\0') {
            log.Writef(OEventLog::kWarnings, operation, "%s", reason);
        } else {
            log.Writef(OEventLog::kWarnings, operation, "%s: %s", field, reason);
        }
    });
}
