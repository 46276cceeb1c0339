#include "printer/printer_info_reader.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/win_buffer.h"
#include "support/printer_cache.h"
#include "support/text.h"
#include "support/wine_printer.h"

using QvTest::ComputerName;
using QvTest::W;
using QvTest::WinePrinter;

namespace {

// Spooler spy behind the seam: counts calls, moves the clock, and makes up what
// Wine never reports (level 4 server, failing level 2, overlong device mode,
// driver version and date).
struct Fakes {
    bool failLevel2 = false;
    uint64_t driverVersion = 0x0001000200030004ull;
    const wchar_t* level4Server = nullptr;
    DWORD devModeOvershoot = 0;
};

struct Spy {
    static inline Fakes fake;
    static inline std::atomic<int> level2Calls{0};
    static inline std::atomic<int> driverCalls{0};
    static inline std::atomic<uint64_t> now{500000};
    static BOOL WINAPI GetPrinter(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) {
        level2Calls += level == 2 ? 1 : 0;
        if (level == 2 && fake.failLevel2) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
        if (ok && level == 4 && fake.level4Server != nullptr) {
            reinterpret_cast<PRINTER_INFO_4W*>(buffer)->pServerName =
                const_cast<wchar_t*>(fake.level4Server);
        }
        DEVMODEW* mode =
            ok && level == 2 ? reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pDevMode : nullptr;
        if (mode != nullptr && fake.devModeOvershoot != 0) {
            auto rest = static_cast<DWORD>(buffer + size - reinterpret_cast<BYTE*>(mode));
            mode->dmDriverExtra = static_cast<WORD>(rest - mode->dmSize + fake.devModeOvershoot);
        }
        return ok;
    }
    static BOOL WINAPI GetPrinterDriver(HANDLE printer, LPWSTR environment, DWORD level,
                                        LPBYTE buffer, DWORD size, LPDWORD needed) {
        ++driverCalls;
        BOOL ok = ::GetPrinterDriverW(printer, environment, level, buffer, size, needed);
        if (ok && level == 6) {  // Wine reports no version and no date
            reinterpret_cast<DRIVER_INFO_6W*>(buffer)->dwlDriverVersion = fake.driverVersion;
            reinterpret_cast<DRIVER_INFO_6W*>(buffer)->ftDriverDate = {0x89ABCDEF, 0x01D2B3C4};
        }
        return ok;
    }
    static ULONGLONG WINAPI TickCount() { return now; }
};

class PrinterInfoWineTest : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    static PrinterInfoApi SpyApi() {
        PrinterInfoApi api;
        api.getPrinter = &Spy::GetPrinter;
        api.getPrinterDriver = &Spy::GetPrinterDriver;
        return api;
    }
    void SetUp() override {
        Spy::fake = {};
        Spy::now = 500000;
    }
    ScopedPrinterInfoApi m_api{SpyApi()};
    OClockOverride m_clock{OClockApi{&Spy::TickCount}};
};

