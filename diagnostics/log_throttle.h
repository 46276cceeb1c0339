#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/locks.h"
#include "core/ostring.h"

// At most one event log line a minute of each kind (a key the caller makes:
// a printer and a reason, an export and its failure), for hosts that poll or
// encode thousands of tags a second. The line that is let through counts the
// ones held back since the last. Time is the library's clock (core/clock.h),
// so a test moves it. Thread-safe.
//
// The keys are bounded: beyond maxKeys the kind met least recently is
// forgotten, so a host that meets ever new printers or foreign tags cannot
// grow it without end; a forgotten kind is simply due again.
class OLogThrottle {
public:
    static constexpr uint64_t kIntervalMs = 60000;
    static constexpr size_t kDefaultMaxKeys = 4096;

    explicit OLogThrottle(size_t maxKeys = kDefaultMaxKeys);
    OLogThrottle(const OLogThrottle&) = delete;
    OLogThrottle& operator=(const OLogThrottle&) = delete;

    // Whether a line of key is due now: the first of its kind, or the first
    // a minute or more after the last one let through. When due, skipped is
    // how many were held back in between; otherwise this one is counted.
    // Throws only std::bad_alloc.
    bool Due(std::wstring_view key, int64_t& skipped);

    // Kinds remembered (for tests).
    size_t GetCount() const;

    // " (and N more since the last report)" for skipped above 0, else empty:
    // the one wording of a count of held-back lines.
    static OString SkippedText(int64_t skipped);

private:
    struct Entry {
        std::wstring key;
        uint64_t last = 0;
        int64_t skipped = 0;
    };
    using Order = std::list<Entry>;  // most recently met first

    size_t m_maxKeys;
    mutable OCriticalSection m_lock;
    Order m_order;
    std::unordered_map<std::wstring_view, Order::iterator> m_index;  // views of m_order's keys
};
