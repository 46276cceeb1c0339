#pragma once

#include <cstdint>
#include <memory>

#include "core/ostring.h"
#include "net/socket_pool.h"

class OEventLog;

// The connection object of one exchange: Connect, Write, Read, destroy. The
// TCP connection itself is a pooled TCPSocketEntry: after a clean exchange it
// goes back to the pool and the next Connect of the same thread to the same
// host and port finds it still connected; after any socket error it is closed.
// Failures are logged and thrown as SocketException. Used by one thread.
class TCPSocketWithReUse {
public:
    static constexpr int32_t kReadSize = StreamSocket::kReceiveSize;

    TCPSocketWithReUse();
    // Bound to host and port, which Connect(deadline) connects to.
    TCPSocketWithReUse(const OString& host, int32_t port);
    TCPSocketWithReUse(const TCPSocketWithReUse&) = delete;
    TCPSocketWithReUse& operator=(const TCPSocketWithReUse&) = delete;
    // Gives the entry back: idle when healthy, destroyed when it failed.
    ~TCPSocketWithReUse();

    // Applied to the socket in Connect, and only when they differ from what
    // the socket has.
    void SetSendTimeout(int32_t milliseconds);
    void SetReceiveTimeout(int32_t milliseconds);
    // Takes a pooled connection to the bound endpoint, connecting a new one
    // by the deadline (resolution included): true when the connection was
    // taken from the pool, still connected from an earlier exchange.
    bool Connect(const OSocketDeadline& deadline);
    // Binds host and port, then connects.
    bool Connect(const OString& host, int32_t port, const OSocketDeadline& deadline);
    // Sends all length bytes; the count sent. 0 without a connection. With a
    // deadline, a send the peer does not take ends by it (SocketException
    // WSAETIMEDOUT, and the entry is not reused).
    int32_t Write(const void* bytes, int32_t length);
    int32_t Write(const void* bytes, int32_t length, const OSocketDeadline& deadline);
    // One receive of up to kReadSize bytes, waiting for them at most until the
    // deadline (then SocketException WSAETIMEDOUT, and the entry is not
    // reused); 0 when the peer closed (the entry is then not reused) or
    // without a connection.
    int32_t Read(char* buffer, const OSocketDeadline& deadline);

    TCPSocketEntry* GetEntry() const noexcept { return m_entry; }
    // Closes the connection instead of pooling it when this object ends: a
    // caller that stops reading mid-answer leaves bytes the next user of the
    // connection would take for its own answer.
    void Discard() noexcept;

private:
    int32_t Write(const void* bytes, int32_t length, const OSocketDeadline* deadline);
    // Logs e, marks the entry failed; the caller rethrows.
    void Fail(const char* source, const SocketException& e, const OString& extra);

    OString m_host;
    int32_t m_port = 0;
    TCPSocketEntry* m_entry = nullptr;
    TCPSocketManager* m_manager;
    std::shared_ptr<OEventLog> m_log;
    int32_t m_sendTimeout = -1;
    int32_t m_receiveTimeout = -1;
};

// Writes, when warnings are enabled and this prefix, endpoint and code are due
// (diagnostics/log_throttle.h: once a minute): prefix + "SocketException
// occurred. " + the entry's description + " Error: 0x" + 8 hex digits of the
// code (1359 for a code below 1) + " " + the message + " " + extra, and the
// count of those held back since the last.
void LogSocketException(const TCPSocketEntry* entry, OEventLog& log, const OString& prefix,
                        const OException& e, const OString& extra);
