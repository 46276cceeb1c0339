// The library's own code in a DLL of its own, with one export that makes one
// pooled exchange: hosts in the tests load and free it as they would the
// library, with connections that fail and succeed. Its pool runs on a clock
// sped up by the factor the last caller gave, so idle connections time out in
// a fraction of a second.

#include <windows.h>

#include <atomic>
#include <string>

#include "core/clock.h"
#include "net/loopback_server.h"
#include "net/reusable_socket.h"

namespace {

std::atomic<int> g_speedup{1};
const ULONGLONG g_start = ::GetTickCount64();

ULONGLONG WINAPI FastTick() {
    return g_start + (::GetTickCount64() - g_start) * static_cast<ULONGLONG>(g_speedup.load());
}

DWORD WINAPI FastWait(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds / static_cast<DWORD>(g_speedup.load()));
}

OSocketApi FastApi() {
    OSocketApi api;
    api.waitForSingleObject = &FastWait;
    return api;
}

OSocketApiOverride g_fastWaits(FastApi());
OClockOverride g_fastClock(OClockApi{&FastTick});

}  // namespace

// 0 after a whole answer, the Winsock error of a failure, -1 for anything else.
extern "C" __declspec(dllexport) int QvProbeExchange(const wchar_t* host, int port, int speedup) {
    g_speedup = speedup > 0 ? speedup : 1;
    try {
        TCPSocketWithReUse socket;
        socket.SetReceiveTimeout(10000);
        socket.Connect(host, port, OSocketDeadline(10000));
        std::string request = QvTest::Request(600);
        socket.Write(request.data(), static_cast<int32_t>(request.size()));
        return QvTest::ReadAnswer([&](char* buffer) {
                   return socket.Read(buffer, OSocketDeadline(10000));
               }).empty()
                   ? -1
                   : 0;
    } catch (const SocketException& e) {
        return e.GetErrorCode();
    } catch (...) {
        return -1;
    }
}
