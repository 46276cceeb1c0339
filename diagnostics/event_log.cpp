#include "diagnostics/event_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "registry/oregistry.h"

namespace {

constexpr const wchar_t* kLogFolder = L"C:\\Log Files";
// Machine-wide: without "Global\\" the name would live in the writer's session,
// and a host in a user session would not exclude the driver's components in
// the services' session from the same file.
constexpr const wchar_t* kFileMutexPrefix = L"Global\\Brantheon File Log Mutex for ";
constexpr const wchar_t* kApplicationSources =
    L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";
constexpr const wchar_t* kSystemSources =
    L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\";
constexpr const wchar_t* kMessageFile = L"\\Quorvel_EventMessages.dll";
constexpr DWORD kTypesSupported = 7;  // error, warning, information
constexpr DWORD kCategoryCount = 2;

}  // namespace

bool OEventLogSystem::AppendFileLine(const wchar_t* path, const char* line) {
    FILE* file = ::_wfopen(path, L"at");
    if (file == nullptr) {
        return false;
    }
    std::fputs(line, file);
    std::fclose(file);
    return true;
}

namespace {

// Tick count of the last sweep of the table, low 32 bits.
std::atomic<uint32_t> g_lastSweep{0};

struct SourceTable {
    OCriticalSection lock;
    std::map<std::wstring, std::shared_ptr<OEventLogBase>> sources;
};

// An object of this file, made at load, so the lock exists before two threads'
// first loggers could race to create it. Not a function-local static: its
// guard goes through the static thread library, which takes a TLS slot and two
// handles at load and never gives them back, so a host loading and freeing the
// library ran out of TLS slots and died in the loader.
SourceTable g_table;

SourceTable& Table() {
    return g_table;
}

uint32_t Now32(const OEventLogSystem& system) {
    return static_cast<uint32_t>(system.getTickCount64());
}

size_t WideLength(const OString& s) {
    return std::wcslen(s.GetWide());
}

OString ProgramFileName() {
    std::vector<wchar_t> path;
    if (!OQueryTruncatingText(path, [](wchar_t* buffer, DWORD chars) {
            return ::GetModuleFileNameW(nullptr, buffer, chars);
        })) {
        return OString();
    }
    std::wstring text(path.begin(), path.end());
    size_t slash = text.find_last_of(L'\\');
    return OString((slash == std::wstring::npos ? text : text.substr(slash + 1)).c_str());
}

void PutLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

// ---- OEventLogTagList --------------------------------------------------------

void OEventLogTagList::AddTag(uint32_t id, std::function<OString()> producer) {
    OLock lock(m_lock);
    std::erase_if(m_tags, [id](const OEventLogTag& t) { return t.id == id; });
    m_tags.push_back(OEventLogTag{id, std::move(producer)});
}

void OEventLogTagList::AddTag(uint32_t id, const OString& text) {
    AddTag(id, [text] { return text; });
}

void OEventLogTagList::RemoveTag(uint32_t id) {
    OLock lock(m_lock);
    std::erase_if(m_tags, [id](const OEventLogTag& t) { return t.id == id; });
}

void OEventLogTagList::Merge(const OEventLogTagList& other) {
    if (&other == this) {
        return;
    }
    std::vector<OEventLogTag> copies;
    {
        OLock lock(other.m_lock);
        copies = other.m_tags;
    }
    OLock lock(m_lock);
    m_tags.insert(m_tags.end(), copies.begin(), copies.end());
}

int32_t OEventLogTagList::GetCount() const {
    OLock lock(m_lock);
    return static_cast<int32_t>(m_tags.size());
}

OString OEventLogTagList::Render() const {
    std::vector<OEventLogTag> tags;
    {
        OLock lock(m_lock);
        tags = m_tags;
    }
    std::stable_sort(tags.begin(), tags.end(),
                     [](const OEventLogTag& a, const OEventLogTag& b) { return a.id < b.id; });
    std::wstring line;
    const wchar_t* pending = nullptr;  // separator owed by the previous non-empty tag
    for (const OEventLogTag& tag : tags) {
        OString text = tag.text ? tag.text() : OString();
        if (text.IsEmpty()) {
            continue;
        }
        if (pending != nullptr) {
            line += pending;
        }
        line += text.GetWide();
        pending = tag.id < kMessageTag ? L": " : L" - ";
    }
    return OString(line.c_str());
}

// ---- OEventLog ---------------------------------------------------------------

OEventLog::OEventLog(const OString& source, bool withProcessTag)
    : m_base(OEventLogBase::Acquire(source)) {
    if (withProcessTag) {
        m_tags.AddTag(OEventLogTagList::kProcessTag, ProgramFileName());
    }
}

OEventLog::OEventLog(std::shared_ptr<OEventLog> parent) : m_parent(std::move(parent)) {}

OEventLog::~OEventLog() = default;

OEventLogBase* OEventLog::GetBase() const {
    for (const OEventLog* log = this; log != nullptr; log = log->m_parent.get()) {
        if (log->m_base) {
            return log->m_base.get();
        }
    }
    return nullptr;
}

bool OEventLog::IsEnabled(uint32_t mask) const {
    OEventLogBase* base = GetBase();
    return base != nullptr && base->IsEnabled(mask);
}

bool OEventLog::Write(const OString& message, uint32_t mask) {
    OEventLogBase* base = GetBase();
    if (base == nullptr || !base->IsEnabled(mask)) {
        return false;
    }
    OEventLogTagList line;
    line.AddTag(OEventLogTagList::kMessageTag, message);
    for (const OEventLog* log = this; log != nullptr; log = log->m_parent.get()) {
        line.Merge(log->m_tags);
        if (log->m_base) {
            break;
        }
    }
    OString text = line.Render();
    if (text.IsEmpty()) {
        return false;
    }
    return base->Write(text, mask);
}

bool OEventLog::Writef(uint32_t mask, const char* qualifiedName, const char* format, ...) {
    if (!IsEnabled(mask)) {
        return false;
    }
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return Write(OLogLine(qualifiedName, OString(text.c_str())), mask);
}

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

OString OLogLine(const char* qualifiedName, const OString& text) {
    OString line(qualifiedName != nullptr ? qualifiedName : "");
    line.Append(": ");
    line.Append(text);
    return line;
}

OString OLogHex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof(buffer), "0x%llX", static_cast<unsigned long long>(value));
    return OString(buffer);
}

