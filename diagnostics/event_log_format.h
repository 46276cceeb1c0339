#pragma once

#include <windows.h>

#include <cstdint>

#include "core/ostring.h"

// The texts and records of an event-log write, apart from the writing: pure,
// no system calls, so each can be checked directly. OEventLog::MaskName, the
// one such piece other components use, is defined with them.
namespace OEventLogFormat {

// Event identifiers per event type.
constexpr DWORD kEventIdInformation = 0x4FFF0100;
constexpr DWORD kEventIdWarning = 0x8FFF0200;
constexpr DWORD kEventIdError = 0xCFFF0300;
// Messages of this many characters or more are cut to one less, plus kTruncationSuffix.
constexpr int32_t kMaxMessageChars = 31767;
constexpr const wchar_t* kTruncationSuffix =
    L" **** Message too long. OEventLogBase truncated it ****";
constexpr int32_t kRawDataBytes = 56;
constexpr const wchar_t* kLogFolder = L"C:\\Log Files";

// Tick count in decimal, zero-padded to 10 digits, '.' before the last three
// (seconds and milliseconds), then ": " (1234567 -> "0001234.567: ").
OString DebugPrefix(uint64_t tickCount);
// Event type: error (1) for bit 31, warning (2) for bit 30, else info (4).
WORD EventType(uint32_t mask);
DWORD EventId(WORD eventType);
// The message as reported: whole below 31767 characters, else its first 31766
// characters (31765 when the last would be half a surrogate pair) and the suffix.
OString CutMessage(const OString& message);
// The raw record attached to every event, as 32-bit little-endian words:
// version 3, zero, tick count (low 32 bits), zero, performance counter (two
// words), then mask, thread and process each followed by a zero word, then two
// zero words.
void BuildRawData(uint8_t (&raw)[kRawDataBytes], uint64_t tickCount, int64_t performanceCounter,
                  uint32_t mask, uint32_t threadId, uint32_t processId);
// kLogFolder + "\" + source with blanks as '_' + ".txt".
OString FileLogPath(const OString& source);
// "MM/DD/YYYY HH:MM:SS, <source>, <OEventLog::MaskName>, Thread:0x<8 hex>, <message>\n".
OString FileLine(const SYSTEMTIME& time, const OString& source, uint32_t mask, uint32_t threadId,
                 const OString& message);

}  // namespace OEventLogFormat