TEST_F(PrinterInfoWineTest, GathersTheSpoolerAndDriverFactsOfARealPrinter) {
    WinePrinter::Options options;
    options.dpi = 203;  // a data file "qvz42..."
    WinePrinter printer(L"gather", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    wchar_t folder[MAX_PATH] = {};
    DWORD needed = 0;
    ASSERT_TRUE(::GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(folder),
                                             sizeof folder, &needed));
    const std::wstring driverFolder = std::wstring(folder) + L"\\3";  // version-3 drivers
    const OString name(printer.Name().c_str());
    PrinterInfo info = PrinterInfoCache::Lookup(name);
    using Text = const OString& (PrinterInfo::*)() const;
    struct Field {
        Text get;
        std::wstring expected;
    } fields[] = {
        {&PrinterInfo::GetPrinterName, printer.Name()},
        {&PrinterInfo::GetPortName, printer.Port()},
        {&PrinterInfo::GetDriverName, printer.DriverName()},
        {&PrinterInfo::GetServerName, ComputerName()},  // a local printer's server
        {&PrinterInfo::GetShortName, printer.Name()},
        {&PrinterInfo::GetEnvironment, L"Windows x64"},
        {&PrinterInfo::GetDriverFile, L"wineps.drv"},
        {&PrinterInfo::GetDataFile, printer.DataFileName()},
        {&PrinterInfo::GetManufacturer, L"Quorvel Test Manufacturer"},
        {&PrinterInfo::GetModelFamily, L"qvz"},
        {&PrinterInfo::GetModelCode, L"42"},
        {&PrinterInfo::GetModuleFile, L"wineps.drv"},
    };
    for (const Field& field : fields) {
        SCOPED_TRACE(testing::PrintToString(field.expected));
        EXPECT_EQ(W((info.*field.get)()), field.expected);
    }
    EXPECT_EQ(info.GetDriverDirectory().CompareNoCase(OString(driverFolder.c_str())), 0);
    EXPECT_EQ(info.GetModuleDirectory().CompareNoCase(OString(driverFolder.c_str())), 0);
    EXPECT_FALSE(info.IsRemote()) << "a local printer on a file port";
    EXPECT_TRUE(info.IsClassicLayout());
    EXPECT_TRUE(info.IsDriverPartRead());
    EXPECT_EQ(info.GetDriverVersionNumber(), 3u);
    EXPECT_EQ(info.GetDriverVersion(), 0x0001000200030004ull);
    EXPECT_EQ(info.GetDriverDate().dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(info.GetDriverDate().dwHighDateTime, 0x01D2B3C4u);
    EXPECT_EQ(info.GetLastRefresh(), 500000u) << "the clock of the read";
    ASSERT_NE(info.GetDevMode(), nullptr);
    EXPECT_EQ(info.GetDevModeSize(), info.GetDevMode()->dmSize + info.GetDevMode()->dmDriverExtra);
    PrinterInfo copy(info);
    EXPECT_NE(copy.GetDevMode(), info.GetDevMode()) << "the device mode is duplicated";
    EXPECT_EQ(copy.GetDevModeSize(), info.GetDevModeSize());

    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    EXPECT_EQ(W(PrinterInfoCache::Lookup(handle.Get()).GetPortName()), printer.Port());
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), 1) << "both lookups share one entry";

    // A driver installed from a package keeps its modules in the package
    // folder, named after the model family.
    ASSERT_TRUE(printer.SetDataString(L"DriverPackage", L"C:\\Packages\\qvz4"));
    QvTest::FreshPrinterCache::Forget();
    PrinterInfo package = PrinterInfoCache::Lookup(name);
    EXPECT_FALSE(package.IsClassicLayout());
    EXPECT_EQ(W(package.GetModuleDirectory()), L"C:\\Packages\\qvz4");
    EXPECT_EQ(W(package.GetModuleFile()), L"Quorvel_ConfigModule_QVZ.dll");
    EXPECT_EQ(W(package.GetPrintModule()), L"Quorvel_PrintModule_QVZ.dll");
}

