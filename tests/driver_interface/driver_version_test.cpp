#include <gtest/gtest.h>

#include <string>

#include "driver_interface/driver_interface.h"

namespace {

FILETIME FileTimeOf(uint64_t ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

TEST(BasicDriverInterfaceVersion, FourPartsMostSignificantFirst) {
    struct Row {
        uint64_t version;
        const char* expected;
        const char* note;
    };
    static const Row rows[] = {
        {0x0001000200030004ull, "1.2.3.4", "one part per 16 bits"},
        {0x0000000000000001ull, "0.0.0.1", "build part only"},
        {0x000A000000000000ull, "10.0.0.0", "major part only, decimal"},
        {0xFFFFFFFFFFFFFFFFull, "65535.65535.65535.65535", "parts are unsigned"},
        {0x0006000300258000ull, "6.3.37.32768", "0x25 = 37, 0x8000 = 32768"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(BasicDriverInterface::FormatDriverVersion(row.version).GetNarrow(),
                     row.expected);
    }
}

TEST(BasicDriverInterfaceDate, InvariantShortDateOfTheUtcDay) {
    // File times counted in 100 ns ticks from 1601-01-01 00:00 UTC, computed
    // with an independent calendar (Python's datetime) for each date.
    struct Row {
        uint64_t ticks;
        const char* expected;
        const char* note;
    };
    static const Row rows[] = {
        {0x01DA6E9010F9C000ull, "03/05/2024", "2024-03-05 00:00:00"},
        {0x01DA6F593ACAE980ull, "03/05/2024", "2024-03-05 23:59:59 stays on its UTC day"},
        {0x01BF5321FB038000ull, "12/31/1999", "1999-12-31 00:00:00"},
        {0x01BF82AC81016000ull, "02/29/2000", "2000-02-29 12:00:00, a leap day"},
        {0x0000000000000001ull, "01/01/1601", "the first tick"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(BasicDriverInterface::FormatDriverDate(FileTimeOf(row.ticks)).GetNarrow(),
                     row.expected);
    }
}

TEST(BasicDriverInterfaceDate, NoTextForZeroOrUnconvertibleTimes) {
    EXPECT_TRUE(BasicDriverInterface::FormatDriverDate(FileTimeOf(0)).IsEmpty());
    // FileTimeToSystemTime refuses times with the top bit set.
    EXPECT_TRUE(
        BasicDriverInterface::FormatDriverDate(FileTimeOf(0x8000000000000000ull)).IsEmpty());
}

}  // namespace
