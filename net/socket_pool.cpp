#include "net/socket_pool.h"

#include <new>

#include "core/clock.h"
#include "core/thread_slot.h"
#include "diagnostics/event_log.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_throttle.h"

namespace {

// Guards the singleton and its count; never taken before the pool lock.
OCriticalSection g_singletonLock;
TCPSocketManager* g_pool = nullptr;

// A thread with idle connections carries a mark in a thread slot. When the
// thread ends, under the loader lock, the mark is only pushed onto a
// lock-free list; the pool closes the connections of the threads listed the
// next time it takes its lock (closing sockets, and waiting for the pool lock
// the close thread holds while it closes its own, must not happen under the
// loader lock).
struct alignas(MEMORY_ALLOCATION_ALIGNMENT) EndedThread {
    SLIST_ENTRY entry;
    DWORD threadId;
};

alignas(MEMORY_ALLOCATION_ALIGNMENT) SLIST_HEADER g_endedThreads;

void OnThreadEnd(void* mark) noexcept {
    ::InterlockedPushEntrySList(&g_endedThreads, &static_cast<EndedThread*>(mark)->entry);
}

// Takes the ended threads' marks, oldest last; the caller deletes them.
EndedThread* TakeEndedThreads() noexcept {
    // Read first: the flush is a locked exchange, and the list is almost
    // always empty.
    if (::QueryDepthSList(&g_endedThreads) == 0) {
        return nullptr;
    }
    return reinterpret_cast<EndedThread*>(::InterlockedFlushSList(&g_endedThreads));
}

void DeleteMarks(EndedThread* mark) noexcept {
    while (mark != nullptr) {
        auto* next = reinterpret_cast<EndedThread*>(mark->entry.Next);
        delete mark;
        mark = next;
    }
}

// On unload the slot hands every remaining mark to the list, which is then
// emptied: no pool is left to use them.
class ThreadEndMarks {
public:
    ThreadEndMarks() = default;
    ThreadEndMarks(const ThreadEndMarks&) = delete;
    ThreadEndMarks& operator=(const ThreadEndMarks&) = delete;
    ~ThreadEndMarks() {
        m_slot.Close();
        DeleteMarks(reinterpret_cast<EndedThread*>(::InterlockedFlushSList(&g_endedThreads)));
    }

    // Marks the calling thread once; a thread that cannot be marked keeps its
    // idle connections until they time out.
    void MarkThisThread() noexcept {
        if (m_slot.Get() != nullptr) {
            return;
        }
        auto* mark = new (std::nothrow) EndedThread{{}, ::GetCurrentThreadId()};
        if (mark != nullptr && !m_slot.Set(mark)) {
            delete mark;
        }
    }

private:
    OThreadSlot m_slot{&OnThreadEnd};
};

ThreadEndMarks g_threadEndMarks;

// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back.
OLogThrottle g_warnings;

// A warning of the pool, written at most once a minute per source, text and
// code, with a count of those held back.
void Warn(OEventLog& log, const char* source, const OString& text, int64_t code) {
    int64_t skipped = 0;
    if (log.IsEnabled(OEventLog::kWarnings) &&
        g_warnings.Due((OString(source) + "|" + text + "|" + OString(code)).GetWide(), skipped)) {
        log.Write(OLogLine(source, text + OLogThrottle::SkippedText(skipped)),
                  OEventLog::kWarnings);
    }
}

}  // namespace

TCPSocketEntry::TCPSocketEntry(const OSocketEndpoint& endpoint)
    : m_endpoint(endpoint),
      m_ownerThread(::GetCurrentThreadId()),
      m_manager(TCPSocketManager::Obtain()) {
    m_manager->GetEventLog()->Writef(OEventLog::kDetailInfoC, "TCPSocketEntry::TCPSocketEntry",
                                     "Constructor called Id: 0x%016llX", LogIdentity(this));
}

TCPSocketEntry::~TCPSocketEntry() {
    try {
        CloseSocket();
    } catch (const SocketException&) {
        // Closed either way; the close thread logs failures it can see.
    }
    m_manager->GetEventLog()->Writef(OEventLog::kDetailInfoC, "TCPSocketEntry::~TCPSocketEntry",
                                     "Destructor called Id: 0x%016llX, ReUse Count:%d",
                                     LogIdentity(this), m_reuseCount);
    TCPSocketManager::Release();
}