// The printer part is read again only when more than a second has passed since
// the last successful read; a failed read keeps the last good facts and is
// tried again at the next lookup. The driver part is read once.
TEST_F(PrinterInfoWineTest, RereadsThePrinterPartAtMostOncePerSecondAndTheDriverPartOnce) {
    WinePrinter printer(L"refresh");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    PrinterInfo first = PrinterInfoCache::Lookup(name);
    int driver = Spy::driverCalls;
    EXPECT_GT(driver, 0);

    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    DWORD needed = 0;
    ::GetPrinterW(handle.Get(), 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(::GetPrinterW(handle.Get(), 2, buffer.data(), needed, &needed));
    reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pLocation = const_cast<wchar_t*>(L"moved");
    ASSERT_TRUE(::SetPrinterW(handle.Get(), 2, buffer.data(), 0));
    struct Step {
        uint64_t elapsed;
        bool fail, reread;
        const wchar_t* location;
        uint64_t lastRefresh;
        const char* note;
    } steps[] = {
        {500, false, false, L"test location", 500000, "500 ms later: no spooler call"},
        {1000, false, false, L"test location", 500000, "exactly 1000 ms: not yet stale"},
        {1500, false, true, L"moved", 501500, "1500 ms later: level 2 is read again"},
        {3000, true, true, L"moved", 501500, "a failed read keeps the last good facts"},
        {3100, false, true, L"moved", 503100, "after a failed read the next lookup tries again"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.note);
        Spy::now = 500000 + step.elapsed;
        Spy::fake.failLevel2 = step.fail;
        int before = Spy::level2Calls;
        PrinterInfo again = PrinterInfoCache::Lookup(name);
        EXPECT_EQ(Spy::level2Calls > before, step.reread);
        EXPECT_EQ(Spy::driverCalls, driver) << "the driver part is read only once";
        EXPECT_EQ(W(again.GetLocation()), step.location);
        EXPECT_EQ(again.GetLastRefresh(), step.lastRefresh);
        EXPECT_FALSE(again.IsRemote()) << "the last good facts must not make a printer remote";
        EXPECT_EQ(W(again.GetServerName()), ComputerName());
    }
}

// A driver installed over the printer's under a long-lived thread shows
// within a minute; the driver part is not read more often than that.
TEST_F(PrinterInfoWineTest, RereadsTheDriverPartAMinuteAfterItsLastRead) {
    WinePrinter printer(L"upgrade");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    EXPECT_EQ(PrinterInfoCache::Lookup(name).GetDriverVersion(), 0x0001000200030004ull);
    Spy::fake.driverVersion = 0x0002000000000000ull;
    const struct Step {
        uint64_t elapsed;
        uint64_t version;
        const char* note;
    } steps[] = {
        {1500, 0x0001000200030004ull, "the printer part is read again, not the driver part"},
        {58999, 0x0001000200030004ull, "read again, still within the minute"},
        {60000, 0x0002000000000000ull, "a minute after the first read"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.note);
        Spy::now = 500000 + step.elapsed;
        EXPECT_EQ(PrinterInfoCache::Lookup(name).GetDriverVersion(), step.version);
    }
}

// A thread that meets ever new printers keeps at most kMaxEntries of them;
// the one looked up least recently goes first.
TEST_F(PrinterInfoWineTest, KeepsAtMostTheBoundOfPrintersDroppingTheLeastRecent) {
    WinePrinter printer(L"bound");
    QV_SKIP_WITHOUT_PRINTER(printer);
    const OString name(printer.Name().c_str());
    int unknown = 0;
    auto meetOthers = [&](int count) {
        for (int i = 0; i < count; ++i) {
            PrinterInfoCache::Lookup(OString("QV no such printer ") + OString(unknown++));
        }
    };
    auto rereads = [&] {
        const int before = Spy::level2Calls;
        PrinterInfoCache::Lookup(name);
        return Spy::level2Calls > before;
    };
    PrinterInfoCache::Lookup(name);
    meetOthers(PrinterInfoCache::kMaxEntries - 1);
    EXPECT_FALSE(rereads()) << "kept, and now the most recent";
    meetOthers(1);
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), PrinterInfoCache::kMaxEntries);
    EXPECT_FALSE(rereads()) << "another printer made room";
    meetOthers(PrinterInfoCache::kMaxEntries);
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), PrinterInfoCache::kMaxEntries);
    EXPECT_TRUE(rereads()) << "forgotten: read again within the second";
}

TEST_F(PrinterInfoWineTest, EachThreadHasItsOwnCacheThatEndsWithTheThread) {
    WinePrinter printer(L"threads");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    PrinterInfo mine = PrinterInfoCache::Lookup(name);
    int driver = Spy::driverCalls;
    PrinterInfoCache* myCache = PrinterInfoCache::Get();
    size_t live = PrinterInfoCache::LiveCount();
    std::vector<std::thread> threads;
    std::atomic<int> own{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            bool empty = PrinterInfoCache::Get()->GetCount() == 0;
            PrinterInfo theirs = PrinterInfoCache::Lookup(name);
            bool apart =
                PrinterInfoCache::Get() != myCache && W(theirs.GetPortName()) == printer.Port();
            own += empty && apart && PrinterInfoCache::LiveCount() > live ? 1 : 0;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(own, 8) << "each thread started an empty cache of its own";
    EXPECT_GE(Spy::driverCalls, driver + 8) << "each thread made its own spooler calls";
    EXPECT_EQ(PrinterInfoCache::LiveCount(), live) << "caches of ended threads were kept";
    EXPECT_EQ(PrinterInfoCache::Peek(), myCache);
    int level2 = Spy::level2Calls;
    PrinterInfo again = PrinterInfoCache::Lookup(name);
    EXPECT_EQ(Spy::level2Calls, level2) << "this thread's entry is still fresh";
}

// A device mode claiming more than the spooler's buffer holds after it would be
// copied from beyond that buffer, and is dropped.
TEST_F(PrinterInfoWineTest, SessionPrinterIsRemoteAndAnOverlongDeviceModeIsDropped) {
    WinePrinter printer(L"place");
    QV_SKIP_WITHOUT_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataDword(L"TSSessionID", 2));
    ASSERT_TRUE(printer.SetDataString(L"ClientName", L"HOST-PC"));
    ASSERT_TRUE(printer.SetDataString(L"PrinterName", L"Label"));
    const OString name(printer.Name().c_str());
    for (DWORD overshoot : {0, 1024}) {
        SCOPED_TRACE(overshoot);
        QvTest::FreshPrinterCache::Forget();
        Spy::fake.devModeOvershoot = overshoot;
        for (int refresh = 0; refresh < 2; ++refresh) {  // a refresh derives the same names
            Spy::now += 1500;
            PrinterInfo info = PrinterInfoCache::Lookup(name);
            EXPECT_EQ(info.GetLastRefresh(), Spy::now.load());
            EXPECT_TRUE(info.IsRemote());
            EXPECT_TRUE(info.IsSessionRedirected());
            EXPECT_EQ(W(info.GetServerName()), L"HOST-PC");
            EXPECT_EQ(W(info.GetShortName()), L"Label");
            EXPECT_EQ(W(info.GetPortName()), printer.Port());
            EXPECT_EQ(info.GetDevMode() != nullptr, overshoot == 0);
            EXPECT_EQ(info.GetDevModeSize() != 0, overshoot == 0);
        }
    }
}

