#include "net/sockets.h"

#include <ws2tcpip.h>

SocketException::SocketException() : SocketException(::WSAGetLastError()) {}

SocketException::SocketException(int32_t code) : OException(code) {}

void ResolveAddress(const OString& host, int32_t port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(port));
    ADDRINFOW hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* results = nullptr;
    if (::GetAddrInfoW(host.GetWide(), nullptr, &hints, &results) != 0) {
        throw SocketException();
    }
    for (const ADDRINFOW* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_family == AF_INET && result->ai_addr != nullptr) {
            address.sin_addr = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            ::FreeAddrInfoW(results);
            return;
        }
    }
    ::FreeAddrInfoW(results);
    throw SocketException(WSAHOST_NOT_FOUND);
}

namespace {

bool IsTransient(int error) {
    switch (error) {
        case WSAEINTR:
        case WSAEWOULDBLOCK:
        case WSAEINPROGRESS:
        case WSAECONNABORTED:
        case WSAECONNREFUSED:
            return true;
        default:
            return false;
    }
}

}  // namespace

void ConnectSocket(SOCKET socket, const OString& host, int32_t port, int32_t retries) {
    sockaddr_in address;
    ResolveAddress(host, port, address);
    const OSocketApi& api = OSocketApi::Current();
    while (api.connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           SOCKET_ERROR) {
        int error = ::WSAGetLastError();
        if (!IsTransient(error) || retries < 1) {
            throw SocketException(error);
        }
        --retries;
    }
}

StreamSocket::StreamSocket() {
    WSADATA data;
    int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        throw SocketException(error);
    }
    m_started = true;
    m_handle = ::socket(m_family, m_type, m_protocol);
    if (m_handle == INVALID_SOCKET) {
        SocketException e;
        ::WSACleanup();
        throw e;
    }
}

StreamSocket::~StreamSocket() {
    try {
        Close();
    } catch (const SocketException&) {
        // A destructor cannot report: the socket is closed either way.
    }
}

// Each object pairs its one WSAStartup with one WSACleanup: a second Close
// must not end Winsock for the process's other sockets.
void StreamSocket::Close() {
    if (m_handle != INVALID_SOCKET) {
        ::closesocket(m_handle);
        m_handle = INVALID_SOCKET;
    }
    if (m_started) {
        m_started = false;
        Cleanup();
    }
}

void StreamSocket::Cleanup() {
    if (::WSACleanup() == SOCKET_ERROR) {
        throw SocketException();
    }
}

void StreamSocket::SetOption(int option, int32_t value) {
    DWORD milliseconds = static_cast<DWORD>(value);
    if (OSocketApi::Current().setSockOpt(m_handle, SOL_SOCKET, option,
                                         reinterpret_cast<const char*>(&milliseconds),
                                         sizeof milliseconds) == SOCKET_ERROR) {
        throw SocketException();
    }
}

void StreamSocket::SetSendTimeout(int32_t milliseconds) {
    SetOption(SO_SNDTIMEO, milliseconds);
}

void StreamSocket::SetReceiveTimeout(int32_t milliseconds) {
    SetOption(SO_RCVTIMEO, milliseconds);
}

void StreamSocket::Connect(const OString& host, int32_t port) {
    ConnectSocket(m_handle, host, port, 0);
}

int32_t StreamSocket::Send(const void* bytes, int32_t length) {
    const char* next = static_cast<const char*>(bytes);
    int32_t sent = 0;
    while (sent < length) {
        int count = ::send(m_handle, next + sent, length - sent, 0);
        if (count == SOCKET_ERROR) {
            throw SocketException();
        }
        sent += count;
    }
    return sent;
}

int32_t StreamSocket::Receive(char* buffer) {
    int count = ::recv(m_handle, buffer, kReceiveSize, 0);
    if (count == SOCKET_ERROR) {
        throw SocketException();
    }
    return count;
}
