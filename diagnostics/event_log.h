#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/locks.h"
#include "core/ostring.h"
#include "core/seam.h"

// Diagnostics written per event source: to the Windows event log, to the
// debugger output and, on request, to a text file per source.
//
// Usage, at every call site:
//     static OEventLog log(OEventLog::kSourcePrinterInterface);
//     if (log.IsEnabled(OEventLog::kWarnings)) {
//         log.Write(OLogLine("PrinterInfo::Load", "GetPrinterW failed, error " + ...),
//         OEventLog::kWarnings);
//     }
// or, formatted in one step (the level is tested before anything is built):
//     log.Writef(OEventLog::kErrors, "TCPSocket::Connect", "connect failed, error %u", error);
//
// A level is enabled when the source's mask, kept in the registry value
// "LOCAL:DebugLogMasks\<source>" and re-read at most every 5000 ms, has its
// bit set. Logging never throws to its caller except for allocation failure.

class OEventLogBase;

// A tag: an id and a producer of its text, called when the line is rendered.
struct OEventLogTag {
    uint32_t id = 0;
    std::function<OString()> text;
};

// Tags of one front end, guarded by its own lock.
class OEventLogTagList {
public:
    static constexpr uint32_t kProcessTag = 20;
    static constexpr uint32_t kMessageTag = 100;

    OEventLogTagList() = default;
    OEventLogTagList(const OEventLogTagList&) = delete;
    OEventLogTagList& operator=(const OEventLogTagList&) = delete;

    // Replaces any tag of the same id.
    void AddTag(uint32_t id, std::function<OString()> producer);
    void AddTag(uint32_t id, const OString& text);
    void RemoveTag(uint32_t id);
    // Appends copies of all of other's tags (no replacement by id).
    void Merge(const OEventLogTagList& other);
    int32_t GetCount() const;
    // Tags sorted by id (stable), texts of the non-empty ones joined: ": "
    // after a tag whose id is below 100, " - " after one of 100 or more,
    // between neighbours only.
    OString Render() const;

private:
    mutable OCriticalSection m_lock;
    std::vector<OEventLogTag> m_tags;
};

// A logging front end. Cheap to create; keeps a shared back end per source
// name (or reports through a parent) and tags added to every line it writes.
// Thread-safe: any thread may log through one front end.
class OEventLog {
public:
    // Level masks: a message names one level, a source mask enables any set.
    static constexpr uint32_t kErrors = 0x80000000;
    static constexpr uint32_t kWarnings = 0x40000000;
    static constexpr uint32_t kInfo = 0x20000000;
    static constexpr uint32_t kDetailInfo = 0x10000000;
    static constexpr uint32_t kDetailInfoA = 0x1;
    static constexpr uint32_t kDetailInfoB = 0x2;
    static constexpr uint32_t kDetailInfoC = 0x4;
    static constexpr uint32_t kDetailInfoD = 0x8;
    static constexpr uint32_t kDetailInfoE = 0x10;
    static constexpr uint32_t kDetailInfoF = 0x20;
    static constexpr uint32_t kDetailInfoG = 0x40;
    static constexpr uint32_t kDetailInfoH = 0x80;
    static constexpr uint32_t kDetailInfoI = 0x100;
    static constexpr uint32_t kDetailInfoJ = 0x200;
    static constexpr uint32_t kDetailInfoK = 0x400;
    static constexpr uint32_t kDetailInfoL = 0x800;
    static constexpr uint32_t kDetailInfoM = 0x1000;
    static constexpr uint32_t kDetailInfoN = 0x2000;
    static constexpr uint32_t kDetailInfoO = 0x4000;
    static constexpr uint32_t kDetailInfoP = 0x8000;
    // Control bits of a source mask: info and detail messages to the debugger
    // as well; every reported message to the file log as well.
    static constexpr uint32_t kDebuggerOutput = 0x08000000;
    static constexpr uint32_t kFileLog = 0x04000000;
    // Mask of a source whose registry value is absent: errors, warnings, info.
    static constexpr uint32_t kDefaultMask = 0xE0000000;

    // The event sources of the library's components.
    static constexpr const wchar_t* kSourcePrinterInterface = L"Quorvel Printer Interface V3";
    static constexpr const wchar_t* kSourceClientUtility = L"Quorvel Client Utility V3";
    static constexpr const wchar_t* kSourcePrinterDriver = L"Quorvel Printer Driver V3";
    static constexpr const wchar_t* kSourceTcpLibrary = L"Quorvel TCP Library V3";

    // A front end of the source, creating its back end on first use. With
    // withProcessTag, every line starts with the running program's file name
    // (tag 20) and ": ".
    explicit OEventLog(const OString& source, bool withProcessTag = false);
    // A front end that reports through parent (whose tags follow its own).
    explicit OEventLog(std::shared_ptr<OEventLog> parent);
    OEventLog(const OEventLog&) = delete;
    OEventLog& operator=(const OEventLog&) = delete;
    virtual ~OEventLog();

