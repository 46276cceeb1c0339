#include "printer/odometer.h"

#include <winspool.h>

#include <cstring>

namespace {

// Reads one fixed-size odometer value. A value of another size cannot be read:
// a 4-byte distance would fill half a double and come back as a tiny
// nonsense number reported as good. The buffer is then set back to zero.
bool ReadValue(HANDLE printer, const wchar_t* name, void* data, DWORD size) {
    DWORD type = 0;
    DWORD needed = 0;
    if (::GetPrinterDataExW(printer, OdometerData::kKey, name, &type, static_cast<BYTE*>(data),
                            size, &needed) == ERROR_SUCCESS &&
        needed == size) {
        return true;
    }
    std::memset(data, 0, size);
    return false;
}

bool WriteValue(HANDLE printer, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    return ::SetPrinterDataExW(printer, OdometerData::kKey, name, type,
                               static_cast<BYTE*>(const_cast<void*>(data)), size) == ERROR_SUCCESS;
}

}  // namespace

OdometerData::OdometerData(const OdometerData& other) {
    OLock lock(other.m_lock);
    m_pages = other.m_pages;
    m_distance = other.m_distance;
    m_lastCleaningPageCount = other.m_lastCleaningPageCount;
    m_lastCleaningDistance = other.m_lastCleaningDistance;
    m_hasBeenCleaned = other.m_hasBeenCleaned;
}

OdometerData& OdometerData::operator=(const OdometerData& other) {
    if (this == &other) {
        return *this;
    }
    // Copy out under the source's lock, then store under ours: never both
    // locks at once, so two records assigned to each other cannot deadlock.
    OdometerData copy(other);
    OLock lock(m_lock);
    m_pages = copy.m_pages;
    m_distance = copy.m_distance;
    m_lastCleaningPageCount = copy.m_lastCleaningPageCount;
    m_lastCleaningDistance = copy.m_lastCleaningDistance;
    m_hasBeenCleaned = copy.m_hasBeenCleaned;
    return *this;
}

void OdometerData::Reset() {
    OLock lock(m_lock);
    m_pages = 0;
    m_distance = 0.0;
    m_lastCleaningPageCount = 0;
    m_lastCleaningDistance = 0.0;
    m_hasBeenCleaned = 0;
}

bool OdometerData::Read(HANDLE printer) {
    OLock lock(m_lock);
    DWORD pages = 0;
    double distance = 0.0;
    DWORD lastCleaningPages = 0;
    double lastCleaningDistance = 0.0;
    DWORD cleaned = 0;
    bool havePages = ReadValue(printer, kPages, &pages, sizeof pages);
    bool haveDistance = ReadValue(printer, kDistance, &distance, sizeof distance);
    if (!ReadValue(printer, kLastCleaningPageCount, &lastCleaningPages, sizeof lastCleaningPages)) {
        lastCleaningPages = 0;
    }
    if (!ReadValue(printer, kLastCleaningDistance, &lastCleaningDistance,
                   sizeof lastCleaningDistance)) {
        lastCleaningDistance = 0.0;
    }
    bool haveCleaned = ReadValue(printer, kHasBeenCleaned, &cleaned, sizeof cleaned);
    if (!havePages || !haveDistance) {
        return false;
    }
    m_pages = pages;
    m_distance = distance;
    m_lastCleaningPageCount = lastCleaningPages;
    m_lastCleaningDistance = lastCleaningDistance;
    m_hasBeenCleaned = haveCleaned && cleaned != 0 ? 1 : 0;
    return true;
}

bool OdometerData::Write(HANDLE printer) const {
    OLock lock(m_lock);
    DWORD pages = m_pages;
    double distance = m_distance;
    DWORD lastCleaningPages = m_lastCleaningPageCount;
    double lastCleaningDistance = m_lastCleaningDistance;
    DWORD cleaned = m_hasBeenCleaned;
    // Every write is attempted; the result tells whether all of them landed.
    bool ok = WriteValue(printer, kPages, REG_DWORD, &pages, sizeof pages);
    ok = WriteValue(printer, kDistance, REG_BINARY, &distance, sizeof distance) && ok;
    ok = WriteValue(printer, kLastCleaningPageCount, REG_DWORD, &lastCleaningPages,
                    sizeof lastCleaningPages) &&
         ok;
    ok = WriteValue(printer, kLastCleaningDistance, REG_BINARY, &lastCleaningDistance,
                    sizeof lastCleaningDistance) &&
         ok;
    ok = WriteValue(printer, kHasBeenCleaned, REG_DWORD, &cleaned, sizeof cleaned) && ok;
    return ok;
}

uint32_t OdometerData::GetPages() const {
    OLock lock(m_lock);
    return m_pages;
}

double OdometerData::GetDistance() const {
    OLock lock(m_lock);
    return m_distance;
}

uint32_t OdometerData::GetLastCleaningPageCount() const {
    OLock lock(m_lock);
    return m_lastCleaningPageCount;
}

double OdometerData::GetLastCleaningDistance() const {
    OLock lock(m_lock);
    return m_lastCleaningDistance;
}

uint32_t OdometerData::GetHasBeenCleaned() const {
    OLock lock(m_lock);
    return m_hasBeenCleaned;
}

void OdometerData::SetPages(uint32_t pages) {
    OLock lock(m_lock);
    m_pages = pages;
}

void OdometerData::SetDistance(double distance) {
    OLock lock(m_lock);
    m_distance = distance;
}

void OdometerData::SetLastCleaningPageCount(uint32_t pages) {
    OLock lock(m_lock);
    m_lastCleaningPageCount = pages;
}

void OdometerData::SetLastCleaningDistance(double distance) {
    OLock lock(m_lock);
    m_lastCleaningDistance = distance;
}

void OdometerData::SetHasBeenCleaned(uint32_t cleaned) {
    OLock lock(m_lock);
    m_hasBeenCleaned = cleaned != 0 ? 1 : 0;
}
