#include "diagnostics/log_throttle.h"

#include "core/clock.h"

OLogThrottle::OLogThrottle(size_t maxKeys) : m_maxKeys(maxKeys > 0 ? maxKeys : 1) {}

bool OLogThrottle::Due(std::wstring_view key, int64_t& skipped) {
    const uint64_t now = OTickCount();
    OLock hold(m_lock);
    auto found = m_index.find(key);
    if (found != m_index.end()) {
        Entry& entry = *found->second;
        m_order.splice(m_order.begin(), m_order, found->second);
        // A clock set back (a test's) makes a line due rather than none for long.
        if (now >= entry.last && now - entry.last < kIntervalMs) {
            ++entry.skipped;
            return false;
        }
        entry.last = now;
        skipped = entry.skipped;
        entry.skipped = 0;
        return true;
    }
    // The entry is made before the index knows it, so a failed allocation
    // leaves both as they were.
    Order made;
    made.push_back(Entry{std::wstring(key), now, 0});
    m_index.reserve(m_index.size() + 1);
    m_order.splice(m_order.begin(), made);
    m_index.emplace(m_order.front().key, m_order.begin());
    if (m_order.size() > m_maxKeys) {
        m_index.erase(m_order.back().key);
        m_order.pop_back();
    }
    skipped = 0;
    return true;
}

size_t OLogThrottle::GetCount() const {
    OLock hold(m_lock);
    return m_order.size();
}

OString OLogThrottle::SkippedText(int64_t skipped) {
    if (skipped <= 0) {
        return OString();
    }
    return OString(" (and ") + OString(skipped) + " more since the last report)";
}
