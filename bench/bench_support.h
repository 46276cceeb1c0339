#pragma once

// What the XPML benchmarks share: a microsecond clock, a raw Winsock
// keep-alive client that sends prepared request bytes to the simulated XPML
// server (the yardstick the library's exchange is measured against), and the
// registry calls of a request's network settings, each timed alone.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/handles.h"
#include "registry/oregistry.h"

namespace QvBench {

// Microseconds of the performance counter.
inline double Now() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// One keep-alive connection to 127.0.0.1:port; each answer read by its
// Content-Length.
class RawClient {
public:
    explicit RawClient(int port) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        m_ok = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() {
        closesocket(m_socket);
        WSACleanup();
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Exchange(const std::vector<uint8_t>& bytes) {
        if (!m_ok || send(m_socket, reinterpret_cast<const char*>(bytes.data()),
                          static_cast<int>(bytes.size()), 0) != static_cast<int>(bytes.size())) {
            return false;
        }
        for (m_in.clear();;) {
            const size_t end = m_in.find("\r\n\r\n");
            const size_t length = m_in.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos &&
                m_in.size() >= end + 4 + std::strtoul(m_in.c_str() + length + 16, nullptr, 10)) {
                return true;
            }
            char chunk[1024];
            const int n = recv(m_socket, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            m_in.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    SOCKET m_socket;
    bool m_ok = false;
    std::string m_in;
};

// The registry calls behind a request's network settings, timed alone: one
// open and close of the network key, and one value query on the key held open.
class NetworkKeyTimer {
public:
    explicit NetworkKeyTimer(ORegistry& registry) {
        OString key = registry.GetKey();
        OString name = "NETWORK:TCP Port";
        registry.ParsePath(key, name);
        ORegistry::SplitRoot(key, m_hive, m_subkey);
        RegOpenKeyExW(m_hive, m_subkey.GetWide(), 0, ORegistry::kReadWrite, m_opened.Put());
    }

    // Adds one open+close and one query to the totals.
    void Sample() {
        double start = Now();
        HKEY again = nullptr;
        if (RegOpenKeyExW(m_hive, m_subkey.GetWide(), 0, ORegistry::kReadWrite, &again) == 0) {
            RegCloseKey(again);
        }
        openClose += Now() - start;
        start = Now();
        DWORD value = 0;
        DWORD size = sizeof value;
        RegQueryValueExW(m_opened.Get(), L"TCP Port", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value), &size);
        query += Now() - start;
    }

    double openClose = 0;  // microseconds in all
    double query = 0;

private:
    HKEY m_hive = nullptr;
    OString m_subkey;
    ORegKey m_opened;
};

}  // namespace QvBench
