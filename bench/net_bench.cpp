// Sequential XPML-sized exchanges with a loopback server: through the pooled
// TCPSocketWithReUse (a wrapper per exchange, as the XPML exchange uses it)
// and through a raw Winsock client keeping one connection, in the same run.
// Then a host that makes short-lived threads, one after another, each with
// one exchange: what the pool keeps idle, and the process's handles.

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "net/loopback_server.h"
#include "net/reusable_socket.h"
#include "net/socket_pool.h"
#include "sim/process_usage.h"

namespace {

constexpr int kExchanges = 2000;
constexpr int kRequestBytes = 700;

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency) {
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

bool PooledExchange(int port, const std::string& request) {
    TCPSocketWithReUse socket;
    socket.SetSendTimeout(10000);
    socket.SetReceiveTimeout(10000);
    socket.Connect("127.0.0.1", port, OSocketDeadline(10000));
    socket.Write(request.data(), static_cast<int32_t>(request.size()));
    return !QvTest::ReadAnswer([&](char* buffer) {
                return socket.Read(buffer, OSocketDeadline(10000));
            }).empty();
}

// Microseconds per exchange through the pool.
double RunPooled(int port, const std::string& request, int count) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) {
        if (!PooledExchange(port, request)) {
            std::printf("pooled exchange %d failed\n", i);
            return -1;
        }
    }
    ::QueryPerformanceCounter(&end);
    return Seconds(start, end, frequency) * 1e6 / count;
}

// Microseconds per exchange on one raw keep-alive connection (its connect
// included, as the pool's first connect is).
double RunRaw(int port, const std::string& request, int count) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::printf("raw connect failed: %d\n", ::WSAGetLastError());
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        ::send(s, request.data(), static_cast<int>(request.size()), 0);
        if (QvTest::ReadAnswer([&](char* buffer) { return ::recv(s, buffer, 1024, 0); }).empty()) {
            std::printf("raw exchange %d failed\n", i);
            return -1;
        }
    }
    ::closesocket(s);
    ::QueryPerformanceCounter(&end);
    return Seconds(start, end, frequency) * 1e6 / count;
}

constexpr int kShortThreads = 2000;

int32_t IdleConnections() {
    const int32_t idle = TCPSocketManager::Obtain()->IdleCount();
    TCPSocketManager::Release();
    return idle;
}

// Each thread makes one exchange and ends; the most idle connections seen.
int32_t RunShortThreads(int port, const std::string& request, int count) {
    int32_t most = 0;
    for (int i = 0; i < count; ++i) {
        std::thread([&] { PooledExchange(port, request); }).join();
        most = std::max(most, IdleConnections());
    }
    return most;
}

}  // namespace

int main() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    std::string request = QvTest::Request(kRequestBytes);
    QvTest::LoopbackServer pooledServer(false, 400);
    QvTest::LoopbackServer rawServer(false, 400);
    // Warm both paths (Winsock, the pool, the event log's first mask read).
    RunPooled(pooledServer.Port(), request, 50);
    RunRaw(rawServer.Port(), request, 50);
    double pooled = 0;
    double raw = 0;
    // Alternating halves, so a slow spell of the machine falls on both.
    for (int round = 0; round < 2; ++round) {
        pooled += RunPooled(pooledServer.Port(), request, kExchanges / 2) / 2;
        raw += RunRaw(rawServer.Port(), request, kExchanges / 2) / 2;
    }
    int connections = pooledServer.Accepted();
    std::printf("exchanges: %d, request %zu bytes, answer 400 bytes of body\n", kExchanges,
                request.size());
    std::printf("TCPSocketWithReUse: %.1f us per exchange, %d TCP connection(s) in all\n", pooled,
                connections);
    std::printf("raw Winsock keep-alive: %.1f us per exchange\n", raw);
    std::printf("ratio pooled/raw: %.3f (target at most 1.2)\n", pooled / raw);

    QvTest::LoopbackServer threadServer(false, 400);
    RunShortThreads(threadServer.Port(), request, 50);
    const int handlesBefore = QvSim::OpenHandles();
    const double start = static_cast<double>(::GetTickCount64());
    const int32_t most = RunShortThreads(threadServer.Port(), request, kShortThreads);
    const double perThreadMs = (static_cast<double>(::GetTickCount64()) - start) / kShortThreads;
    std::printf("short-lived threads: %d, one exchange each, %.2f ms per thread\n", kShortThreads,
                perThreadMs);
    std::printf("idle connections: at most %d while they ran, %d after (limit %d)\n", most,
                IdleConnections(), TCPSocketManager::kMaxIdle);
    std::printf("process handles: %d before, %d after\n", handlesBefore, QvSim::OpenHandles());
    // The pooled connection stays idle for 120 s; the process does not wait.
    ::ExitProcess(0);
}
