#pragma once

// A loopback port that behaves like a printer that is switched off, unplugged
// or behind a firewall: connection attempts get no answer at all, not even a
// reset. It is a listening socket whose accept queue (backlog 0) is kept full
// by connections nobody accepts, so the kernel drops every further SYN; a
// blocking connect would wait out the system's own SYN retries (minutes). For
// tests and the soak.
//
//   QvSim::UnreachablePort port;
//   if (!port.Ok()) { ... }
//   ... "TCP Port" = port.Port() ...

#include <winsock2.h>

#include <cstdint>
#include <vector>

namespace QvSim {

class UnreachablePort {
public:
    UnreachablePort();
    ~UnreachablePort();
    UnreachablePort(const UnreachablePort&) = delete;
    UnreachablePort& operator=(const UnreachablePort&) = delete;

    // True when the queue is full: a further connect to Port() stays pending.
    bool Ok() const { return m_port > 0; }
    int32_t Port() const { return m_port; }

private:
    SOCKET m_listener = INVALID_SOCKET;
    std::vector<SOCKET> m_fillers;
    int32_t m_port = 0;
    bool m_started = false;
};

}  // namespace QvSim