// ---- OEventLogBase -------------------------------------------------------------

OEventLogBase::OEventLogBase(const OString& source)
    : m_source(source), m_maskPath(MaskPathFor(m_source)) {
    const OEventLogSystem& system = OEventLogSystem::Current();
    m_lastRefresh.store(Now32(system));
    uint32_t mask = ReadMask();
    m_mask.store(mask);
    // Written back so that the value exists for editing afterwards.
    ORegistry().SetNumber(m_maskPath, mask);
}

OEventLogBase::~OEventLogBase() {
    if (m_eventSource != nullptr) {
        OEventLogSystem::Current().deregisterEventSource(m_eventSource);
    }
}

std::shared_ptr<OEventLogBase> OEventLogBase::Acquire(const OString& source) {
    SourceTable& table = Table();
    OLock lock(table.lock);
    std::wstring key(source.GetWide());
    auto found = table.sources.find(key);
    if (found != table.sources.end()) {
        return found->second;
    }
    auto base = std::make_shared<OEventLogBase>(source);
    table.sources.emplace(std::move(key), base);
    return base;
}

void OEventLogBase::Sweep() {
    uint32_t now = Now32(OEventLogSystem::Current());
    SourceTable& table = Table();
    OLock lock(table.lock);
    for (auto it = table.sources.begin(); it != table.sources.end();) {
        // Under the table's lock no new reference can appear, so a count of
        // one (the table's own) means no front end is left.
        bool unused = it->second.use_count() == 1;
        bool idle = now - it->second->m_lastRefresh.load() > kIdleDropMs;
        it = unused && idle ? table.sources.erase(it) : std::next(it);
    }
}

