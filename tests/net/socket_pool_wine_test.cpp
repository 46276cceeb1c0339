// Sockets and the connection pool against a real loopback server; the pool's
// clock is the library's one; its close thread's waits go through the socket seam.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "net/loopback_server.h"
#include "net/reusable_socket.h"
#include "net/socket_pool.h"
#include "support/logged_events.h"

namespace {

using QvTest::LoopbackServer;

// The pool's clock stands still unless a test moves it; the close thread's
// waits are counted and end when the test steps them (at once when draining).
struct FakeSystem {
    static inline std::atomic<uint64_t> now{1000000};
    static inline std::atomic<bool> freeRun{false};
    static inline std::atomic<DWORD> closeThread{0};
    static inline HANDLE step = nullptr;     // auto-reset: one wait ends
    static inline HANDLE waiting = nullptr;  // semaphore: one wait began
    static inline std::mutex lock;
    static inline std::vector<DWORD> waits;

    static ULONGLONG WINAPI Tick() { return now.load(); }
    static DWORD WINAPI Wait(HANDLE terminate, DWORD milliseconds) {
        {
            std::lock_guard<std::mutex> guard(lock);
            waits.push_back(milliseconds);
        }
        closeThread = ::GetCurrentThreadId();
        ::ReleaseSemaphore(waiting, 1, nullptr);
        if (freeRun) {
            return WAIT_TIMEOUT;
        }
        HANDLE handles[2] = {terminate, step};
        DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, 30000);
        return result == WAIT_OBJECT_0 + 1 ? WAIT_TIMEOUT : result;
    }
};

OSocketApi FakeApi() {
    OSocketApi api;
    api.waitForSingleObject = &FakeSystem::Wait;
    return api;
}

class SocketPool : public ::testing::Test {
protected:
    void SetUp() override {
        FakeSystem::now = 1000000;
        FakeSystem::freeRun = false;
        FakeSystem::waits.clear();
        FakeSystem::step = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        FakeSystem::waiting = ::CreateSemaphoreW(nullptr, 0, 1000, nullptr);
    }
    // No test sees another's close thread.
    void TearDown() override {
        FakeSystem::now += 10 * TCPSocketManager::kIdleMs;
        FakeSystem::freeRun = true;
        ::SetEvent(FakeSystem::step);
        for (int i = 0; i < 500 && TCPSocketManager::ReferenceCount() > 0; ++i) {
            ::Sleep(10);
        }
        EXPECT_EQ(TCPSocketManager::ReferenceCount(), 0) << "the pool outlived its users";
        ::CloseHandle(FakeSystem::step);
        ::CloseHandle(FakeSystem::waiting);
    }

    // One request and its whole answer; the entry used, or null when the
    // exchange failed.
    static TCPSocketEntry* Exchange(const char* host, int port) {
        TCPSocketWithReUse socket;
        socket.Connect(host, port, OSocketDeadline(10000));
        std::string request = QvTest::Request(600);
        EXPECT_EQ(socket.Write(request.data(), static_cast<int32_t>(request.size())),
                  static_cast<int32_t>(request.size()));
        std::string answer = QvTest::ReadAnswer(
            [&](char* buffer) { return socket.Read(buffer, OSocketDeadline(10000)); });
        return answer.empty() ? nullptr : socket.GetEntry();
    }

    // Waits until the close thread has begun its next wait; its timeout.
    static DWORD NextWait() {
        EXPECT_EQ(::WaitForSingleObject(FakeSystem::waiting, 10000), WAIT_OBJECT_0);
        std::lock_guard<std::mutex> guard(FakeSystem::lock);
        return FakeSystem::waits.empty() ? 0 : FakeSystem::waits.back();
    }

    // Servers outlive TearDown, which closes the pool's connections to them.
    LoopbackServer& Server(bool closeAfterAnswer = false) {
        m_servers.push_back(std::make_unique<LoopbackServer>(closeAfterAnswer));
        return *m_servers.back();
    }

    std::vector<std::unique_ptr<LoopbackServer>> m_servers;
    OSocketApiOverride m_api{FakeApi()};
    OClockOverride m_clock{OClockApi{&FakeSystem::Tick}};
};

// One thread, one connection per host and port: host letters' case does not
// matter, the port does.
TEST_F(SocketPool, OneThreadReusesOneConnectionPerHostAndPort) {
    LoopbackServer& server = Server();
    LoopbackServer& other = Server();
    TCPSocketEntry* first = nullptr;
    struct Row {
        const char* host;
        LoopbackServer& server;
        int reuse;     // of the entry used, counted by hand
        int accepted;  // by both servers
        const char* note;
    } rows[] = {
        {"localhost", server, 0, 1, "first use connects"},
        {"localhost", server, 1, 1, "again: reused, not connected again"},
        {"LocalHost", server, 2, 1, "same host in other letters"},
        {"LOCALHOST", other, 0, 2, "another port connects"},
        {"localhost", server, 3, 2, "the first connection is still there"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        TCPSocketEntry* entry = Exchange(row.host, row.server.Port());
        ASSERT_NE(entry, nullptr);
        first = first != nullptr ? first : entry;
        EXPECT_EQ(entry == first, &row.server == &server);
        EXPECT_EQ(entry->GetReuseCount(), row.reuse);
        EXPECT_EQ(server.Accepted() + other.Accepted(), row.accepted);
    }
}

TEST_F(SocketPool, TwoThreadsGetTwoConnections) {
    LoopbackServer& server = Server();
    for (int i = 0; i < 2; ++i) {
        std::thread([&server] { EXPECT_NE(Exchange("127.0.0.1", server.Port()), nullptr); }).join();
    }
    EXPECT_EQ(server.Accepted(), 2) << "an idle connection serves only the thread that made it";
}

// Only its own thread can reuse an idle connection: it leaves with the thread,
// and however many threads live, at most kMaxIdle are kept (the oldest go).
TEST_F(SocketPool, IdleConnectionsLeaveWithTheirThreadAndStayWithinTheLimit) {
    LoopbackServer& server = Server();
    auto idle = [] {
        const int32_t count = TCPSocketManager::Obtain()->IdleCount();
        TCPSocketManager::Release();
        return count;
    };
    std::thread([&server] { Exchange("127.0.0.1", server.Port()); }).join();
    EXPECT_EQ(idle(), 0) << "the thread's idle connection left with it";
    constexpr int kThreads = TCPSocketManager::kMaxIdle + 4;
    OKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> exchanged{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            EXPECT_NE(Exchange("127.0.0.1", server.Port()), nullptr);
            ++exchanged;
            ::WaitForSingleObject(release.Get(), 10000);
        });
    }
    while (exchanged < kThreads) {
        ::Sleep(1);
    }
    EXPECT_EQ(idle(), TCPSocketManager::kMaxIdle);
    ::SetEvent(release.Get());
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(idle(), 0);
}

