#include "diagnostics/event_log_backend.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "core/clock.h"
#include "core/security.h"
#include "diagnostics/event_log_format.h"
#include "registry/oregistry.h"

namespace {

// The name the driver's other components take, in their own session. A name
// without "Global\\" lives in the writer's session, so the library's writers
// also take the global one: a host in a user session and the print service in
// the services' session write the same file, and roll it over.
constexpr const wchar_t* kFileMutexPrefix = L"Brantheon File Log Mutex for ";
constexpr const wchar_t* kGlobalPrefix = L"Global\\";
constexpr const wchar_t* kApplicationSources =
    L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";
constexpr const wchar_t* kSystemSources =
    L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\";
constexpr const wchar_t* kMessageFile = L"\\Quorvel_EventMessages.dll";
constexpr DWORD kTypesSupported = 7;  // error, warning, information
constexpr DWORD kCategoryCount = 2;

// Tick count of the last sweep of the table, low 32 bits.
std::atomic<uint32_t> g_lastSweep{0};

struct SourceTable {
    OCriticalSection lock;
    std::map<std::wstring, std::shared_ptr<OEventLogBase>> sources;
    // Sources whose file log failed once: told to the debugger once per
    // process, not at every line.
    std::set<std::wstring> fileFailures;
};

// An object of this file, made at load, so the lock exists before two threads'
// first loggers could race to create it. Not a function-local static: its
// guard goes through the static thread library, which takes a TLS slot and two
// handles at load and never gives them back, so a host loading and freeing the
// library ran out of TLS slots and died in the loader.
SourceTable g_table;

uint32_t Now32() {
    return static_cast<uint32_t>(OTickCount());
}

}  // namespace

bool OEventLogSystem::AppendFileLine(const wchar_t* path, const wchar_t* rolled, const char* line,
                                     uint32_t limitBytes) {
    // Appending only: every write lands at the end, whoever else appends.
    // Readers that keep the file open must share it for deletion, or the roll
    // fails.
    constexpr DWORD kAccess = FILE_APPEND_DATA | SYNCHRONIZE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    OString name(path);
    OFileHandle file = OpenUnlinkedFile(name, kAccess, kShare, OPEN_ALWAYS, nullptr);
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.Get(), &size)) {
        return false;
    }
    DWORD length = static_cast<DWORD>(std::strlen(line));
    if (size.QuadPart > 0 && static_cast<uint64_t>(size.QuadPart) + length > limitBytes) {
        file.Reset();
        // Renaming replaces a link at the rolled name, never its target.
        if (!::MoveFileExW(path, rolled, MOVEFILE_REPLACE_EXISTING)) {
            return false;
        }
        file = OpenUnlinkedFile(name, kAccess, kShare, OPEN_ALWAYS, nullptr);
        if (!file) {
            return false;
        }
    }
    DWORD written = 0;
    return ::WriteFile(file.Get(), line, length, &written, nullptr) && written == length;
}

namespace {

// The line as the file holds it: line feeds as CR LF, as text-mode files of
// the driver's other components write them, and no longer than a whole file.
std::string FileBytes(const OString& line, uint32_t limitBytes) {
    std::string bytes;
    for (const char* c = line.GetNarrow(); *c != '\0'; ++c) {
        if (*c == '\n') {
            bytes += '\r';
        }
        bytes += *c;
    }
    if (bytes.size() > limitBytes) {
        bytes.resize(limitBytes - 2);
        bytes += "\r\n";
    }
    return bytes;
}

}  // namespace

OEventLogBase::OEventLogBase(const OString& source)
    : m_source(source),
      m_maskPath(MaskPathFor(m_source)),
      m_fileMutex(OString(kFileMutexPrefix) + source, kFileMutexWaitMs),
      m_globalFileMutex(OString(kGlobalPrefix) + kFileMutexPrefix + source, kFileMutexWaitMs) {
    m_lastRefresh.store(Now32());
    m_fileLimit.store(ReadFileLimit());
    uint32_t mask = ReadMask();
    m_mask.store(mask);
    // Written back so that the value exists for editing afterwards.
    ORegistry().SetNumber(m_maskPath, mask);
}

std::shared_ptr<OEventLogBase> OEventLogBase::Acquire(const OString& source) {
    OLock lock(g_table.lock);
    std::wstring key(source.GetWide());
    auto found = g_table.sources.find(key);
    if (found != g_table.sources.end()) {
        return found->second;
    }
    auto base = std::make_shared<OEventLogBase>(source);
    g_table.sources.emplace(std::move(key), base);
    return base;
}

void OEventLogBase::Sweep() {
    uint32_t now = Now32();
    OLock lock(g_table.lock);
    for (auto it = g_table.sources.begin(); it != g_table.sources.end();) {
        // Under the table's lock no new reference can appear, so a count of
        // one (the table's own) means no front end is left.
        bool unused = it->second.use_count() == 1;
        bool idle = now - it->second->m_lastRefresh.load() > kIdleDropMs;
        it = unused && idle ? g_table.sources.erase(it) : std::next(it);
    }
}