void TCPSocketEntry::EnsureSocket() {
    if (!m_socket) {
        m_socket = std::make_unique<StreamSocket>();
    }
}

void TCPSocketEntry::CloseSocket() {
    std::unique_ptr<StreamSocket> socket = std::move(m_socket);
    if (socket) {
        socket->Close();
    }
}

bool TCPSocketEntry::IsExpired() const {
    return static_cast<int64_t>(m_idleDeadline - OTickCount()) < 1;
}

OString TCPSocketEntry::Describe() const {
    return "ID: 0x" + OString::ToHex(static_cast<uint64_t>(LogIdentity(this))) +
           ", Host:" + m_endpoint.host + ", Port: " + OString(m_endpoint.port);
}

TCPSocketManager::TCPSocketManager()
    : m_log(std::make_shared<OEventLog>(OString(OEventLog::kSourceTcpLibrary))),
      m_terminate(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_log->Writef(OEventLog::kDetailInfoA, "TCPSocketManager::TCPSocketManager",
                  "Constructor called");
}

// Only the last Release gets here, so no entry and no close thread holds the
// pool: a close thread's last touch of the pool is its Release.
TCPSocketManager::~TCPSocketManager() {
    if (m_terminate) {
        ::SetEvent(m_terminate.Get());
    }
    m_terminate.Reset();
    m_log->Writef(OEventLog::kDetailInfoA, "TCPSocketManager::~TCPSocketManager",
                  "Destructor called");
    m_idle.RemoveAll();
}

TCPSocketManager* TCPSocketManager::Obtain() {
    OLock lock(g_singletonLock);
    if (g_pool == nullptr) {
        g_pool = new TCPSocketManager();
    }
    int32_t count = ++g_pool->m_references;
    g_pool->m_log->Writef(OEventLog::kDetailInfoB, "TCPSocketManager::Obtain", "Obtain Count:%d",
                          count);
    return g_pool;
}

void TCPSocketManager::Release() {
    OLock lock(g_singletonLock);
    if (g_pool == nullptr) {
        return;
    }
    int32_t count = --g_pool->m_references;
    g_pool->m_log->Writef(OEventLog::kDetailInfoB, "TCPSocketManager::Release", "Count:%d", count);
    if (count < 1) {
        delete std::exchange(g_pool, nullptr);
    }
}

int32_t TCPSocketManager::ReferenceCount() {
    OLock lock(g_singletonLock);
    return g_pool != nullptr ? g_pool->m_references : 0;
}

TCPSocketEntry* TCPSocketManager::FindLocked(const OSocketEndpoint& endpoint, DWORD threadId) {
    for (TCPSocketEntry* entry = m_idle.Head(); entry != nullptr; entry = m_idle.Next(entry)) {
        if (entry->m_ownerThread == threadId && entry->m_endpoint.port == endpoint.port &&
            entry->m_endpoint.key == endpoint.key) {
            return entry;
        }
    }
    return nullptr;
}

TCPSocketEntry* TCPSocketManager::FindEntry(const OString& host, int32_t port, DWORD threadId) {
    OLock lock(m_lock);
    CloseEndedThreadsLocked();
    return FindLocked(OSocketEndpoint(host, port), threadId);
}

TCPSocketEntry* TCPSocketManager::GetSocketEntry(const OSocketEndpoint& endpoint, bool& isNew) {
    constexpr const char* kSource = "TCPSocketManager::GetSocketEntry";
    OLock lock(m_lock);
    CloseEndedThreadsLocked();
    TCPSocketEntry* entry = FindLocked(endpoint, ::GetCurrentThreadId());
    isNew = entry == nullptr;
    if (entry != nullptr) {
        ++entry->m_reuseCount;
        m_log->Writef(OEventLog::kDetailInfoD, kSource,
                      "TCPSocketManager: Entry Re-Used. Id: 0x%016llX, Host:%s, Port: %d, "
                      "Retries: 0, ReUse Count:%d",
                      LogIdentity(entry), endpoint.host.GetNarrow(), endpoint.port,
                      entry->m_reuseCount);
        entry->Unlink();
    } else {
        auto made = std::make_unique<TCPSocketEntry>(endpoint);
        m_log->Writef(OEventLog::kDetailInfoC, kSource,
                      "Created new Entry. Id: 0x%016llX, Host:%s, Port: %d, Retries: 0",
                      LogIdentity(made.get()), endpoint.host.GetNarrow(), endpoint.port);
        try {
            made->EnsureSocket();
        } catch (const SocketException& e) {
            Warn(*m_log, kSource, "SocketException occurred. ", e.GetErrorCode());
            throw;
        } catch (...) {
            Warn(*m_log, kSource, "General Exception occurred. ", 0);
            throw;
        }
        entry = made.release();
    }
    ++m_active;
    return entry;
}

