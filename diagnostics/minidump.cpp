#include "diagnostics/minidump.h"

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/clock.h"
#include "core/security.h"
#include "diagnostics/event_log.h"

namespace {

constexpr const char* kSource = "OMiniDump::MiniDumpGenerate";
constexpr int kCommonAppDataCreate = 0x8023;  // CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE

// The process's writer lives until the library is unloaded: a writer kept past
// unload would take a handle from the host at every load.
std::atomic<OMiniDump*> g_instance{nullptr};

struct InstanceRelease {
    InstanceRelease() = default;
    InstanceRelease(const InstanceRelease&) = delete;
    InstanceRelease& operator=(const InstanceRelease&) = delete;
    ~InstanceRelease() { delete g_instance.exchange(nullptr); }
};
InstanceRelease g_instanceRelease;

// Shell32 is asked at run time, as a host may run the library where the shell
// is not usable.
OString CommonAppDataFolder() {
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    OModule shell(::LoadLibraryW(L"Shell32.dll"));
    if (!shell) {
        return OString();
    }
    auto getFolderPath =
        reinterpret_cast<GetFolderPath>(::GetProcAddress(shell.Get(), "SHGetFolderPathW"));
    wchar_t path[MAX_PATH] = {};
    if (getFolderPath == nullptr ||
        FAILED(getFolderPath(nullptr, kCommonAppDataCreate, nullptr, 0, path))) {
        return OString();
    }
    return OString(path) + "\\Quorvel\\Drivers\\Dump\\";
}

bool FolderExists(const OString& folder) {
    DWORD attributes = ::GetFileAttributesW(folder.GetWide());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void Log(OEventLog* log, const OString& text) {
    if (log != nullptr && log->IsEnabled(OEventLog::kErrors)) {
        log->Write(OLogLine(kSource, text), OEventLog::kErrors);
    }
}

OString Report(const EXCEPTION_POINTERS* pointers) {
    OString report("Unrecoverable Error:");
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
        const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
        char text[160];
        std::snprintf(text, sizeof text, "\n    At Address: %llX \n    Error: %lX\n    Flags: %lX",
                      reinterpret_cast<unsigned long long>(record.ExceptionAddress),
                      record.ExceptionCode, record.ExceptionFlags);
        report += text;
    }
    return report;
}

}  // namespace

OMiniDump& OMiniDump::Instance() {
    OMiniDump* instance = g_instance.load(std::memory_order_acquire);
    if (instance != nullptr) {
        return *instance;
    }
    auto* made = new OMiniDump(OString());
    if (!g_instance.compare_exchange_strong(instance, made)) {
        delete made;
        return *instance;
    }
    return *made;
}

OMiniDump::OMiniDump(const OString& folder) {
    OString name = OString("Quorvel_MiniDump_Mutex_") + OString(::GetCurrentProcessId());
    m_mutex.Reset(::CreateMutexW(nullptr, FALSE, name.GetWide()));
    OString target = folder.IsEmpty() ? CommonAppDataFolder() : folder;
    if (target.IsEmpty()) {
        return;
    }
    OString withoutSlash = target.Left(OString::StrLen(target.GetWide()) - 1);
    if (!CreateDirectoryRecursive(withoutSlash,
                                  static_cast<int32_t>(ODirectoryAccess::EveryoneRead))) {
        return;
    }
    // A folder that existed before may have been made by anyone, with links
    // named like the next dump inside.
    OString owner;
    if (!IsOwnedByTrustedUser(withoutSlash, &owner)) {
        m_refusal = "\n     Path [" + target + "] is owned by " +
                    (owner.IsEmpty() ? OString("an unknown user") : owner) +
                    ", not an administrator, the system or this user: no dump files are written.\n";
        return;
    }
    m_folder = target;
    m_prefix = target + "qvcrash_";
}

OString OMiniDump::FileName(const OString& prefix, int32_t n) {
    char number[16];
    std::snprintf(number, sizeof number, "%4.4d", static_cast<int>(n));
    return prefix + number + ".dmp";
}

int32_t OMiniDump::NumberOf(const wchar_t* name) {
    static constexpr wchar_t kStart[] = L"qvcrash_";
    static constexpr size_t kStartChars = 8;
    if (name == nullptr || ::_wcsnicmp(name, kStart, kStartChars) != 0) {
        return -1;
    }
    int32_t number = 0;
    for (size_t i = kStartChars; i < kStartChars + 4; ++i) {
        if (name[i] < L'0' || name[i] > L'9') {
            return -1;
        }
        number = number * 10 + (name[i] - L'0');
    }
    return ::_wcsicmp(name + kStartChars + 4, L".dmp") == 0 ? number : -1;
}

