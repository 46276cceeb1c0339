#pragma once

// Runs the simulated XPML server program (qvxpmlserver.exe, beside the running
// program) on a free loopback port for the life of the object, and changes its
// state through control requests. For tests, the benchmark and the demo.
//
//   QvSim::XpmlServerProcess server;
//   if (!server.Ok()) { ...server.Error()... }
//   server.Control({{"status", "Paper Jam"}, {"severity", "2"}});

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/handles.h"

namespace QvSim {

class XpmlServerProcess {
public:
    // stateFile, when not empty, is handed to the server (--state-file); port
    // 0 has the server pick a free one, another asks for that one (a server
    // restarted where its clients expect it).
    explicit XpmlServerProcess(const std::wstring& stateFile = std::wstring(), int32_t port = 0);
    // Asks the server to quit, and ends it when it does not.
    ~XpmlServerProcess();
    XpmlServerProcess(const XpmlServerProcess&) = delete;
    XpmlServerProcess& operator=(const XpmlServerProcess&) = delete;

    bool Ok() const { return m_port > 0; }
    const std::wstring& Error() const { return m_error; }
    int32_t Port() const { return m_port; }

    // Sends one control request of "name=value" settings (see xpml_sim.h) to
    // 127.0.0.1; the server's counters ("requests=N;connections=M"), empty
    // when it did not answer 200.
    std::string Control(const std::vector<std::pair<std::string, std::string>>& settings) const;
    // One of the counters by its name ("requests", "connections",
    // "printer:NAME", "state:NAME"); 0 for a name not counted yet, -1 when
    // the server does not answer.
    int64_t Counter(const std::string& name) const;
    int64_t Requests() const { return Counter("requests"); }
    int64_t Connections() const { return Counter("connections"); }

private:
    OKernelHandle m_process;
    std::wstring m_portFile;
    std::wstring m_error;
    int32_t m_port = 0;
};

}  // namespace QvSim