void TCPSocketManager::MoveToIdle(TCPSocketEntry* entry) {
    entry->m_idleDeadline = OTickCount() + kIdleMs;
    g_threadEndMarks.MarkThisThread();
    bool start = false;
    {
        OLock lock(m_lock);
        CloseEndedThreadsLocked();
        --m_active;
        m_idle.AddTail(entry);
        m_log->Writef(OEventLog::kDetailInfoD, "TCPSocketManager::MoveToIdle",
                      "TCPSocketManager: Entry made idle. Id: 0x%016llX", LogIdentity(entry));
        // The idle list is in deadline order, so its head is the oldest. The
        // entry's pool reference keeps the pool alive through the delete.
        for (int32_t idle = IdleCountLocked(); idle > kMaxIdle; --idle) {
            TCPSocketEntry* oldest = m_idle.Head();
            m_log->Writef(OEventLog::kDetailInfoC, "TCPSocketManager::MoveToIdle",
                          "Idle limit reached, closing Id: 0x%016llX", LogIdentity(oldest));
            delete oldest;
        }
        if (!m_closeThreadStarted) {
            m_closeThreadStarted = true;
            Obtain();
            start = true;
        }
    }
    // A thread that could not start leaves the pool as if none had been
    // asked for: the next idle connection tries again, and the reference it
    // would have held goes (kept, it would hold the pool and its sockets, and
    // at unload the thread-exit path would be left to tear them down).
    if (start && !StartCloseThread()) {
        {
            OLock lock(m_lock);
            m_closeThreadStarted = false;
        }
        const DWORD error = ::GetLastError();
        Warn(*m_log, "TCPSocketManager::MoveToIdle",
             "the close thread did not start, error " + OString(static_cast<int64_t>(error)),
             error);
        Release();
    }
}

void TCPSocketManager::DestroySocketEntry(TCPSocketEntry* entry) {
    {
        OLock lock(m_lock);
        --m_active;
    }
    try {
        entry->CloseSocket();
    } catch (const SocketException&) {
        // The socket is closed; only Winsock's cleanup complained.
    }
    m_log->Writef(OEventLog::kDetailInfoC, "TCPSocketManager::DestroySocketEntry",
                  "Entry being deleted due to DestroySocketEntry call. Id: 0x%016llX",
                  LogIdentity(entry));
    delete entry;
}

void TCPSocketManager::CloseEndedThreadsLocked() {
    EndedThread* ended = TakeEndedThreads();
    for (EndedThread* mark = ended; mark != nullptr;
         mark = reinterpret_cast<EndedThread*>(mark->entry.Next)) {
        TCPSocketEntry* entry = m_idle.Head();
        while (entry != nullptr) {
            TCPSocketEntry* next = m_idle.Next(entry);
            if (entry->m_ownerThread == mark->threadId) {
                m_log->Writef(OEventLog::kDetailInfoC, "TCPSocketManager::OnThreadEnd",
                              "Owner thread ended, closing Id: 0x%016llX", LogIdentity(entry));
                delete entry;
            }
            entry = next;
        }
    }
    DeleteMarks(ended);
}

int32_t TCPSocketManager::IdleCount() {
    OLock lock(m_lock);
    CloseEndedThreadsLocked();
    return IdleCountLocked();
}

int32_t TCPSocketManager::IdleCountLocked() const {
    int32_t count = 0;
    for (TCPSocketEntry* entry = m_idle.Head(); entry != nullptr; entry = m_idle.Next(entry)) {
        ++count;
    }
    return count;
}

int32_t TCPSocketManager::ActiveCount() {
    OLock lock(m_lock);
    return m_active;
}