int32_t OEventLogBase::TableSize() {
    SourceTable& table = Table();
    OLock lock(table.lock);
    return static_cast<int32_t>(table.sources.size());
}

uint32_t OEventLogBase::ReadMask() const {
    return ORegistry().GetNumber(m_maskPath, OEventLog::kDefaultMask);
}

bool OEventLogBase::IsEnabled(uint32_t mask) {
    const OEventLogSystem& system = OEventLogSystem::Current();
    uint32_t now = Now32(system);
    // Unsigned 32-bit differences stay right across the wrap of the low word.
    if (now - m_lastRefresh.load(std::memory_order_relaxed) > kRefreshMs && !m_maskPath.IsEmpty()) {
        m_lastRefresh.store(now, std::memory_order_relaxed);
        m_mask.store(ReadMask(), std::memory_order_relaxed);
    }
    if (now - g_lastSweep.load(std::memory_order_relaxed) > kSweepMs) {
        // The sweep's own time is recorded: without it every later test would
        // sweep again and take the table's lock on the hot path. The back end's
        // refresh time is left alone, so a mask edit still shows within 5000 ms.
        g_lastSweep.store(now, std::memory_order_relaxed);
        Sweep();
    }
    return (m_mask.load(std::memory_order_relaxed) & mask) != 0;
}

bool OEventLogBase::Write(const OString& message, uint32_t mask) {
    const OEventLogSystem& system = OEventLogSystem::Current();
    WORD type = EventType(mask);
    if (type != EVENTLOG_INFORMATION_TYPE || IsEnabled(OEventLog::kDebuggerOutput)) {
        OString text = DebugPrefix(system.getTickCount64());
        text.Append(message);
        text.Append(L"\n");
        system.outputDebugString(text.GetWide());
    }

    OLock lock(m_lock);
    if (m_eventSource == nullptr) {
        RegisterSource();
        m_eventSource = system.registerEventSource(nullptr, m_source.GetWide());
    }
    BOOL reported = FALSE;
    if (m_eventSource != nullptr) {
        OString text = CutMessage(message);
        LARGE_INTEGER counter{};
        system.queryPerformanceCounter(&counter);
        uint8_t raw[kRawDataBytes];
        BuildRawData(raw, system.getTickCount64(), counter.QuadPart, mask, ::GetCurrentThreadId(),
                     ::GetCurrentProcessId());
        LPCWSTR strings[1] = {text.GetWide()};
        reported = system.reportEvent(m_eventSource, type, 0, EventId(type), nullptr, 1,
                                      kRawDataBytes, strings, raw);
    }
    if (IsEnabled(OEventLog::kFileLog)) {
        WriteToFile(message, mask);
    }
    return reported != FALSE;
}

void OEventLogBase::RegisterSource() {
    std::wstring path = std::wstring(kApplicationSources) + m_source.GetWide();
    ORegKey key;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE, nullptr, key.Put(),
                          &disposition) != ERROR_SUCCESS) {
        return;  // the event source is still requested
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        return;
    }
    wchar_t system[MAX_PATH + 1] = {};
    UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring file =
        (length > 0 && length < MAX_PATH ? std::wstring(system, length) : std::wstring()) +
        kMessageFile;
    DWORD bytes = static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t));
    auto* data = reinterpret_cast<const BYTE*>(file.c_str());
    ::RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_SZ, data, bytes);
    ::RegSetValueExW(key.Get(), L"CategoryMessageFile", 0, REG_SZ, data, bytes);
    ::RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof(DWORD));
    ::RegSetValueExW(key.Get(), L"CategoryCount", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&kCategoryCount), sizeof(DWORD));
    // A source registered under System once would shadow this registration.
    std::wstring stale = std::wstring(kSystemSources) + m_source.GetWide();
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, stale.c_str());
}

