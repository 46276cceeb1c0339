#include "diagnostics/event_log.h"
#include "rfid/rfid_exports.h"

#include <atomic>
#include <string>

#include "core/clock.h"

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

// At most one line a minute of one kind of report, for a host that may encode
// thousands of tags a second: a call that is not due pays two atomic
// operations, and the next due line counts the calls left out.
class Throttle {
public:
    static constexpr uint64_t kIntervalMs = 60000;

    // Whether a line is due now; if so, skipped is how many were not written
    // since the last one.
    bool Due(int64_t& skipped) {
        const uint64_t now = OTickCount();
        uint64_t last = m_last.load(std::memory_order_relaxed);
        // A clock set back (a test's) makes a line due rather than none for long.
        const bool due = !m_started.load(std::memory_order_relaxed) || now - last >= kIntervalMs;
        if (!due || !m_last.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
            m_skipped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        m_started.store(true, std::memory_order_relaxed);
        skipped = m_skipped.exchange(0, std::memory_order_relaxed);
        return true;
    }

private:
    std::atomic<uint64_t> m_last{0};
    std::atomic<bool> m_started{false};
    std::atomic<int64_t> m_skipped{0};
};

}  // namespace

void ReportEpcValueLoss(const EpcLayoutFault& fault) {
    static Throttle cuts;
    static Throttle characters;
    const bool cut = fault.loss == EpcValueLoss::kCut;
    int64_t skipped = 0;
    if (fault.loss == EpcValueLoss::kNone || !(cut ? cuts : characters).Due(skipped)) {
        return;
    }
    Warn([&](OEventLog& log) {
        const std::string entry(fault.lossEntry.begin(), fault.lossEntry.end());  // ANSI units
        const std::string more =
            skipped > 0 ? " (and " + std::to_string(skipped) + " more since the last report)" : "";
        log.Writef(OEventLog::kWarnings, "RFID_EncodeEPC", "layout field %lld \"%s\" %s%s",
                   static_cast<long long>(fault.lossField), entry.c_str(),
                   cut ? "was given a value wider than the field: the tag holds another number"
                       : "was given characters its encoding cannot carry: the tag holds others",
                   more.c_str());
    });
}

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
