#pragma once

#include <windows.h>

#include <cstdint>

#include "core/ostring.h"
#include "core/seam.h"

// Whether a printer is a client printer redirected into a terminal session, and
// which client computer and client-side printer it stands for.
struct TerminalSession {
    static constexpr uint32_t kNoSession = 0xFFFFFFFFu;

    uint32_t sessionId = kNoSession;
    OString clientPrinterName;
    OString clientName;

    bool IsSessionPrinter() const { return sessionId != kNoSession; }
};

// The one call of the session lookup Wine cannot answer the Windows 2000 way:
// its GetVersionExW says 6.1 (5.0 only through a per-program setting read at
// start-up). Tests install their own through ScopedTerminalSessionApi.
struct TerminalSessionApi {
    decltype(&::GetVersionExW) getVersionEx = ::GetVersionExW;

    static const TerminalSessionApi& Current() { return ScopedApi<TerminalSessionApi>::Current(); }
};

// Installs a TerminalSessionApi for its lifetime and restores the previous one.
using ScopedTerminalSessionApi = ScopedApi<TerminalSessionApi>;

// Session lookup on a borrowed printer handle. Never fails: a printer without
// the printer data "TSSessionID" (or any non-NT system) gives kNoSession and
// empty names, even when "ClientName" is present. On system version 5.0, a
// session printer lacking either name has both derived from its own name
// ("<client printer>/<client>/<session>") and written back to the printer data
// "PrinterName" and "ClientName" (REG_SZ).
TerminalSession LookupTerminalSession(HANDLE printer);

// The pure part of the 5.0 rule: splits a session printer's name at its last
// two '/' characters. False (outputs untouched) when there are fewer than two,
// or either lies at index 0.
bool SplitSessionPrinterName(const OString& name, OString& clientPrinterName, OString& clientName);
