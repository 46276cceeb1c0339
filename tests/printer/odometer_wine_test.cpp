#include "printer/odometer.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

using O = OdometerData;

// The five counters in the order of their constants.
std::string Describe(const OdometerData& r) {
    char text[120];
    std::snprintf(text, sizeof text, "%u, %g, %u, %g, %u", r.GetPages(), r.GetDistance(),
                  r.GetLastCleaningPageCount(), r.GetLastCleaningDistance(), r.GetHasBeenCleaned());
    return text;
}

OdometerData Record(uint32_t pages, double distance, uint32_t cleanPages, double cleanDistance,
                    uint32_t cleaned) {
    OdometerData record;
    record.SetPages(pages);
    record.SetDistance(distance);
    record.SetLastCleaningPageCount(cleanPages);
    record.SetLastCleaningDistance(cleanDistance);
    record.SetHasBeenCleaned(cleaned);
    return record;
}

TEST(OdometerData, CopiesCarryEveryFieldAndResetClearsEvery) {
    OdometerData source = Record(7, 12.5, 3, 1.25, 0x80000000);
    EXPECT_EQ(Describe(source), "7, 12.5, 3, 1.25, 1") << "any non-zero cleaned flag is 1";
    OdometerData assigned;
    assigned = source;
    OdometerData& self = assigned;
    assigned = self;  // keeps the values, and does not deadlock on its one lock
    EXPECT_EQ(Describe(OdometerData(source)), Describe(source));
    EXPECT_EQ(Describe(assigned), Describe(source));
    source.Reset();
    EXPECT_EQ(Describe(source), "0, 0, 0, 0, 0");
    EXPECT_FALSE(source.Read(nullptr));
    EXPECT_FALSE(assigned.Write(nullptr));
}

// One value under "Trevamark", as stored.
struct Stored {
    const wchar_t* name;
    DWORD type;
    std::vector<uint8_t> bytes;
};

template <typename T>
Stored Value(const wchar_t* name, DWORD type, T value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return {name, type, std::vector<uint8_t>(bytes, bytes + sizeof value)};
}

// Distances are the 8 bytes of a double in REG_BINARY. A read needs pages and
// distance; a value of another size than its field is unreadable (a 4-byte
// distance would fill half a double), and a failed read keeps the record.
TEST(OdometerWine, WritesTheStoredFormsAndReadsOnlyValuesOfTheirOwnSize) {
    WinePrinter printer(L"odometer");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    const Stored pages = Value(O::kPages, REG_DWORD, DWORD{42});
    const Stored distance = Value(O::kDistance, REG_BINARY, 3.5);
    const Stored cleanPages = Value(O::kLastCleaningPageCount, REG_DWORD, DWORD{5});
    const Stored cleanDistance = Value(O::kLastCleaningDistance, REG_BINARY, 2.5);
    const Stored cleanedTop = Value(O::kHasBeenCleaned, REG_DWORD, DWORD{0x80000000});
    const Stored shortDistance = Value(O::kDistance, REG_DWORD, DWORD{1500});
    const Stored shortPages = Value(O::kPages, REG_BINARY, uint16_t{42});
    const Stored shortCleanDistance = Value(O::kLastCleaningDistance, REG_DWORD, DWORD{1500});
    ASSERT_TRUE(Record(42, 3.5, 5, 2.5, 1).Write(handle.Get()));
    for (const Stored& want : {pages, distance, cleanPages, cleanDistance,
                               Value(O::kHasBeenCleaned, REG_DWORD, DWORD{1})}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(want.name)));
        std::vector<uint8_t> bytes(16);
        DWORD type = 0;
        DWORD size = 0;
        ASSERT_EQ(
            ::GetPrinterDataExW(handle.Get(), O::kKey, want.name, &type, bytes.data(), 16, &size),
            static_cast<DWORD>(ERROR_SUCCESS));
        bytes.resize(size);
        EXPECT_EQ(type, want.type);
        EXPECT_EQ(bytes, want.bytes);
    }
    const char* old = "7, 1.5, 2, 9, 1";
    struct Row {
        std::vector<Stored> stored;
        bool ok;
        const char* after;
        const char* note;
    } rows[] = {
        {{pages, distance, cleanPages, cleanDistance, cleanedTop},
         true,
         "42, 3.5, 5, 2.5, 1",
         "cleaned 0x80000000 reads as 1"},
        {{pages, distance}, true, "42, 3.5, 0, 0, 0", "cleaning values missing: 0"},
        {{pages, cleanPages}, false, old, "distance missing"},
        {{distance, cleanPages}, false, old, "pages missing"},
        {{pages, shortDistance}, false, old, "a 4-byte distance"},
        {{shortPages, distance}, false, old, "2-byte pages"},
        {{pages, distance, cleanPages, shortCleanDistance},
         true,
         "42, 3.5, 5, 0, 0",
         "a 4-byte cleaning distance reads as 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        for (const wchar_t* name : {O::kPages, O::kDistance, O::kLastCleaningPageCount,
                                    O::kLastCleaningDistance, O::kHasBeenCleaned}) {
            ASSERT_TRUE(printer.DeleteData(name, O::kKey));
        }
        for (const Stored& value : row.stored) {
            ASSERT_TRUE(printer.SetDataEx(O::kKey, value.name, value.type, value.bytes.data(),
                                          static_cast<DWORD>(value.bytes.size())));
        }
        OdometerData record = Record(7, 1.5, 2, 9.0, 1);
        EXPECT_EQ(record.Read(handle.Get()), row.ok);
        EXPECT_EQ(Describe(record), row.after);
    }
}

}  // namespace
