#include "net/loopback_server.h"

#include <ws2tcpip.h>

#include <memory>

namespace QvTest {

namespace {

struct Connection {
    LoopbackServer* server;
    SOCKET socket;
};

// The length of the complete message at the start of data, its line feed
// included; 0 while incomplete (npos + 1).
size_t CompleteLength(const std::string& data) {
    return data.find('\n') + 1;
}

// A socket bound to a free port of 127.0.0.1, and the port.
SOCKET BoundSocket(int& port) {
    SOCKET bound = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length);
    port = ::ntohs(address.sin_port);
    return bound;
}

}  // namespace

LoopbackServer::LoopbackServer(bool closeAfterAnswer, int answerBytes)
    : m_closeAfterAnswer(closeAfterAnswer),
      m_answer(std::string(static_cast<size_t>(answerBytes - 1), 'a') + '\n') {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    m_listen = BoundSocket(m_port);
    ::listen(m_listen, SOMAXCONN);
    m_acceptThread = ::CreateThread(nullptr, 0, &AcceptLoop, this, 0, nullptr);
}

LoopbackServer::~LoopbackServer() {
    ::closesocket(m_listen);
    ::WaitForSingleObject(m_acceptThread, INFINITE);
    ::CloseHandle(m_acceptThread);
    // Connections a client keeps open (idle in its pool) are ended here; Wine
    // does not always wake a blocked recv for that, so the wait is bounded.
    ::AcquireSRWLockExclusive(&m_lock);
    for (SOCKET client : m_clients) {
        ::shutdown(client, SD_BOTH);
    }
    ::ReleaseSRWLockExclusive(&m_lock);
    WaitAllClosed(5000);
    ::WSACleanup();
}

void LoopbackServer::Track(SOCKET client, bool open) {
    ::AcquireSRWLockExclusive(&m_lock);
    if (open) {
        m_clients.insert(client);
    } else {
        m_clients.erase(client);
    }
    ::ReleaseSRWLockExclusive(&m_lock);
}

bool LoopbackServer::WaitAllClosed(DWORD timeoutMs) const {
    ULONGLONG start = ::GetTickCount64();
    while (m_open.load() > 0) {
        if (::GetTickCount64() - start > timeoutMs) {
            return false;
        }
        ::Sleep(5);
    }
    return true;
}

DWORD WINAPI LoopbackServer::AcceptLoop(void* parameter) {
    auto* server = static_cast<LoopbackServer*>(parameter);
    for (;;) {
        SOCKET client = ::accept(server->m_listen, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            return 0;
        }
        ++server->m_accepted;
        ++server->m_open;
        server->Track(client, true);
        ::CloseHandle(
            ::CreateThread(nullptr, 0, &Serve, new Connection{server, client}, 0, nullptr));
    }
}

DWORD WINAPI LoopbackServer::Serve(void* parameter) {
    std::unique_ptr<Connection> connection(static_cast<Connection*>(parameter));
    LoopbackServer* server = connection->server;
    std::string pending;
    char buffer[4096];
    for (;;) {
        int count = ::recv(connection->socket, buffer, sizeof buffer, 0);
        if (count <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(count));
        size_t length = 0;
        bool close = false;
        while ((length = CompleteLength(pending)) > 0) {
            pending.erase(0, length);
            ::send(connection->socket, server->m_answer.data(),
                   static_cast<int>(server->m_answer.size()), 0);
            close = server->m_closeAfterAnswer;
        }
        if (close) {
            ::shutdown(connection->socket, SD_SEND);
        }
    }
    server->Track(connection->socket, false);
    ::closesocket(connection->socket);
    --server->m_open;
    return 0;
}

int RefusedPort() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    int port = 0;
    ::closesocket(BoundSocket(port));
    ::WSACleanup();
    return port;
}

std::string Request(int requestBytes) {
    return std::string(static_cast<size_t>(requestBytes), 'x') + '\n';
}

std::string ReadAnswer(const std::function<int(char*)>& read) {
    std::string answer;
    char buffer[1024];
    while (CompleteLength(answer) == 0) {
        int count = read(buffer);
        if (count <= 0) {
            return std::string();
        }
        answer.append(buffer, static_cast<size_t>(count));
    }
    return answer;
}

}  // namespace QvTest
