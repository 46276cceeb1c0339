#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>

namespace QvTest {

// A TCP server on 127.0.0.1 in the test process, a thread per connection. It
// answers every request (a line) with a line of answerBytes bytes, and keeps
// the connection open unless told to close after each answer.
class LoopbackServer {
public:
    explicit LoopbackServer(bool closeAfterAnswer = false, int answerBytes = 300);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_port; }
    // Connections accepted, connections still open.
    int Accepted() const { return m_accepted.load(); }
    int Open() const { return m_open.load(); }
    // Waits up to timeoutMs for every connection to be closed by its client.
    bool WaitAllClosed(DWORD timeoutMs) const;

private:
    static DWORD WINAPI AcceptLoop(void* parameter);
    static DWORD WINAPI Serve(void* parameter);
    void Track(SOCKET client, bool open);

    SOCKET m_listen = INVALID_SOCKET;
    HANDLE m_acceptThread = nullptr;
    int m_port = 0;
    bool m_closeAfterAnswer;
    std::string m_answer;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_open{0};
    // A system lock: the runtime's mutex would give the threads that take it
    // per-thread state of the static thread library, which the lifetime test
    // would count.
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::set<SOCKET> m_clients;
};

// A port on 127.0.0.1 where nothing listens.
int RefusedPort();

// A request of requestBytes bytes and its line feed.
std::string Request(int requestBytes);

// One whole answer through read (up to 1024 bytes a call, the count returned,
// 0 at the end); empty when the connection ended first.
std::string ReadAnswer(const std::function<int(char*)>& read);

}  // namespace QvTest
