#include <gtest/gtest.h>

#include <string>

#include "driver_interface/basic_interface.h"

namespace {

FILETIME FileTimeOf(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

std::string Version(uint64_t version) {
    return BasicDriverInterface::FormatDriverVersion(version).GetNarrow();
}
std::string Date(uint64_t ticks) {
    return BasicDriverInterface::FormatDriverDate(FileTimeOf(ticks)).GetNarrow();
}

// Dates are file times counted in 100 ns ticks from 1601-01-01 00:00 UTC,
// computed with an independent calendar (Python's datetime) for each date.
TEST(BasicDriverInterfaceVersion, VersionPartsAndInvariantShortDateOfTheUtcDay) {
    struct Row {
        std::string (*format)(uint64_t);
        uint64_t value;
        const char* expected;
        const char* note;
    } rows[] = {
        {Version, 0x0001000200030004ull, "1.2.3.4", "one part per 16 bits, most significant first"},
        {Version, 0xFFFFFFFFFFFFFFFFull, "65535.65535.65535.65535", "parts are unsigned"},
        {Version, 0x0006000300258000ull, "6.3.37.32768", "0x25 = 37, 0x8000 = 32768"},
        {Date, 0x01DA6E9010F9C000ull, "03/05/2024", "2024-03-05 00:00:00"},
        {Date, 0x01DA6F593ACAE980ull, "03/05/2024", "2024-03-05 23:59:59 stays on its UTC day"},
        {Date, 0x01BF82AC81016000ull, "02/29/2000", "2000-02-29 12:00:00, a leap day"},
        {Date, 0x0000000000000001ull, "01/01/1601", "the first tick"},
        {Date, 0, "", "a zero time has no text"},
        {Date, 0x8000000000000000ull, "",
         "FileTimeToSystemTime refuses times with the top bit set"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(row.format(row.value), row.expected);
    }
}

}  // namespace
