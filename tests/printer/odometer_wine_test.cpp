#include "printer/odometer.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <memory>
#include <string>

#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

struct StoredValue {
    DWORD result = 0;
    DWORD type = 0;
    DWORD size = 0;
    uint8_t bytes[16] = {};
};

StoredValue ReadStored(HANDLE printer, const wchar_t* key, const wchar_t* name) {
    StoredValue value;
    value.result = ::GetPrinterDataExW(printer, key, name, &value.type, value.bytes,
                                       sizeof value.bytes, &value.size);
    return value;
}

std::wstring ReadText(HANDLE printer, const wchar_t* name, DWORD* type) {
    wchar_t text[260] = {};
    DWORD size = 0;
    if (::GetPrinterDataW(printer, const_cast<wchar_t*>(name), type, reinterpret_cast<BYTE*>(text),
                          sizeof text, &size) != ERROR_SUCCESS) {
        return L"<absent>";
    }
    return text;
}

bool SetDword(const WinePrinter& printer, const wchar_t* name, DWORD value) {
    return printer.SetDataEx(OdometerData::kKey, name, REG_DWORD, &value, sizeof value);
}

bool SetDouble(const WinePrinter& printer, const wchar_t* name, double value) {
    return printer.SetDataEx(OdometerData::kKey, name, REG_BINARY, &value, sizeof value);
}

// A record whose every field differs from what the tests store, so a read that
// keeps or replaces a field shows.
void FillWithOldValues(OdometerData& record) {
    record.SetPages(7);
    record.SetDistance(1.5);
    record.SetLastCleaningPageCount(2);
    record.SetLastCleaningDistance(9.0);
    record.SetHasBeenCleaned(1);
}

