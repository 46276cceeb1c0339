#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/locks.h"
#include "core/ostring.h"

// Diagnostics written per event source: to the Windows event log, to the
// debugger output and, on request, to a text file per source.
//
// Usage: a component keeps one front end (a member, or a local one where it
// logs rarely: a front end is cheap, its back end is shared):
//     OEventLog log(OString(OEventLog::kSourcePrinterInterface));
//     if (log.IsEnabled(OEventLog::kWarnings)) {
//         log.Write(OLogLine("PrinterInfo::Load", "GetPrinterW failed, error " + ...),
//                   OEventLog::kWarnings);
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
    std::shared_ptr<OEventLogBase> m_base;
    std::shared_ptr<OEventLog> m_parent;
};

// qualifiedName + ": " + text: the one form of a diagnostic line.
OString OLogLine(const char* qualifiedName, const OString& text);
// "0x" and upper-case hexadecimal, the form of identifiers in log lines.
OString OLogHex(uint64_t value);
