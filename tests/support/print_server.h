#pragma once

// Helpers for tests of the printer registry and its users.

#include <windows.h>

#include <cstdint>
#include <string>

#include "printer/printer_info_reader.h"
#include "support/printer_cache.h"
#include "support/scratch_registry.h"

// While alive, every printer reports "\\<server>" as its server at level 2
// (through the printer information seam; Wine never names one), so it is
// remote. Owns that server's per-user mirror key; the thread's printer
// information cache is cleared on entry and exit.
class ScopedPrintServer {
public:
    ScopedPrintServer();
    ~ScopedPrintServer();
    ScopedPrintServer(const ScopedPrintServer&) = delete;
    ScopedPrintServer& operator=(const ScopedPrintServer&) = delete;

    // The server name without the leading backslashes (unique to the test).
    const std::wstring& Server() const { return m_server; }
    // The mirror key of the server under the current user.
    const ScratchRegistryKey& Mirror() const { return m_mirror; }

private:
    std::wstring m_server;
    std::wstring m_serverText;
    ScratchRegistryKey m_mirror;
    ScopedPrinterInfoApi m_seam;
    QvTest::FreshPrinterCache m_cache;
};

// Whether a thread other than the caller takes the named mutex within waitMs
// (the check must run elsewhere: a mutex is re-entrant for its owner).
bool LockableFromAnotherThread(const wchar_t* mutexName, uint32_t waitMs);