int32_t OEventLogBase::TableSize() {
    OLock lock(g_table.lock);
    return static_cast<int32_t>(g_table.sources.size());
}

uint32_t OEventLogBase::ReadMask() const {
    return ORegistry().GetNumber(m_maskPath, OEventLog::kDefaultMask);
}

uint32_t OEventLogBase::ReadMaskOf(const OString& source) {
    return ORegistry().GetNumber(MaskPathFor(source), OEventLog::kDefaultMask);
}

uint32_t OEventLogBase::ReadFileLimit() {
    uint32_t limit = ORegistry().GetNumber(OEventLogSystem::Current().fileLimitPath, 0);
    if (limit == 0) {
        return kDefaultFileLimit;
    }
    return limit < kMinFileLimit ? kMinFileLimit : limit > kMaxFileLimit ? kMaxFileLimit : limit;
}

OString OEventLogBase::RolledFileLogPath(const OString& source) {
    OString path = OEventLogFormat::FileLogPath(source);
    // FileLogPath ends in ".txt".
    return path.Left(path.GetLength() - 4) + ".1.txt";
}

bool OEventLogBase::IsEnabled(uint32_t mask) {
    uint32_t now = Now32();
    // Unsigned 32-bit differences stay right across the wrap of the low word.
    if (now - m_lastRefresh.load(std::memory_order_relaxed) > kRefreshMs && !m_maskPath.IsEmpty()) {
        m_lastRefresh.store(now, std::memory_order_relaxed);
        m_mask.store(ReadMask(), std::memory_order_relaxed);
        m_fileLimit.store(ReadFileLimit(), std::memory_order_relaxed);
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
    using namespace OEventLogFormat;
    const OEventLogSystem& system = OEventLogSystem::Current();
    WORD type = EventType(mask);
    if (type != EVENTLOG_INFORMATION_TYPE || IsEnabled(OEventLog::kDebuggerOutput)) {
        OString text = DebugPrefix(OTickCount());
        text.Append(message);
        text.Append(L"\n");
        system.outputDebugString(text.GetWide());
    }

    OLock lock(m_lock);
    if (!m_eventSource) {
        RegisterSource();
        m_eventSource.Reset(system.registerEventSource(nullptr, m_source.GetWide()));
    }
    BOOL reported = FALSE;
    if (m_eventSource) {
        OString text = CutMessage(message);
        LARGE_INTEGER counter{};
        system.queryPerformanceCounter(&counter);
        uint8_t raw[kRawDataBytes];
        BuildRawData(raw, OTickCount(), counter.QuadPart, mask, ::GetCurrentThreadId(),
                     ::GetCurrentProcessId());
        LPCWSTR strings[1] = {text.GetWide()};
        reported = system.reportEvent(m_eventSource.Get(), type, 0, EventId(type), nullptr, 1,
                                      kRawDataBytes, strings, raw);
    }
    if (IsEnabled(OEventLog::kFileLog)) {
        WriteEventToFile(message, mask);
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

void OEventLogBase::WriteEventToFile(const OString& message, uint32_t mask) {
    const OEventLogSystem& system = OEventLogSystem::Current();
    if (!m_folderCreated) {
        ::CreateDirectoryW(OEventLogFormat::kLogFolder, nullptr);  // usually exists already
        m_folderCreated = true;
    }
    if (m_filePath.IsEmpty()) {
        m_filePath = OEventLogFormat::FileLogPath(m_source);
        m_rolledPath = RolledFileLogPath(m_source);
    }
    // Always in this order, so two writers never hold one each.
    OLock local(m_fileMutex);
    OLock global(m_globalFileMutex);
    SYSTEMTIME now{};
    system.getLocalTime(&now);
    uint32_t limit = GetFileLimit();
    std::string line = FileBytes(
        OEventLogFormat::FileLine(now, m_source, mask, ::GetCurrentThreadId(), message), limit);
    if (system.appendFileLine(m_filePath.GetWide(), m_rolledPath.GetWide(), line.c_str(), limit)) {
        return;
    }
    {
        OLock table(g_table.lock);
        if (!g_table.fileFailures.insert(m_source.GetWide()).second) {
            return;
        }
    }
    // Names the file actually tried, so the message leads somewhere.
    OString text("OEventLogBase::WriteEventToFile Unable to open ");
    text.Append(m_filePath);
    text.Append(L"\n");
    system.outputDebugString(text.GetWide());
}

OString OEventLogBase::MaskPathFor(const OString& source) {
    OString path(OEventLogSystem::Current().maskRoot);
    path.Append(source);
    return path;
}