void OEventLogBase::WriteToFile(const OString& message, uint32_t mask) {
    const OEventLogSystem& system = OEventLogSystem::Current();
    if (!m_folderCreated) {
        ::CreateDirectoryW(kLogFolder, nullptr);  // usually exists already
        m_folderCreated = true;
    }
    if (m_filePath.IsEmpty()) {
        m_filePath = FileLogPath(m_source);
    }
    OString mutexName(kFileMutexPrefix);
    mutexName.Append(m_source);
    OMutex mutex(mutexName, kFileMutexWaitMs);
    OLock lock(mutex);
    SYSTEMTIME now{};
    system.getLocalTime(&now);
    OString line = FileLine(now, m_source, mask, ::GetCurrentThreadId(), message);
    if (!system.appendFileLine(m_filePath.GetWide(), line.GetNarrow())) {
        // Names the file actually tried, so the message leads somewhere.
        OString text("OEventLogBase::WriteEventToFile Unable to open ");
        text.Append(m_filePath);
        text.Append(L"\n");
        system.outputDebugString(text.GetWide());
    }
}

OString OEventLogBase::DebugPrefix(uint64_t tickCount) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%010llu", static_cast<unsigned long long>(tickCount));
    std::string text(digits);
    // Seconds, '.', milliseconds: the point goes before the last three digits,
    // which is after the seventh for every uptime below 115 days.
    text.insert(text.size() - 3, 1, '.');
    text += ": ";
    return OString(text.c_str());
}

WORD OEventLogBase::EventType(uint32_t mask) {
    if (mask & 0x80000000u) {
        return EVENTLOG_ERROR_TYPE;
    }
    if (mask & 0x40000000u) {
        return EVENTLOG_WARNING_TYPE;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

DWORD OEventLogBase::EventId(WORD eventType) {
    switch (eventType) {
        case EVENTLOG_ERROR_TYPE:
            return kEventIdError;
        case EVENTLOG_WARNING_TYPE:
            return kEventIdWarning;
        default:
            return kEventIdInformation;
    }
}

OString OEventLogBase::CutMessage(const OString& message) {
    if (WideLength(message) < static_cast<size_t>(kMaxMessageChars)) {
        return message;
    }
    int32_t keep = kMaxMessageChars - 1;
    // Never half a surrogate pair: the event would carry invalid UTF-16.
    wchar_t last = message.GetWide()[keep - 1];
    if (last >= 0xD800 && last <= 0xDBFF) {
        --keep;
    }
    OString cut(message.GetWide(), keep);
    cut.Append(kTruncationSuffix);
    return cut;
}

void OEventLogBase::BuildRawData(uint8_t (&raw)[kRawDataBytes], uint64_t tickCount,
                                 int64_t performanceCounter, uint32_t mask, uint32_t threadId,
                                 uint32_t processId) {
    std::memset(raw, 0, sizeof(raw));
    PutLe(raw + 0, 3, 8);
    PutLe(raw + 8, static_cast<uint32_t>(tickCount), 4);
    PutLe(raw + 16, static_cast<uint64_t>(performanceCounter), 8);
    PutLe(raw + 24, mask, 4);
    PutLe(raw + 32, threadId, 4);
    PutLe(raw + 40, processId, 4);
}

OString OEventLogBase::FileLogPath(const OString& source) {
    std::wstring name(source.GetWide());
    std::replace(name.begin(), name.end(), L' ', L'_');
    return OString((std::wstring(kLogFolder) + L"\\" + name + L".txt").c_str());
}

OString OEventLogBase::FileLine(const SYSTEMTIME& time, const OString& source, uint32_t mask,
                                uint32_t threadId, const OString& message) {
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

OString OEventLogBase::MaskPathFor(const OString& source) {
    OString path(OEventLogSystem::Current().maskRoot);
    path.Append(source);
    return path;
}
