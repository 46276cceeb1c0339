#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

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

// The Winsock and clock calls of the socket layer, real by default. Tests
// count connects and option changes, and move the pool's clock and waits.
struct OSocketApi {
    decltype(&::connect) connect = ::connect;
    decltype(&::setsockopt) setSockOpt = ::setsockopt;
    decltype(&::GetTickCount64) getTickCount64 = ::GetTickCount64;
    decltype(&::WaitForSingleObject) waitForSingleObject = ::WaitForSingleObject;

    static const OSocketApi& Current() { return ScopedApi<OSocketApi>::Current(); }
};

using OSocketApiOverride = ScopedApi<OSocketApi>;

// The IPv4 address of host (a name or dotted address) and port: the first
// IPv4 result of the resolver. Throws SocketException with the resolver's
// error (11001 for an unknown name).
void ResolveAddress(const OString& host, int32_t port, sockaddr_in& address);

// Connects socket to host and port, retrying at once up to retries more times
// after a transient error (interrupted, would block, in progress, aborted,
// refused); any other error, or the last one, throws SocketException.
void ConnectSocket(SOCKET socket, const OString& host, int32_t port, int32_t retries);

// One Winsock TCP socket. Each object keeps Winsock initialised from its
// construction to its Close (or destruction). Used by one thread at a time.
class StreamSocket {
public:
    static constexpr int32_t kReceiveSize = 1024;

    // WSAStartup 2.2 and a new IPv4 TCP socket; throws SocketException.
    StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;
    // Closes without throwing.
    ~StreamSocket();

    // Closes the socket (once) and ends this object's Winsock use; a failing
    // WSACleanup throws.
    void Close();
    // WSACleanup; throws on failure.
    void Cleanup();
    void SetSendTimeout(int32_t milliseconds);
    void SetReceiveTimeout(int32_t milliseconds);
    // See ConnectSocket; no retries.
    void Connect(const OString& host, int32_t port);
    // Sends every byte; 0 for a length below 1. Throws on a send error.
    int32_t Send(const void* bytes, int32_t length);
    // One recv of kReceiveSize bytes into buffer: the count, 0 when the peer
    // closed. Throws on a receive error.
    int32_t Receive(char* buffer);

    SOCKET GetHandle() const noexcept { return m_handle; }

private:
    void SetOption(int option, int32_t value);

    SOCKET m_handle = INVALID_SOCKET;
    int32_t m_family = AF_INET;
    int32_t m_type = SOCK_STREAM;
    int32_t m_protocol = IPPROTO_TCP;
    bool m_started = false;
};
