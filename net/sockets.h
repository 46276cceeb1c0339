#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "core/ostring.h"
#include "core/seam.h"
#include "diagnostics/exceptions.h"

// An object's address as the socket layer's log lines print it ("0x%016llX").
inline unsigned long long LogIdentity(const void* object) {
    return reinterpret_cast<uintptr_t>(object);
}

// A Winsock failure: an OException whose code is the Winsock error (by default
// the thread's WSAGetLastError) and whose message is the system's text for it.
class SocketException : public OException {
public:
    SocketException();
    explicit SocketException(int32_t code);
    ~SocketException() override = default;
};

// The Winsock and wait calls of the socket layer, real by default. Tests
// count connects and option changes, stall the resolver, and move the pool's
// waits (its clock is the library's one, core/clock.h).
struct OSocketApi {
    decltype(&::connect) connect = ::connect;
    decltype(&::setsockopt) setSockOpt = ::setsockopt;
    decltype(&::GetAddrInfoW) getAddrInfoW = ::GetAddrInfoW;
    decltype(&::WaitForSingleObject) waitForSingleObject = ::WaitForSingleObject;
    decltype(&::CreateThread) createThread = ::CreateThread;  // the lazy-close thread

    static const OSocketApi& Current() { return ScopedApi<OSocketApi>::Current(); }
};

using OSocketApiOverride = ScopedApi<OSocketApi>;

// The moment by which a socket call must be done. Every wait of the socket
// layer is bounded by one: Winsock's own limits (a connect to a host that
// drops the attempt, a resolver that does not answer) run to minutes.
class OSocketDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // timeoutMs from now; a value below 1 is already due.
    explicit OSocketDeadline(int32_t timeoutMs)
        : m_at(Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0)) {}

    // Milliseconds left, 0 once due.
    int32_t RemainingMs() const;
    bool IsDue() const { return RemainingMs() == 0; }

private:
    Clock::time_point m_at;
};

// Where a connection goes, settled once per request: the host, the key the
// pool and the resolver know it by (its lower-case form: names ignore case)
// and the port.
struct OSocketEndpoint {
    OSocketEndpoint(const OString& name, int32_t number);

    OString host;
    std::wstring key;
    int32_t port;
};

// A lookup's host names may stall for the system resolver's own time-out
// (tens of seconds when a name server is down) on a thread the caller cannot
// stop: callers asking for one name while its lookup runs join that lookup
// instead of starting another, a name that failed is answered from memory
// for kResolverMemoryMs, and at most kMaxResolverThreads lookups run in the
// process at once.
constexpr int32_t kMaxResolverThreads = 8;
constexpr uint64_t kResolverMemoryMs = 5000;

// The IPv4 address of host and port. A dotted IPv4 address and "localhost"
// need no resolver; any other name is resolved on a thread of its own that
// the caller waits for until the deadline and then abandons (it ends on its
// own, holding the library loaded until then). Throws SocketException with
// the resolver's error (11001 for an unknown name, also when remembered),
// WSATRY_AGAIN (11002) at once when kMaxResolverThreads lookups of other
// names are running, or WSAETIMEDOUT (10060) when the deadline came first.
void ResolveAddress(const OString& host, int32_t port, sockaddr_in& address,
                    const OSocketDeadline& deadline);
// Resolver threads running now (for tests).
int32_t ResolverThreadCount();

// Connects socket to host and port, resolution included, by the deadline: the
// connect itself is non-blocking and waited for, so a host that drops the
// attempt without an answer costs the time left, not the system's own minutes
// of SYN retries. Retries at once up to retries more times after a transient
// error (interrupted, aborted, refused) while time is left; any other error,
// the last one, or the deadline (WSAETIMEDOUT) throws SocketException. The
// socket is blocking again afterwards.
void ConnectSocket(SOCKET socket, const OString& host, int32_t port, int32_t retries,
                   const OSocketDeadline& deadline);

// One Winsock TCP socket. Each object keeps Winsock initialised from its
// construction to its Close (or destruction). Used by one thread at a time.
class StreamSocket {
public:
    static constexpr int32_t kReceiveSize = 1024;
    // How far a send or receive may outlast its deadline.
    static constexpr int32_t kReceiveSlackMs = 20;

    // WSAStartup 2.2 and a new IPv4 TCP socket; throws SocketException.
    StreamSocket();
    // The same for a UDP socket (SOCK_DGRAM): a loopback datagram wakes a
    // thread that waits in select for sockets.
    explicit StreamSocket(int type);
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;
    // Closes without throwing.
    ~StreamSocket();

    // Closes the socket (once) and ends this object's Winsock use; a failing
    // WSACleanup throws.
    void Close();
    // WSACleanup; throws on failure.
    void Cleanup();
    // SO_SNDTIMEO / SO_RCVTIMEO, set only when they differ from what the
    // socket has (0: none).
    void SetSendTimeout(int32_t milliseconds);
    void SetReceiveTimeout(int32_t milliseconds);
    // See ConnectSocket; no retries.
    void Connect(const OString& host, int32_t port, const OSocketDeadline& deadline);
    // Sends every byte; 0 for a length below 1. Throws on a send error.
    int32_t Send(const void* bytes, int32_t length);
    // The same, a blocked send waiting at most the send time-out and at most
    // until the deadline (within kReceiveSlackMs), then throwing
    // SocketException WSAETIMEDOUT.
    int32_t Send(const void* bytes, int32_t length, const OSocketDeadline& deadline);
    // One recv of kReceiveSize bytes into buffer: the count, 0 when the peer
    // closed. Waits for bytes at most the receive time-out and at most until
    // the deadline (within kReceiveSlackMs), then throws SocketException
    // WSAETIMEDOUT. Throws on a receive error.
    int32_t Receive(char* buffer, const OSocketDeadline& deadline);

    // For a caller that waits for many sockets at once (select): the socket
    // is non-blocking from BeginConnect on. True when connected at once,
    // false while the connect is under way (the socket turns writable when
    // it is done, or shows in select's exception set when it failed: then
    // ConnectError says why); throws SocketException for any other error.
    bool BeginConnect(const sockaddr_in& address);
    // The error that ended a connect, WSAECONNREFUSED when Winsock gives none.
    int32_t ConnectError() const;
    // One send or recv that does not wait: the count, 0 from ReceiveSome when
    // the peer closed, -1 when the socket would have to wait. Throws
    // SocketException for an error.
    int32_t SendSome(const void* bytes, int32_t length);
    int32_t ReceiveSome(char* buffer, int32_t length);

    SOCKET GetHandle() const noexcept { return m_handle; }

private:
    void SetOption(int option, int32_t value);
    void BoundWait(int option, int32_t asked, int32_t& applied, const OSocketDeadline& deadline);

    SOCKET m_handle = INVALID_SOCKET;
    int32_t m_receiveTimeout = 0;  // as asked for
    int32_t m_sendTimeout = 0;
    int32_t m_appliedReceiveTimeout = 0;
    int32_t m_appliedSendTimeout = 0;
    int32_t m_family = AF_INET;
    int32_t m_type = SOCK_STREAM;
    int32_t m_protocol = IPPROTO_TCP;
    bool m_started = false;
};