TEST(OdometerWine, WriteStoresTheDocumentedTypesAndReadsBack) {
    WinePrinter printer(L"odometer");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);

    OdometerData written;
    written.SetPages(123456);
    written.SetDistance(98765.4321);
    written.SetLastCleaningPageCount(100000);
    written.SetLastCleaningDistance(80000.5);
    written.SetHasBeenCleaned(1);
    ASSERT_TRUE(written.Write(handle.Get()));

    // The stored form, read back through the spooler: counters as REG_DWORD,
    // distances as the 8 bytes of an IEEE double in REG_BINARY.
    struct Row {
        const wchar_t* name;
        DWORD type;
        DWORD size;
        const char* note;
    } rows[] = {
        {L"Odometer Pages", REG_DWORD, 4, "pages"},
        {L"Odometer Distance", REG_BINARY, 8, "distance"},
        {L"Odometer Last Cleaning Page Count", REG_DWORD, 4, "last cleaning page count"},
        {L"Odometer Last Cleaning Distance", REG_BINARY, 8, "last cleaning distance"},
        {L"Odometer Has Been Cleaned", REG_DWORD, 4, "has been cleaned"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        StoredValue value = ReadStored(handle.Get(), L"Trevamark", row.name);
        EXPECT_EQ(value.result, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(value.type, row.type);
        EXPECT_EQ(value.size, row.size);
    }
    StoredValue pages = ReadStored(handle.Get(), L"Trevamark", L"Odometer Pages");
    EXPECT_EQ(pages.bytes[0] | pages.bytes[1] << 8 | pages.bytes[2] << 16, 123456)
        << "little-endian 0x01E240";

    OdometerData read;
    ASSERT_TRUE(read.Read(handle.Get()));
    EXPECT_EQ(read.GetPages(), 123456u);
    EXPECT_EQ(read.GetDistance(), 98765.4321);
    EXPECT_EQ(read.GetLastCleaningPageCount(), 100000u);
    EXPECT_EQ(read.GetLastCleaningDistance(), 80000.5);
    EXPECT_EQ(read.GetHasBeenCleaned(), 1u);
}

// A read needs pages and distance; the cleaning values default to 0, and any
// non-zero "has been cleaned" reads as 1. A failed read keeps the record.
// A value of another size than its field cannot be read: it leaves the record
// as it was, or counts as 0 for the cleaning values.
TEST(OdometerWine, ValuesOfTheWrongSizeAreUnreadable) {
    WinePrinter printer(L"odometersize");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    const uint16_t two = 42;
    struct Row {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        bool ok;
        const char* note;
    };
    const DWORD small = 1500;
    const uint64_t wide = 42;
    const Row rows[] = {
        {OdometerData::kDistance, REG_DWORD, &small, 4, false, "a 4-byte distance"},
        {OdometerData::kPages, REG_BINARY, &two, 2, false, "2-byte pages"},
        {OdometerData::kPages, REG_BINARY, &wide, 8, false, "8-byte pages"},
        {OdometerData::kLastCleaningDistance, REG_DWORD, &small, 4, true,
         "a 4-byte cleaning distance reads as 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(SetDword(printer, OdometerData::kPages, 42));
        ASSERT_TRUE(SetDouble(printer, OdometerData::kDistance, 3.5));
        ASSERT_TRUE(SetDouble(printer, OdometerData::kLastCleaningDistance, 2.5));
        ASSERT_TRUE(printer.SetDataEx(OdometerData::kKey, row.name, row.type, row.data, row.bytes));
        OdometerData record;
        FillWithOldValues(record);
        EXPECT_EQ(record.Read(handle.Get()), row.ok);
        EXPECT_EQ(record.GetPages(), row.ok ? 42u : 7u);
        EXPECT_EQ(record.GetDistance(), row.ok ? 3.5 : 1.5);
        EXPECT_EQ(record.GetLastCleaningDistance(), row.ok ? 0.0 : 9.0);
    }
}

TEST(OdometerWine, ReadNeedsPagesAndDistance) {
    WinePrinter printer(L"odometerread");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    struct Row {
        bool pages;     // 42 stored
        bool distance;  // 3.5 stored
        const DWORD* cleaned;
        bool ok;
        uint32_t cleanedAfter;
        const char* note;
    };
    const DWORD five = 5, zero = 0, top = 0x80000000;
    const Row rows[] = {
        {true, true, nullptr, true, 0, "cleaning values missing: zero"},
        {true, true, &five, true, 1, "cleaned 5 reads as 1"},
        {true, true, &top, true, 1, "cleaned 0x80000000 reads as 1"},
        {true, true, &zero, true, 0, "cleaned 0"},
        {true, false, &five, false, 1, "distance missing"},
        {false, true, &five, false, 1, "pages missing"},
        {false, false, nullptr, false, 1, "both missing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        for (const wchar_t* name :
             {OdometerData::kPages, OdometerData::kDistance, OdometerData::kLastCleaningPageCount,
              OdometerData::kHasBeenCleaned}) {
            ASSERT_TRUE(printer.DeleteData(name, OdometerData::kKey));
        }
        ASSERT_TRUE(!row.pages || SetDword(printer, OdometerData::kPages, 42));
        ASSERT_TRUE(!row.distance || SetDouble(printer, OdometerData::kDistance, 3.5));
        if (row.cleaned != nullptr) {
            ASSERT_TRUE(SetDword(printer, OdometerData::kHasBeenCleaned, *row.cleaned));
            ASSERT_TRUE(SetDword(printer, OdometerData::kLastCleaningPageCount, 5));
        }
        OdometerData record;
        FillWithOldValues(record);
        EXPECT_EQ(record.Read(handle.Get()), row.ok);
        EXPECT_EQ(record.GetPages(), row.ok ? 42u : 7u);
        EXPECT_EQ(record.GetDistance(), row.ok ? 3.5 : 1.5);
        uint32_t lastCleaning = row.cleaned != nullptr ? 5u : 0u;
        EXPECT_EQ(record.GetLastCleaningPageCount(), row.ok ? lastCleaning : 2u)
            << "nothing is stored from a failed read";
        EXPECT_EQ(record.GetLastCleaningDistance(), row.ok ? 0.0 : 9.0);
        EXPECT_EQ(record.GetHasBeenCleaned(), row.cleanedAfter);
    }
}

TEST(OdometerWine, ReadAndWriteFailOnANullHandle) {
    OdometerData record;
    record.SetPages(3);
    EXPECT_FALSE(record.Read(nullptr));
    EXPECT_EQ(record.GetPages(), 3u);
    EXPECT_FALSE(record.Write(nullptr));
}

// The session lookup's system version, as a test chooses it.
struct FakeVersion {
    static inline DWORD platform = VER_PLATFORM_WIN32_NT;
    static inline DWORD major = 5;
    static inline DWORD minor = 0;
    static BOOL WINAPI GetVersionEx(LPOSVERSIONINFOW info) {
        info->dwPlatformId = platform;
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        info->dwBuildNumber = 2195;
        return TRUE;
    }
};

class SessionLookupWine : public ::testing::Test {
protected:
    void UseVersion(DWORD platform, DWORD major, DWORD minor) {
        FakeVersion::platform = platform;
        FakeVersion::major = major;
        FakeVersion::minor = minor;
        TerminalSessionApi api;
        api.getVersionEx = &FakeVersion::GetVersionEx;
        m_api.reset();  // restore before installing again: overrides nest
        m_api = std::make_unique<ScopedTerminalSessionApi>(api);
    }
    std::unique_ptr<ScopedTerminalSessionApi> m_api;
};

TEST_F(SessionLookupWine, ReadsTheSessionValuesOnNtSystems) {
    WinePrinter printer(L"session");
    QV_SKIP_WITHOUT_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataString(L"ClientName", L"HOST-PC"));
    ASSERT_TRUE(printer.SetDataString(L"PrinterName", L"Label"));
    OPrinterHandle handle = printer.Open();
    struct Row {
        bool withId;  // TSSessionID 7 stored
        bool nt;      // else Windows 98 (4.10)
        DWORD sessionId;
        const char* client;
        const char* clientPrinter;
        const char* note;
    } rows[] = {
        {false, true, 0xFFFFFFFF, "", "", "without a session id never a session printer"},
        {true, true, 7, "HOST-PC", "Label", "the values as stored"},
        {true, false, 0xFFFFFFFF, "", "", "a system that is not NT has no sessions"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(row.withId ? printer.SetDataDword(L"TSSessionID", 7)
                               : printer.DeleteData(L"TSSessionID"));
        if (!row.nt) {
            UseVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
        }
        TerminalSession session = LookupTerminalSession(handle.Get());
        EXPECT_EQ(session.IsSessionPrinter(), row.sessionId != 0xFFFFFFFF);
        if (row.nt) {
            EXPECT_EQ(session.sessionId, row.sessionId);
            EXPECT_STREQ(session.clientName.GetNarrow(), row.client);
            EXPECT_STREQ(session.clientPrinterName.GetNarrow(), row.clientPrinter);
        }
    }
}

TEST_F(SessionLookupWine, OnlyVersionFiveZeroDerivesMissingNamesFromThePrinterName) {
    WinePrinter::Options options;
    // "Label", a slash, "HOST-PC", a slash, a session part unique to this run.
    options.exactName = L"Label/HOST-PC/Session " + WinePrinter::UniqueName(L"2");
    WinePrinter printer(L"w2k", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataDword(L"TSSessionID", 2));
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);

    struct Row {
        DWORD platform, major, minor;
        bool derives;
        const char* note;
    } rows[] = {
        {VER_PLATFORM_WIN32_NT, 6, 1, false, "6.1: names stay empty"},
        {VER_PLATFORM_WIN32_NT, 5, 1, false, "5.1: names stay empty"},
        {VER_PLATFORM_WIN32_NT, 5, 0, true, "5.0: derived and stored"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(printer.DeleteData(L"ClientName"));
        ASSERT_TRUE(printer.DeleteData(L"PrinterName"));
        UseVersion(row.platform, row.major, row.minor);
        TerminalSession session = LookupTerminalSession(handle.Get());
        EXPECT_EQ(session.sessionId, 2u);
        DWORD type = 0;
        if (row.derives) {
            EXPECT_STREQ(session.clientPrinterName.GetNarrow(), "Label");
            EXPECT_STREQ(session.clientName.GetNarrow(), "HOST-PC");
            EXPECT_EQ(ReadText(handle.Get(), L"PrinterName", &type), L"Label");
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(ReadText(handle.Get(), L"ClientName", &type), L"HOST-PC");
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        } else {
            EXPECT_TRUE(session.clientPrinterName.IsEmpty());
            EXPECT_TRUE(session.clientName.IsEmpty());
            EXPECT_EQ(ReadText(handle.Get(), L"ClientName", &type), L"<absent>");
        }
    }

    // With both names present even 5.0 keeps them as stored.
    ASSERT_TRUE(printer.SetDataString(L"ClientName", L"OTHER-PC"));
    ASSERT_TRUE(printer.SetDataString(L"PrinterName", L"Other Label"));
    TerminalSession session = LookupTerminalSession(handle.Get());
    EXPECT_STREQ(session.clientName.GetNarrow(), "OTHER-PC");
    EXPECT_STREQ(session.clientPrinterName.GetNarrow(), "Other Label");

    // Only one of them present on 5.0: both are derived again.
    ASSERT_TRUE(printer.DeleteData(L"PrinterName"));
    session = LookupTerminalSession(handle.Get());
    EXPECT_STREQ(session.clientName.GetNarrow(), "HOST-PC");
    EXPECT_STREQ(session.clientPrinterName.GetNarrow(), "Label");
}

}  // namespace
