#pragma once

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/event_log_backend.h"
#include "support/scratch_registry.h"

namespace QvTest {

// The lines the interfaces' event log reported while a test ran, through the
// event log's output seam (Wine discards real events).
class LoggedEvents {
public:
    LoggedEvents() : m_root(m_masks.Path() + L"\\") {
        s_events.clear();
        OEventLogSystem system;
        system.outputDebugString = [](LPCWSTR) {};
        system.registerEventSource = [](LPCWSTR, LPCWSTR) { return reinterpret_cast<HANDLE>(1); };
        system.deregisterEventSource = [](HANDLE) { return TRUE; };
        system.reportEvent = [](HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD,
                                LPCWSTR* strings, LPVOID) {
            s_events.emplace_back(type, count > 0 ? strings[0] : L"");
            return TRUE;
        };
        system.maskRoot = m_root.c_str();
        m_override = std::make_unique<OEventLogSystemOverride>(system);
    }
    // Lines of the type that hold the text.
    static int Count(WORD type, const std::wstring& text) {
        return static_cast<int>(std::count_if(s_events.begin(), s_events.end(), [&](auto& e) {
            return e.first == type && e.second.find(text) != std::wstring::npos;
        }));
    }

private:
    static inline std::vector<std::pair<WORD, std::wstring>> s_events;
    ScratchRegistryKey m_masks;
    std::wstring m_root;
    std::unique_ptr<OEventLogSystemOverride> m_override;
};

}  // namespace QvTest
