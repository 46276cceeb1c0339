#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>

namespace QvTest {

// A TCP server on 127.0.0.1 in the test process, a thread per connection. It
// answers every request (a header block ended by an empty line, then a body of
// its Content-Length) with "HTTP/1.1 200 OK" and a body of answerBytes bytes,
// and keeps the connection open unless told to close after each answer.
class LoopbackServer {
public:
    explicit LoopbackServer(bool closeAfterAnswer = false, int answerBytes = 300);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_port; }
    // Connections accepted, answers sent, connections still open.
    int Accepted() const { return m_accepted.load(); }
    int Answered() const { return m_answered.load(); }
    int Open() const { return m_open.load(); }
    // Waits up to timeoutMs for every connection to be closed by its client.
    bool WaitAllClosed(DWORD timeoutMs) const;

private:
    static DWORD WINAPI AcceptLoop(void* parameter);
    static DWORD WINAPI Serve(void* parameter);

    SOCKET m_listen = INVALID_SOCKET;
    HANDLE m_acceptThread = nullptr;
    int m_port = 0;
    bool m_closeAfterAnswer;
    std::string m_answer;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_answered{0};
    std::atomic<int> m_open{0};
    std::atomic<bool> m_stopping{false};
    // A system lock: the runtime's mutex would give the threads that take it
    // per-thread state of the static thread library, which the lifetime test
    // would count.
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::set<SOCKET> m_clients;
};

// A port on 127.0.0.1 where nothing listens.
int RefusedPort();

// An XPML-sized request: a form POST of requestBytes body bytes.
std::string Request(int requestBytes);

// Reads one whole answer through read (a Read of up to 1024 bytes returning
// the count, 0 at end of connection): the bytes read, empty when the
// connection ended first.
std::string ReadAnswer(const std::function<int(char*)>& read);

}  // namespace QvTest
