#pragma once

// The back end of the event log and the system functions it calls; only the
// diagnostics folder (and tests) see these.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/handles.h"
#include "core/locks.h"
#include "core/ostring.h"
#include "core/seam.h"
#include "diagnostics/event_log.h"

// The outputs, counter and local time of the event log, real by default.
// Tests install their own through OEventLogSystemOverride to see exactly what
// was written under which mask (and move time through core/clock.h);
// production writes for real.
struct OEventLogSystem {
    decltype(&::QueryPerformanceCounter) queryPerformanceCounter = ::QueryPerformanceCounter;
    decltype(&::GetLocalTime) getLocalTime = ::GetLocalTime;
    decltype(&::OutputDebugStringW) outputDebugString = ::OutputDebugStringW;
    decltype(&::RegisterEventSourceW) registerEventSource = ::RegisterEventSourceW;
    decltype(&::ReportEventW) reportEvent = ::ReportEventW;
    decltype(&::DeregisterEventSource) deregisterEventSource = ::DeregisterEventSource;
    // Appends one narrow line to the file (text mode); false when the file
    // cannot be opened.
    bool (*appendFileLine)(const wchar_t* path, const char* line) = AppendFileLine;
    // Registry root of the mask values, "LOCAL:DebugLogMasks\\" in production;
    // tests point it at a scratch key.
    const wchar_t* maskRoot = L"LOCAL:DebugLogMasks\\";

    // The real file append.
    static bool AppendFileLine(const wchar_t* path, const char* line);
    // The functions in force.
    static const OEventLogSystem& Current() { return ScopedApi<OEventLogSystem>::Current(); }
};

using OEventLogSystemOverride = ScopedApi<OEventLogSystem>;

namespace OHandleTraits {
// A registered event source, given back through the seam in force.
struct EventSource {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { OEventLogSystem::Current().deregisterEventSource(h); }
};
}  // namespace OHandleTraits

using OEventSourceHandle = OUniqueHandle<OHandleTraits::EventSource>;

// The back end of one source, shared by every front end of that source in the
// process through a process-wide table.
class OEventLogBase {
public:
    static constexpr uint32_t kRefreshMs = 5000;
    static constexpr uint32_t kSweepMs = 300000;
    static constexpr uint32_t kIdleDropMs = 120000;
    static constexpr DWORD kFileMutexWaitMs = 10000;

    // Use Acquire: a back end must be in the table to be shared.
    explicit OEventLogBase(const OString& source);
    OEventLogBase(const OEventLogBase&) = delete;
    OEventLogBase& operator=(const OEventLogBase&) = delete;

    // The back end of source from the process-wide table, created (mask read,
    // default written back) when absent.
    static std::shared_ptr<OEventLogBase> Acquire(const OString& source);
    // Drops back ends no front end refers to and idle for 120000 ms.
    static void Sweep();
    // Back ends in the table (for tests).
    static int32_t TableSize();

    // Refresh rule and test; see OEventLog::IsEnabled.
    bool IsEnabled(uint32_t mask);
    // Writes a rendered line: debugger, Windows event, file. Returns whether
    // ReportEventW succeeded.
    bool Write(const OString& message, uint32_t mask);

    // "LOCAL:DebugLogMasks\" + source, or the test root when one is set.
    static OString MaskPathFor(const OString& source);
    // The source's mask as the registry holds it now (kDefaultMask when
    // absent), without creating a back end or writing the default back: for
    // tools that show it.
    static uint32_t ReadMaskOf(const OString& source);

private:
    uint32_t ReadMask() const;
    void RegisterSource();
    void WriteEventToFile(const OString& message, uint32_t mask);

    std::atomic<uint32_t> m_mask{OEventLog::kDefaultMask};
    std::atomic<uint32_t> m_lastRefresh{0};
    OCriticalSection m_lock;
    OEventSourceHandle m_eventSource;
    OString m_source;
    OString m_filePath;
    bool m_folderCreated = false;
    OString m_maskPath;
};