    // True when the source mask has any bit of mask set. The hot path: no
    // lock, and a registry read at most every 5000 ms per source.
    bool IsEnabled(uint32_t mask) const;
    // Writes one message at one level (nothing when the level is disabled).
    // Returns whether the Windows event was reported.
    bool Write(const OString& message, uint32_t mask);
    // Tests the level first, then writes qualifiedName + ": " + the printf-style
    // text (C99 conversions; no length limit).
    bool Writef(uint32_t mask, const char* qualifiedName, const char* format, ...)
        __attribute__((format(gnu_printf, 4, 5)));

    // Tags added to every line this front end writes; ids below 100 render
    // before the message, ids above after it.
    OEventLogTagList& Tags() { return m_tags; }
    const OEventLogTagList& Tags() const { return m_tags; }

    // The level name of a mask for the file log: "Errors", "Warnings", "Info",
    // "DetailInfo", "DetailInfoA" .. "DetailInfoP", else "Unknown".
    static const char* MaskName(uint32_t mask);

    // The back end this front end reports to (its own or its first parent's).
    OEventLogBase* GetBase() const;

private:
    OEventLogTagList m_tags;
    uint32_t m_reserved1 = 45;
    uint32_t m_reserved2 = 120;
    std::shared_ptr<OEventLogBase> m_base;
    std::shared_ptr<OEventLog> m_parent;
};

// qualifiedName + ": " + text: the one form of a diagnostic line.
OString OLogLine(const char* qualifiedName, const OString& text);
// "0x" and upper-case hexadecimal, the form of identifiers in log lines.
OString OLogHex(uint64_t value);

// The back end of one source, shared by every front end of that source in the
// process through a process-wide table.
class OEventLogBase {
public:
    // Event identifiers per event type.
    static constexpr DWORD kEventIdInformation = 0x4FFF0100;
    static constexpr DWORD kEventIdWarning = 0x8FFF0200;
    static constexpr DWORD kEventIdError = 0xCFFF0300;
    // Messages of this many characters or more are cut to one less, plus kTruncationSuffix.
    static constexpr int32_t kMaxMessageChars = 31767;
    static constexpr const wchar_t* kTruncationSuffix =
        L" **** Message too long. OEventLogBase truncated it ****";
    static constexpr uint32_t kRefreshMs = 5000;
    static constexpr uint32_t kSweepMs = 300000;
    static constexpr uint32_t kIdleDropMs = 120000;
    static constexpr DWORD kFileMutexWaitMs = 10000;
    static constexpr int32_t kRawDataBytes = 56;

    // Use Acquire: a back end must be in the table to be shared.
    explicit OEventLogBase(const OString& source);
    OEventLogBase(const OEventLogBase&) = delete;
    OEventLogBase& operator=(const OEventLogBase&) = delete;
    ~OEventLogBase();

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

    const OString& GetSource() const { return m_source; }
    const OString& GetMaskPath() const { return m_maskPath; }
    uint32_t GetMask() const { return m_mask.load(std::memory_order_relaxed); }

    // Pure pieces of a write, public so they can be checked directly.
    // Tick count in decimal, zero-padded to 10 digits, '.' before the last
    // three (seconds and milliseconds), then ": " (1234567 -> "0001234.567: ").
    static OString DebugPrefix(uint64_t tickCount);
    // Event type: error (1) for bit 31, warning (2) for bit 30, else info (4).
    static WORD EventType(uint32_t mask);
    static DWORD EventId(WORD eventType);
    // The message as reported: whole below 31767 characters, else its first
    // 31766 characters and the suffix.
    static OString CutMessage(const OString& message);
    // The 56-byte raw record attached to every event.
    static void BuildRawData(uint8_t (&raw)[kRawDataBytes], uint64_t tickCount,
                             int64_t performanceCounter, uint32_t mask, uint32_t threadId,
                             uint32_t processId);
    // "C:\Log Files\" + source with blanks as '_' + ".txt".
    static OString FileLogPath(const OString& source);
    // "MM/DD/YYYY HH:MM:SS, <source>, <MaskName>, Thread:0x<8 hex>, <message>\n".
    static OString FileLine(const SYSTEMTIME& time, const OString& source, uint32_t mask,
                            uint32_t threadId, const OString& message);
    // "LOCAL:DebugLogMasks\" + source, or the test root when one is set.
    static OString MaskPathFor(const OString& source);

private:
    uint32_t ReadMask() const;
    void RegisterSource();
    void WriteToFile(const OString& message, uint32_t mask);

    std::atomic<uint32_t> m_mask{OEventLog::kDefaultMask};
    std::atomic<uint32_t> m_lastRefresh{0};
    OCriticalSection m_lock;
    HANDLE m_eventSource = nullptr;
    OString m_source;
    OString m_filePath;
    bool m_folderCreated = false;
    OString m_maskPath;
};

// The outputs and clocks of the event log, real by default. Tests install
// their own through OEventLogSystemOverride to see exactly what was written
// under which mask, and to move the clock; production writes for real.
struct OEventLogSystem {
    decltype(&::GetTickCount64) getTickCount64 = ::GetTickCount64;
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
