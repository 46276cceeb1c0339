#include "sim/unreachable_port.h"

#include <windows.h>

namespace QvSim {

namespace {

// A socket connecting to address without waiting for the answer.
SOCKET StartConnect(const sockaddr_in& address) {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return socket;
    }
    u_long on = 1;
    ::ioctlsocket(socket, FIONBIO, &on);
    ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return socket;
}

// True when the connect is still pending after waitMs: its SYN was dropped.
bool StillPending(SOCKET socket, int32_t waitMs) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    return ::select(0, nullptr, &writable, &failed, &wait) == 0;
}

}  // namespace

UnreachablePort::UnreachablePort() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return;
    }
    m_started = true;
    m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (m_listener == INVALID_SOCKET ||
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 0) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    // Linux queues backlog + 1 connections; a few more than that, and the
    // last one must be left hanging.
    for (int i = 0; i < 16; ++i) {
        const SOCKET filler = StartConnect(address);
        if (filler == INVALID_SOCKET) {
            return;
        }
        m_fillers.push_back(filler);
        if (StillPending(filler, 200)) {
            m_port = ::ntohs(address.sin_port);
            return;
        }
    }
}

UnreachablePort::~UnreachablePort() {
    for (SOCKET filler : m_fillers) {
        ::closesocket(filler);
    }
    if (m_listener != INVALID_SOCKET) {
        ::closesocket(m_listener);
    }
    if (m_started) {
        ::WSACleanup();
    }
}

}  // namespace QvSim