// The thread takes a reference on the module its code lives in and leaves
// through FreeLibraryAndExitThread: a host that frees the library while
// connections are idle would otherwise unmap the code this thread runs.
// A plain system thread: the runtime's thread start would return into the
// runtime after the module reference is gone.
bool TCPSocketManager::StartCloseThread() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&TCPLazyCloseThread::ThreadProc), &module);
    auto* thread = new (std::nothrow) TCPLazyCloseThread(this, m_log, module);
    HANDLE handle = thread != nullptr ? OSocketApi::Current().createThread(
                                            nullptr, 0, &TCPLazyCloseThread::ThreadProc, thread,
                                            CREATE_SUSPENDED, nullptr)
                                      : nullptr;
    if (handle == nullptr) {
        delete thread;
        if (module != nullptr) {
            ::FreeLibrary(module);
        }
        return false;
    }
    thread->m_handle = handle;
    ::ResumeThread(handle);
    return true;
}

DWORD TCPLazyCloseThread::WaitFor(int64_t remaining) {
    if (remaining < static_cast<int64_t>(kMinWaitMs)) {
        return kMinWaitMs;
    }
    return static_cast<DWORD>(remaining > static_cast<int64_t>(kMaxWaitMs) ? kMaxWaitMs
                                                                           : remaining);
}

DWORD WINAPI TCPLazyCloseThread::ThreadProc(void* parameter) {
    auto* self = static_cast<TCPLazyCloseThread*>(parameter);
    HMODULE module = self->m_module;
    // Never joined: the thread closes its own handle.
    ::CloseHandle(self->m_handle);
    {
        OExceptionHandler handler("TCPLazyCloseThread::ThreadProc",
                                  OExceptionHandler::kToEventLog | OExceptionHandler::kToLastError,
                                  self->m_log);
        bool ended = handler.Run([self] {
            self->m_log->Writef(OEventLog::kDetailInfoF, "TCPLazyCloseThread::Initialize",
                                "Initialized");
            self->Run();
        });
        if (!ended) {
            // A thread that broke lets the next MoveToIdle start another.
            OLock lock(self->m_manager->m_lock);
            self->m_manager->m_closeThreadStarted = false;
        }
        TCPSocketManager::Release();
        delete self;
    }
    if (module != nullptr) {
        ::FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

void TCPLazyCloseThread::Run() {
    constexpr const char* kSource = "TCPLazyCloseThread::Run";
    TCPSocketManager& pool = *m_manager;
    for (;;) {
        DWORD wait = kMaxWaitMs;
        {
            OLock lock(pool.m_lock);
            pool.CloseEndedThreadsLocked();
            while (TCPSocketEntry* head = pool.m_idle.Head()) {
                int64_t remaining = static_cast<int64_t>(head->m_idleDeadline - OTickCount());
                if (remaining > 0) {
                    wait = WaitFor(remaining);
                    break;
                }
                head->Unlink();
                m_log->Writef(OEventLog::kDetailInfoC, kSource, "Entry timed out Id: 0x%016llX",
                              LogIdentity(head));
                try {
                    head->CloseSocket();
                } catch (const SocketException&) {
                    Warn(*m_log, kSource,
                         "SocketException occurred during delete pSocketEntry "
                         "occurred, and was ignored.",
                         0);
                }
                delete head;
            }
            if (pool.m_idle.IsEmpty() && pool.m_active == 0) {
                m_log->Writef(OEventLog::kDetailInfoF, kSource, "terminating due to empty queues");
                pool.m_closeThreadStarted = false;
                return;
            }
        }
        m_log->Writef(OEventLog::kDetailInfoE, kSource, "Blocking for: %lu milliseconds", wait);
        DWORD result = OSocketApi::Current().waitForSingleObject(pool.m_terminate.Get(), wait);
        if (result == WAIT_OBJECT_0) {
            m_log->Writef(OEventLog::kDetailInfoE, kSource, "Unblocked due to _hTerminateEvent");
            return;
        }
        if (result == WAIT_TIMEOUT) {
            m_log->Writef(OEventLog::kDetailInfoE, kSource, "Unblocked due to timeout");
        } else {
            Warn(*m_log, kSource, "Unblocked for unexpected reason! waitResult: " + OLogHex(result),
                 result);
        }
    }
}