std::vector<OMiniDump::DumpFile> OMiniDump::ListDumps() const {
    std::vector<DumpFile> dumps;
    WIN32_FIND_DATAW data;
    OString pattern = m_prefix + "*.dmp";
    HANDLE find = ::FindFirstFileW(pattern.GetWide(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return dumps;
    }
    do {
        // The pattern also matches short names and longer numbers: only the
        // long name decides.
        int32_t number = NumberOf(data.cFileName);
        if (number >= 0 && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            dumps.push_back({number,
                             (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                 data.ftLastWriteTime.dwLowDateTime,
                             (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(dumps.begin(), dumps.end(), [](const DumpFile& a, const DumpFile& b) {
        return a.time != b.time ? a.time < b.time : a.number < b.number;
    });
    return dumps;
}

std::vector<OMiniDump::DumpFile> OMiniDump::Prune(size_t files, int32_t keep) const {
    std::vector<DumpFile> dumps = ListDumps();
    uint64_t bytes = 0;
    for (const DumpFile& dump : dumps) {
        bytes += dump.bytes;
    }
    for (auto it = dumps.begin();
         it != dumps.end() && (dumps.size() > files || bytes > kMaxBytes);) {
        if (it->number == keep) {
            ++it;
            continue;
        }
        // Deleting a link removes the name only, never its target.
        ::DeleteFileW(FileName(m_prefix, it->number).GetWide());
        bytes -= it->bytes;
        it = dumps.erase(it);
    }
    return dumps;
}

OFileHandle OMiniDump::CreateDumpFile(int32_t& number, const std::vector<DumpFile>& listed,
                                      OString& file, OString& why) const {
    // Another process of the library may take a name between the listing and
    // the creation: the next number is tried, a few times.
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts; ++attempt, number = (number + 1) % kNumbers) {
        file = FileName(m_prefix, number);
        OFileIdentity identity = OFileIdentity::Unknown;
        OFileHandle stale =
            OpenUnlinkedFile(file, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, &identity);
        if (identity != OFileIdentity::Unknown && identity != OFileIdentity::Plain) {
            why = OString("\n    ") + file + " is " + OFileIdentityText(identity) +
                  ".  No dump file created.";
            return OFileHandle();
        }
        stale.Reset();
        if (identity == OFileIdentity::Plain) {
            // An old dump of a number come round again goes; one that was not
            // there at the listing is another process's new dump.
            bool old = std::any_of(listed.begin(), listed.end(), [number](const DumpFile& dump) {
                return dump.number == number;
            });
            if (!old) {
                continue;
            }
            ::DeleteFileW(file.GetWide());
        }
        OFileHandle handle =
            OpenUnlinkedFile(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             CREATE_NEW, &identity);
        DWORD error = ::GetLastError();
        if (handle) {
            return handle;
        }
        if (error == ERROR_CANT_ACCESS_FILE) {
            why = OString("\n    ") + file + " is " + OFileIdentityText(identity) +
                  ".  No dump file created.";
            return OFileHandle();
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            why = OString("\n    Dump file creation failed with error ") +
                  OString(static_cast<uint32_t>(error)) + ".  No dump file created.";
            return OFileHandle();
        }
    }
    why = "\n    Dump file creation failed: every name tried exists.  No dump file created.";
    return OFileHandle();
}

OString OMiniDump::MiniDumpGenerate(OEventLog* log, const EXCEPTION_POINTERS* pointers) {
    try {
        if (!m_refusal.IsEmpty()) {
            if (!m_refusalLogged.exchange(true)) {
                Log(log, m_refusal);
            }
            return OString();
        }
        if (m_prefix.IsEmpty() || !FolderExists(m_folder)) {
            Log(log, "\n     Path [" + m_folder +
                         "] is invalid or does not exist, unable to create a dump file.\n");
            return OString();
        }
        OString report = Report(pointers);
        DWORD wait = ::WaitForSingleObject(m_mutex.Get(), 0);
        if (wait == WAIT_TIMEOUT) {
            Log(log, report +
                         "\n    Not creating dump file on this thread.  Another thread is already "
                         "creating it.");
            return OString();
        }
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
            Log(log, report + "\n     WaitForSingleObject Encountered error " +
                         OString(static_cast<uint32_t>(::GetLastError())) +
                         ", Not creating dump file.");
            return OString();
        }
        OScopeGuard release([this] { ::ReleaseMutex(m_mutex.Get()); });
        uint64_t now = OTickCount();
        if (m_lastAttempt && now - *m_lastAttempt <= kProximityMs) {
            Log(log, report + "\n    Not creating dump file due to time proximity to prior dump.");
            return OString();
        }
        m_lastAttempt = now;
        // Room for the new dump first; the number follows the newest kept.
        std::vector<DumpFile> kept = Prune(kMaxFiles - 1, -1);
        int32_t number = kept.empty() ? 0 : (kept.back().number + 1) % kNumbers;
        OString file;
        OString why;
        OFileHandle handle = CreateDumpFile(number, kept, file, why);
        if (!handle) {
            Log(log, report + why);
            return OString();
        }
        Log(log, report + "\n    Attempting to create dump file:\n    " + file);
        MINIDUMP_EXCEPTION_INFORMATION exception = {};
        exception.ThreadId = ::GetCurrentThreadId();
        exception.ExceptionPointers = const_cast<EXCEPTION_POINTERS*>(pointers);
        exception.ClientPointers = FALSE;
        if (!ScopedApi<OMiniDumpApi>::Current().writeDump(
                ::GetCurrentProcess(), ::GetCurrentProcessId(), handle.Get(),
                static_cast<MINIDUMP_TYPE>(kDumpType), pointers != nullptr ? &exception : nullptr,
                nullptr, nullptr)) {
            Log(log, report + "\n    Dump file write failed with error " +
                         OString(static_cast<uint32_t>(::GetLastError())) + ":\n    " + file);
            return OString();
        }
        handle.Reset();
        // The new dump's size is known only now: older ones make way for it.
        Prune(kMaxFiles, number);
        Log(log, report + "\n    Successfully created dump file:\n    " + file);
        return file;
    } catch (...) {
        // Out of memory while reporting a crash: there is nothing left to do.
        return OString();
    }
}