TEST_F(SocketPool, ConnectionClosedByPeerIsNeverReused) {
    LoopbackServer& server = Server(/*closeAfterAnswer=*/true);
    for (int i = 0; i < 2; ++i) {
        TCPSocketWithReUse socket;
        socket.Connect("127.0.0.1", server.Port(), OSocketDeadline(10000));
        std::string request = QvTest::Request(10);
        socket.Write(request.data(), static_cast<int32_t>(request.size()));
        char buffer[TCPSocketWithReUse::kReadSize];
        while (socket.Read(buffer, OSocketDeadline(10000)) > 0) {
        }
        EXPECT_TRUE(socket.GetEntry()->IsFailed());
    }
    EXPECT_EQ(server.Accepted(), 2);
    EXPECT_EQ(TCPSocketManager::ReferenceCount(), 0) << "no entry went idle";
}

TEST_F(SocketPool, FailureThrowsTheWinsockErrorAndLeavesNothingIdle) {
    int error = 0;
    try {
        TCPSocketWithReUse socket;
        socket.Connect("127.0.0.1", QvTest::RefusedPort(), OSocketDeadline(10000));
    } catch (const OException& e) {
        error = e.GetErrorCode();
    }
    EXPECT_EQ(error, WSAECONNREFUSED);
    EXPECT_EQ(TCPSocketManager::ReferenceCount(), 0) << "a failed entry is destroyed";
}

// A host polling a printer that refuses must not write a warning per call.
TEST_F(SocketPool, AFailureIsWarnedOncePerEndpointAndCode) {
    QvTest::LoggedEvents log;
    const int refused[] = {QvTest::RefusedPort(), QvTest::RefusedPort()};
    for (int i = 0; i < 6; ++i) {
        TCPSocketWithReUse socket;
        EXPECT_THROW(socket.Connect("LOCALHOST", refused[i % 2], OSocketDeadline(10000)),
                     SocketException);
    }
    for (const int port : refused) {
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE,
                                              L"Host:LOCALHOST, Port: " + std::to_wstring(port)),
                  1)
            << port;
    }
}

// An idle connection lives 120 s from its last use, and the close thread
// checks at least 5 s apart.
HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                       LPDWORD) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// A close thread that cannot start holds nothing and is asked for again by the
// next connection that goes idle.
TEST_F(SocketPool, ACloseThreadThatCannotStartIsTriedAgain) {
    LoopbackServer& server = Server();
    OSocketApi failing = FakeApi();
    failing.createThread = &NoThread;
    {
        OSocketApiOverride noThread(failing);
        ASSERT_NE(Exchange("127.0.0.1", server.Port()), nullptr);
        EXPECT_EQ(TCPSocketManager::ReferenceCount(), 1) << "the idle entry's alone";
    }
    ASSERT_NE(Exchange("127.0.0.1", server.Port()), nullptr);
    EXPECT_EQ(NextWait(), 120000u) << "the close thread runs now";
    EXPECT_EQ(TCPSocketManager::ReferenceCount(), 2);
}

TEST_F(SocketPool, IdleConnectionLastsOneHundredTwentySecondsFromLastUse) {
    LoopbackServer& server = Server();
    const uint64_t start = FakeSystem::now;
    TCPSocketEntry* entry = Exchange("127.0.0.1", server.Port());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetIdleDeadline(), start + 120000);
    EXPECT_EQ(NextWait(), 120000u) << "the whole time to the deadline";
    FakeSystem::now = start + 119000;
    EXPECT_EQ(Exchange("127.0.0.1", server.Port()), entry) << "reused after 119 s";
    EXPECT_EQ(server.Accepted(), 1);
    const uint64_t deadline = start + 119000 + 120000;
    ::SetEvent(FakeSystem::step);
    EXPECT_EQ(NextWait(), 120000u);
    FakeSystem::now = deadline - 1;
    ::SetEvent(FakeSystem::step);
    EXPECT_EQ(NextWait(), 5000u) << "1 ms before the deadline the wait is still 5 s";
    EXPECT_EQ(server.Open(), 1);
    FakeSystem::now = deadline;
    ::SetEvent(FakeSystem::step);
    // The entry times out, both lists are empty: the thread ends, the pool goes.
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, FakeSystem::closeThread);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(::WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    ::CloseHandle(thread);
    EXPECT_EQ(TCPSocketManager::ReferenceCount(), 0);
    EXPECT_TRUE(server.WaitAllClosed(10000)) << "the connection was closed";
    EXPECT_EQ(FakeSystem::waits.size(), 3u) << "no wait after the last entry went";
}

}  // namespace
