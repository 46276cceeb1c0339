#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/handles.h"
#include "core/intrusive_list.h"
#include "core/locks.h"
#include "core/ostring.h"
#include "net/sockets.h"

class OEventLog;
class TCPSocketManager;

// One pooled TCP connection to a host and port, made for the thread that asked
// for it. Held by its user while in use and by the pool (TCPSocketManager) in
// its idle list otherwise; each entry holds a pool reference.
class TCPSocketEntry : public ONode {
public:
    explicit TCPSocketEntry(const OSocketEndpoint& endpoint);
    // Closes the socket (never throws) and gives the pool reference back.
    ~TCPSocketEntry() override;

    // Creates the socket if there is none; throws SocketException.
    void EnsureSocket();
    // Closes and frees the socket; throws SocketException when Winsock's
    // cleanup fails (the socket is gone either way).
    void CloseSocket();
    // True when the idle deadline is reached.
    bool IsExpired() const;
    // "ID: 0x<identity>, Host:<host>, Port: <port>".
    OString Describe() const;

    const OString& GetHost() const noexcept { return m_endpoint.host; }
    int32_t GetPort() const noexcept { return m_endpoint.port; }
    DWORD GetOwnerThread() const noexcept { return m_ownerThread; }
    StreamSocket* GetSocket() const noexcept { return m_socket.get(); }
    uint64_t GetIdleDeadline() const noexcept { return m_idleDeadline; }
    int32_t GetReuseCount() const noexcept { return m_reuseCount; }
    bool IsFailed() const noexcept { return m_failed; }

private:
    friend class TCPSocketManager;
    friend class TCPSocketWithReUse;
    friend class TCPLazyCloseThread;

    OSocketEndpoint m_endpoint;
    DWORD m_ownerThread;
    std::unique_ptr<StreamSocket> m_socket;
    uint64_t m_idleDeadline = 0;
    int32_t m_reuseCount = 0;
    TCPSocketManager* m_manager;
    bool m_failed = false;
};

// The process's pool of TCP connections: a connection given back healthy stays
// open for kIdleMs and is handed again to the same thread asking for the same
// host (ignoring case) and port. A background thread (TCPLazyCloseThread)
// closes connections whose time is up and ends when the pool is empty.
//
// Idle connections are bounded, as a host that makes short-lived threads would
// otherwise pile up one per thread for kIdleMs: at most kMaxIdle are kept (the
// oldest is closed first), and a thread's idle connections are closed when
// the thread ends (no other thread could reuse them): the thread's end is
// only noted then, under the loader lock, and its connections are closed by
// the next use of the pool or the close thread's next round, at the latest
// when they would have timed out.
//
// A reference-counted singleton: every wrapper, entry and the close thread
// hold one reference; the Release that drops the last destroys the pool.
// Thread-safe.
class TCPSocketManager {
public:
    static constexpr uint64_t kIdleMs = 120000;
    static constexpr int32_t kMaxIdle = 32;

    // The pool, created when there is none, with one more reference.
    static TCPSocketManager* Obtain();
    // Gives one reference back; the last destroys the pool.
    static void Release();
    // References held on the pool, 0 when there is none (for tests).
    static int32_t ReferenceCount();

    // An idle entry of this thread for the endpoint (isNew false), else a new
    // entry with a socket not yet connected (isNew true); either is now in
    // use, held by the caller until MoveToIdle or DestroySocketEntry. Throws
    // SocketException when a socket cannot be made.
    TCPSocketEntry* GetSocketEntry(const OSocketEndpoint& endpoint, bool& isNew);
    // Keeps a healthy entry open for reuse until kIdleMs from now; starts the
    // close thread if none runs.
    void MoveToIdle(TCPSocketEntry* entry);
    // Closes and deletes an entry at once.
    void DestroySocketEntry(TCPSocketEntry* entry);
    // The first idle entry for host, port and thread, or null.
    TCPSocketEntry* FindEntry(const OString& host, int32_t port, DWORD threadId);
    std::shared_ptr<OEventLog> GetEventLog() const { return m_log; }
    // Entries idle and in use (for tests).
    int32_t IdleCount();
    int32_t ActiveCount();

private:
    friend class TCPLazyCloseThread;

    TCPSocketManager();
    ~TCPSocketManager();
    TCPSocketManager(const TCPSocketManager&) = delete;
    TCPSocketManager& operator=(const TCPSocketManager&) = delete;

    TCPSocketEntry* FindLocked(const OSocketEndpoint& endpoint, DWORD threadId);
    int32_t IdleCountLocked() const;
    bool StartCloseThread();
    // Closes the idle entries of the threads that ended since the last call.
    // Called under m_lock before the idle list is searched, counted or
    // swept: a new thread given an ended one's id then never finds its
    // connections.
    void CloseEndedThreadsLocked();

    OCriticalSection m_lock;
    int32_t m_references = 0;
    // Entries in use belong to their users; only their number is kept.
    int32_t m_active = 0;
    OList_T<TCPSocketEntry> m_idle;
    std::shared_ptr<OEventLog> m_log;
    bool m_closeThreadStarted = false;
    OKernelHandle m_terminate;
};

// The pool's background thread: closes idle entries whose deadline passed,
// sleeping between checks (at least kMinWaitMs, at most kMaxWaitMs), and ends
// when both lists are empty or the pool's terminate event is signalled. It
// holds a pool reference and a reference on the library's module, so a host
// that frees the library while connections are idle keeps it loaded until the
// thread is done; its body runs under an OExceptionHandler (options 9).
class TCPLazyCloseThread {
public:
    static constexpr uint64_t kMinWaitMs = 5000;
    static constexpr uint64_t kMaxWaitMs = 120000;

    // The wait before the next check when the idle head's deadline is
    // remaining ms away.
    static DWORD WaitFor(int64_t remaining);

private:
    friend class TCPSocketManager;

    TCPLazyCloseThread(TCPSocketManager* manager, std::shared_ptr<OEventLog> log, HMODULE module)
        : m_manager(manager), m_log(std::move(log)), m_module(module) {}
    static DWORD WINAPI ThreadProc(void* parameter);
    void Run();

    TCPSocketManager* m_manager;
    std::shared_ptr<OEventLog> m_log;
    HMODULE m_module;
    HANDLE m_handle = nullptr;
};
