#include "diagnostics/event_log_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "diagnostics/event_log.h"

const char* OEventLog::MaskName(uint32_t mask) {
    static const char* const kDetailNames[16] = {
        "DetailInfoA", "DetailInfoB", "DetailInfoC", "DetailInfoD", "DetailInfoE", "DetailInfoF",
        "DetailInfoG", "DetailInfoH", "DetailInfoI", "DetailInfoJ", "DetailInfoK", "DetailInfoL",
        "DetailInfoM", "DetailInfoN", "DetailInfoO", "DetailInfoP",
    };
    switch (mask) {
        case kErrors:
            return "Errors";
        case kWarnings:
            return "Warnings";
        case kInfo:
            return "Info";
        case kDetailInfo:
            return "DetailInfo";
        default:
            break;
    }
    for (int bit = 0; bit < 16; ++bit) {
        if (mask == (1u << bit)) {
            return kDetailNames[bit];
        }
    }
    return "Unknown";
}

namespace OEventLogFormat {

namespace {

void PutLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

OString DebugPrefix(uint64_t tickCount) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%010llu", static_cast<unsigned long long>(tickCount));
    std::string text(digits);
    // Seconds, '.', milliseconds: the point goes before the last three digits,
    // which is after the seventh for every uptime below 115 days.
    text.insert(text.size() - 3, 1, '.');
    text += ": ";
    return OString(text.c_str());
}

WORD EventType(uint32_t mask) {
    if (mask & OEventLog::kErrors) {
        return EVENTLOG_ERROR_TYPE;
    }
    if (mask & OEventLog::kWarnings) {
        return EVENTLOG_WARNING_TYPE;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

DWORD EventId(WORD eventType) {
    switch (eventType) {
        case EVENTLOG_ERROR_TYPE:
            return kEventIdError;
        case EVENTLOG_WARNING_TYPE:
            return kEventIdWarning;
        default:
            return kEventIdInformation;
    }
}

OString CutMessage(const OString& message) {
    const wchar_t* text = message.GetWide();
    if (std::wcslen(text) < static_cast<size_t>(kMaxMessageChars)) {
        return message;
    }
    int32_t keep = kMaxMessageChars - 1;
    // Never half a surrogate pair: the event would carry invalid UTF-16.
    wchar_t last = text[keep - 1];
    if (last >= 0xD800 && last <= 0xDBFF) {
        --keep;
    }
    OString cut(text, keep);
    cut.Append(kTruncationSuffix);
    return cut;
}

void BuildRawData(uint8_t (&raw)[kRawDataBytes], uint64_t tickCount, int64_t performanceCounter,
                  uint32_t mask, uint32_t threadId, uint32_t processId) {
    std::memset(raw, 0, sizeof(raw));
    PutLe(raw + 0, 3, 8);
    PutLe(raw + 8, static_cast<uint32_t>(tickCount), 4);
    PutLe(raw + 16, static_cast<uint64_t>(performanceCounter), 8);
    PutLe(raw + 24, mask, 4);
    PutLe(raw + 32, threadId, 4);
    PutLe(raw + 40, processId, 4);
}

OString FileLogPath(const OString& source) {
    std::wstring name(source.GetWide());
    std::replace(name.begin(), name.end(), L' ', L'_');
    return OString((std::wstring(kLogFolder) + L"\\" + name + L".txt").c_str());
}

OString FileLine(const SYSTEMTIME& time, const OString& source, uint32_t mask, uint32_t threadId,
                 const OString& message) {
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"%02u/%02u/%04u %02u:%02u:%02u", time.wMonth, time.wDay, time.wYear,
                  time.wHour, time.wMinute, time.wSecond);
    wchar_t thread[32];
    std::swprintf(thread, 32, L"Thread:0x%08X", threadId);
    std::wstring line = stamp;
    line += L", ";
    line += source.GetWide();
    line += L", ";
    const char* name = OEventLog::MaskName(mask);
    line.append(name, name + std::strlen(name));
    line += L", ";
    line += thread;
    line += L", ";
    line += message.GetWide();
    line += L"\n";
    return OString(line.c_str());
}

}  // namespace OEventLogFormat
