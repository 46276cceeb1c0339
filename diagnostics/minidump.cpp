#include "diagnostics/minidump.h"

#include <dbghelp.h>

#include <atomic>
#include <cstdio>

#include "core/clock.h"
#include "core/security.h"
#include "diagnostics/event_log.h"

namespace {

constexpr const char* kSource = "OMiniDump::MiniDumpGenerate";
constexpr int kCommonAppDataCreate = 0x8023;  // CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE
constexpr int32_t kMaxNumber = 99999;

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
    if (CreateDirectoryRecursive(withoutSlash,
                                 static_cast<int32_t>(ODirectoryAccess::EveryoneFull))) {
        m_folder = target;
        m_prefix = target + "qvcrash_";
    }
}

OString OMiniDump::FileName(const OString& prefix, int32_t n) {
    char number[16];
    std::snprintf(number, sizeof number, "%4.4d", static_cast<int>(n));
    return prefix + number + ".dmp";
}

OString OMiniDump::MiniDumpGenerate(OEventLog* log, const EXCEPTION_POINTERS* pointers) {
    try {
        if (m_prefix.IsEmpty() || !FolderExists(m_folder)) {
            Log(log, "\n     Path [" + m_folder +
                         "] is invalid or does not exist, unable to create a dump file.\n");
            return OString();
        }
        OString file;
        for (int32_t n = 0; n <= kMaxNumber; ++n) {
            file = FileName(m_prefix, n);
            if (::GetFileAttributesW(file.GetWide()) == INVALID_FILE_ATTRIBUTES) {
                break;
            }
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
        if (now - m_lastAttempt <= kProximityMs) {
            Log(log, report + "\n    Not creating dump file due to time proximity to prior dump.");
            return OString();
        }
        m_lastAttempt = now;
        Log(log, report + "\n    Attempting to create dump file:\n    " + file);
        OFileHandle handle(::CreateFileW(file.GetWide(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) {
            Log(log, report + "\n    Dump file creation failed with error " +
                         OString(static_cast<uint32_t>(::GetLastError())) +
                         ".  No dump file created.");
            return OString();
        }
        MINIDUMP_EXCEPTION_INFORMATION exception = {};
        exception.ThreadId = ::GetCurrentThreadId();
        exception.ExceptionPointers = const_cast<EXCEPTION_POINTERS*>(pointers);
        exception.ClientPointers = FALSE;
        if (!::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), handle.Get(),
                                 static_cast<MINIDUMP_TYPE>(kDumpType),
                                 pointers != nullptr ? &exception : nullptr, nullptr, nullptr)) {
            Log(log, report + "\n    Dump file write failed with error " +
                         OString(static_cast<uint32_t>(::GetLastError())) + ":\n    " + file);
            return OString();
        }
        Log(log, report + "\n    Successfully created dump file:\n    " + file);
        return file;
    } catch (...) {
        // Out of memory while reporting a crash: there is nothing left to do.
        return OString();
    }
}
