#pragma once

#include <windows.h>

#include <cstdint>

#include "core/locks.h"
#include "core/ostring.h"
#include "core/seam.h"

// The driver's print counters, kept in the printer data under the key
// "Trevamark". One record may be shared between threads: every read or write of
// the counters holds the record's own lock. A copy takes the source's lock and
// gets a lock of its own.
class OdometerData {
public:
    static constexpr const wchar_t* kKey = L"Trevamark";
    static constexpr const wchar_t* kPages = L"Odometer Pages";        // REG_DWORD
    static constexpr const wchar_t* kDistance = L"Odometer Distance";  // REG_BINARY, double
    static constexpr const wchar_t* kLastCleaningPageCount =
        L"Odometer Last Cleaning Page Count";  // REG_DWORD
    static constexpr const wchar_t* kLastCleaningDistance =
        L"Odometer Last Cleaning Distance";  // REG_BINARY, double
    static constexpr const wchar_t* kHasBeenCleaned =
        L"Odometer Has Been Cleaned";  // REG_DWORD, 0 or 1

    OdometerData() = default;
    OdometerData(const OdometerData& other);
    OdometerData& operator=(const OdometerData& other);
    ~OdometerData() = default;

    // All five counters to 0.
    void Reset();

    // Reads the five values with GetPrinterDataExW from the borrowed printer
    // handle. Only when both "Odometer Pages" and "Odometer Distance" are read
    // are the counters replaced (the three cleaning values reading as 0 when
    // absent); otherwise the record keeps its values. True when both were read.
    bool Read(HANDLE printer);

    // Writes all five values with SetPrinterDataExW, in the order of the
    // constants above, attempting every write even after a failure. True only
    // when all five succeeded; earlier writes stay written.
    bool Write(HANDLE printer) const;

    uint32_t GetPages() const;
    double GetDistance() const;
    uint32_t GetLastCleaningPageCount() const;
    double GetLastCleaningDistance() const;
    // 0 or 1.
    uint32_t GetHasBeenCleaned() const;

    void SetPages(uint32_t pages);
    void SetDistance(double distance);
    void SetLastCleaningPageCount(uint32_t pages);
    void SetLastCleaningDistance(double distance);
    // Any non-zero value is stored as 1.
    void SetHasBeenCleaned(uint32_t cleaned);

private:
    uint32_t m_pages = 0;
    double m_distance = 0.0;
    uint32_t m_lastCleaningPageCount = 0;
    double m_lastCleaningDistance = 0.0;
    uint32_t m_hasBeenCleaned = 0;
    mutable OCriticalSection m_lock;
};

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
