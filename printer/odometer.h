#pragma once

#include <windows.h>

#include <cstdint>

#include "core/locks.h"

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
