#include "support/print_server.h"

#include <winspool.h>

#include <thread>

#include "core/locks.h"

namespace {

const wchar_t* g_serverText = nullptr;

BOOL WINAPI GetPrinterOnServer(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                               LPDWORD needed) {
    BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
    if (ok && level == 2 && buffer != nullptr && g_serverText != nullptr) {
        reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pServerName =
            const_cast<wchar_t*>(g_serverText);
    }
    return ok;
}

PrinterInfoApi ServerApi() {
    PrinterInfoApi api;
    api.getPrinter = GetPrinterOnServer;
    return api;
}

}  // namespace

ScopedPrintServer::ScopedPrintServer()
    : m_server(UniqueTestName(L"qvsrv-")),
      m_serverText(L"\\\\" + m_server),
      m_mirror(HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers", L"@" + m_server),
      m_seam(ServerApi()) {
    g_serverText = m_serverText.c_str();
}

ScopedPrintServer::~ScopedPrintServer() {
    g_serverText = nullptr;
}

bool LockableFromAnotherThread(const wchar_t* mutexName, uint32_t waitMs) {
    bool locked = false;
    std::thread other([&] {
        OMutex mutex{OString(mutexName), waitMs};
        locked = mutex.Lock();
        mutex.Unlock();
    });
    other.join();
    return locked;
}
