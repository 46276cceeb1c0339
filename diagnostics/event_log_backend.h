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
    // Appends one line (bytes as given) to the file at path, first renaming
    // it to rolled (replacing that) and starting a new one when the line
    // would take it past limitBytes. The caller holds the source's file-log
    // mutexes, which every writer of the file takes. False when the file
    // cannot be opened, is a link or a second name of another file, or
    // cannot be rolled over: the line is then not written.
    bool (*appendFileLine)(const wchar_t* path, const wchar_t* rolled, const char* line,
                           uint32_t limitBytes) = AppendFileLine;
    // Registry root of the mask values, "LOCAL:DebugLogMasks\\" in production;
    // tests point it at a scratch key.
    const wchar_t* maskRoot = L"LOCAL:DebugLogMasks\\";
    // The registry value of the file logs' size limit; tests point it at a
    // scratch key.
    const wchar_t* fileLimitPath = L"LOCAL:DebugLogFileLimit";

    // The real file append.
    static bool AppendFileLine(const wchar_t* path, const wchar_t* rolled, const char* line,
                               uint32_t limitBytes);
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
    // A source's file log and its rolled-over copy each stay within the limit
    // (bytes): the value at fileLimitPath, kDefaultFileLimit when absent, not
    // 4 bytes long or 0, else clamped to kMinFileLimit..kMaxFileLimit.
    static constexpr uint32_t kDefaultFileLimit = 8u << 20;
    static constexpr uint32_t kMinFileLimit = 64u << 10;
    static constexpr uint32_t kMaxFileLimit = 1u << 30;

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

    // The file limit in force for this source, as last read with the mask.
    uint32_t GetFileLimit() const { return m_fileLimit.load(std::memory_order_relaxed); }
    // The limit the registry gives now (see kDefaultFileLimit).
    static uint32_t ReadFileLimit();
    // "C:\Log Files\" + source with blanks as '_' + ".1.txt": the file log
    // before its last roll-over.
    static OString RolledFileLogPath(const OString& source);

private:
    uint32_t ReadMask() const;
    void RegisterSource();
    void WriteEventToFile(const OString& message, uint32_t mask);

    std::atomic<uint32_t> m_mask{OEventLog::kDefaultMask};
    std::atomic<uint32_t> m_fileLimit{kDefaultFileLimit};
    std::atomic<uint32_t> m_lastRefresh{0};
    OCriticalSection m_lock;
    OEventSourceHandle m_eventSource;
    OString m_source;
    OString m_filePath;
    OString m_rolledPath;
    bool m_folderCreated = false;
    OString m_maskPath;
    // The driver's other components take the first, in their own session;
    // the library's writers in every session also take the second.
    OMutex m_fileMutex;
    OMutex m_globalFileMutex;
};
