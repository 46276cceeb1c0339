#include "net/report_once.h"

#include <deque>
#include <set>
#include <string>

#include "core/locks.h"

namespace {

class ReportedKeys {
public:
    bool Add(const std::wstring& key) {
        OLock hold(m_lock);
        if (!m_keys.insert(key).second) {
            return false;
        }
        m_order.push_back(key);
        if (m_order.size() > kRememberedKeys) {
            m_keys.erase(m_order.front());
            m_order.pop_front();
        }
        return true;
    }

private:
    OCriticalSection m_lock;
    std::set<std::wstring> m_keys;
    std::deque<std::wstring> m_order;  // oldest first
};

// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back.
ReportedKeys g_reported;

}  // namespace

bool FirstReport(const OString& key) {
    return g_reported.Add(key.GetWide());
}
