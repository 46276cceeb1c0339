#include "sim/xpml_server_process.h"

#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/printer_setup.h"
#include "sim/sim_http.h"

namespace QvSim {

namespace {

constexpr DWORD kStartWaitMs = 20000;
constexpr DWORD kQuitWaitMs = 3000;
constexpr DWORD kControlTimeoutMs = 5000;
constexpr size_t kMaxAnswerBytes = 1024 * 1024;

int32_t ReadPort(const std::wstring& file) {
    FILE* stream = _wfopen(file.c_str(), L"rb");
    if (stream == nullptr) {
        return 0;
    }
    char text[32] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stream);
    std::fclose(stream);
    return n > 0 ? std::atoi(text) : 0;
}

}  // namespace

XpmlServerProcess::XpmlServerProcess(const std::wstring& stateFile, int32_t port) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    m_portFile = std::wstring(temp) + L"qvxpmlserver-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + std::to_wstring(reinterpret_cast<uintptr_t>(this)) + L".port";
    DeleteFileW(m_portFile.c_str());
    std::wstring command = L"\"" + ProgramFolder() + L"qvxpmlserver.exe\" --port " +
                           std::to_wstring(port) + L" --port-file \"" + m_portFile + L"\"";
    if (!stateFile.empty()) {
        command += L" --state-file \"" + stateFile + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        m_error = L"cannot start " + command + L" (error " + std::to_wstring(GetLastError()) + L")";
        return;
    }
    CloseHandle(info.hThread);
    m_process.Reset(info.hProcess);
    const ULONGLONG deadline = GetTickCount64() + kStartWaitMs;
    while (m_port == 0 && GetTickCount64() < deadline) {
        if (WaitForSingleObject(m_process.Get(), 20) == WAIT_OBJECT_0) {
            m_error = L"the server ended at once: " + command;
            return;
        }
        m_port = ReadPort(m_portFile);
    }
    if (m_port == 0) {
        m_error = L"the server did not report its port: " + command;
    }
}

XpmlServerProcess::~XpmlServerProcess() {
    if (m_process) {
        if (m_port > 0) {
            Control({{"quit", "1"}});
        }
        if (WaitForSingleObject(m_process.Get(), kQuitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(m_process.Get(), 1);
            WaitForSingleObject(m_process.Get(), kQuitWaitMs);
        }
    }
    DeleteFileW(m_portFile.c_str());
}

// A connection of its own per request, framed with the server's code rather
// than the library's, so that controlling the server never leans on what is
// under test.
std::string XpmlServerProcess::Control(
    const std::vector<std::pair<std::string, std::string>>& settings) const {
    WSADATA wsa{};
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return std::string();
    }
    OScopeGuard cleanup([] { WSACleanup(); });
    OSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(m_port));
    const DWORD timeout = kControlTimeoutMs;
    const char* option = reinterpret_cast<const char*>(&timeout);
    const std::string body = EncodeForm(settings);
    const std::string request =
        "POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    if (!connection ||
        setsockopt(connection.Get(), SOL_SOCKET, SO_RCVTIMEO, option, sizeof timeout) != 0 ||
        setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, option, sizeof timeout) != 0 ||
        connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        send(connection.Get(), request.data(), static_cast<int>(request.size()), 0) !=
            static_cast<int>(request.size())) {
        return std::string();
    }
    std::string answer;
    FramedMessage framed;
    Framing framing;
    while ((framing = FrameMessage(answer, kMaxAnswerBytes, framed)) == Framing::Incomplete) {
        char chunk[4096];
        const int n = recv(connection.Get(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            return std::string();
        }
        answer.append(chunk, static_cast<size_t>(n));
    }
    const bool ok = framing == Framing::Complete && framed.startLine.rfind("HTTP/1.1 200 ", 0) == 0;
    return ok ? answer.substr(framed.headBytes, framed.bodyBytes) : std::string();
}

int64_t XpmlServerProcess::Counter(const std::string& name) const {
    const std::string counters = ";" + Control({});
    if (counters.size() == 1) {
        return -1;
    }
    const std::string key = ";" + name + "=";
    const size_t at = counters.find(key);
    return at == std::string::npos ? 0 : std::atoll(counters.c_str() + at + key.size());
}

}  // namespace QvSim