TEST_F(PrinterInfoWineTest, KeyOfAPrinterSharedFromAnotherMachineIsItsDirectoryName) {
    WinePrinter printer(L"key");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    const std::wstring own = L"\\\\CSR|" + ComputerName();
    struct Row {
        const wchar_t* server;
        const wchar_t* dsName;  // null: value absent
        std::wstring key;       // empty: the spooler's printer name
        const char* note;
    } rows[] = {
        {nullptr, L"Shared Label", L"", "no server name: a local printer"},
        {own.c_str(), L"Shared Label", L"", "this computer"},
        {L"\\\\PrintSrv", L"Shared Label", L"\\\\printsrv\\Shared Label", "another machine"},
        {L"\\\\PrintSrv", L"X", L"\\\\printsrv\\X", "one character is 4 bytes: more than 2"},
        {L"\\\\PrintSrv", L"", L"", "an empty name is 2 bytes: the spooler's name"},
        {L"\\\\PrintSrv", nullptr, L"", "no directory-service name: the spooler's name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        Spy::fake.level4Server = row.server;
        std::wstring ds = row.dsName != nullptr ? row.dsName : L"";
        ASSERT_TRUE(row.dsName != nullptr
                        ? printer.SetDataEx(L"DsSpooler", L"printerName", REG_SZ, ds.c_str(),
                                            static_cast<DWORD>((ds.size() + 1) * sizeof(wchar_t)))
                        : printer.DeleteData(L"printerName", L"DsSpooler"));
        EXPECT_EQ(W(PrinterInfoReader::KeyFromHandle(handle.Get())),
                  row.key.empty() ? printer.Name() : row.key);
    }
    EXPECT_TRUE(PrinterInfoReader::KeyFromHandle(nullptr).IsEmpty());

    // A key that cannot be opened is cached with empty facts.
    Spy::fake.level4Server = L"\\\\NoSuchServer";
    ASSERT_TRUE(printer.SetDataEx(L"DsSpooler", L"printerName", REG_SZ, L"Far", 8));
    PrinterInfo unreachable = PrinterInfoCache::Lookup(handle.Get());
    EXPECT_EQ(W(unreachable.GetPrinterName()), L"\\\\nosuchserver\\Far");
    EXPECT_TRUE(unreachable.GetPortName().IsEmpty());
    EXPECT_TRUE(unreachable.GetDriverName().IsEmpty());
    EXPECT_TRUE(unreachable.IsDriverPartRead());
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), 1);
}

// Wine 8's GetPrinterW level 2 writes past a buffer too short for its answer;
// the size queries behind these facts hand every call room it is not told of.
TEST(SpoolerOverrun, WritesPastAShortBufferStayInTheQueryGuard) {
    WinePrinter printer(L"overrun");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    DWORD needed = 0;
    ::GetPrinterW(handle.Get(), 2, nullptr, 0, &needed);
    DWORD furthest = 0;  // bytes past the size told that the call changed
    for (DWORD told = 1; told < needed; ++told) {
        std::vector<uint8_t> out;
        OQueryBuffer(
            out,
            [&](uint8_t* data, DWORD size) {
                ::GetPrinterW(handle.Get(), 2, data, size, &needed);
                for (DWORD past = kOQueryGuardBytes; past > furthest; --past) {
                    furthest = data[size + past - 1] != 0 ? past : furthest;
                }
                return OBufferAttempt{OBufferAttempt::Result::Done, 0, 0};
            },
            nullptr, told);
    }
    // The device mode's size field, 156 (0x9C 0x00), 36 bytes past where the
    // strings left off.
    EXPECT_EQ(furthest, 37u) << "another overrun: is the guard still right?";
}

}  // namespace
