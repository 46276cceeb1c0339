#include "printer/printer_info.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

// Spooler spy behind the printer-information seam: counts the calls, moves the
// clock, and makes up what Wine's spooler never reports (server names at levels
// 4 and 2, a failing level 2 read, a driver version and date). Everything else
// is Wine's real answer.
struct Spy {
    static inline std::atomic<int> level2Calls{0};
    static inline std::atomic<int> driverCalls{0};
    static inline std::atomic<uint64_t> now{500000};
    static inline std::atomic<bool> failLevel2{false};
    static inline const wchar_t* level4Server = nullptr;
    static inline const wchar_t* level2Server = nullptr;
    static inline const wchar_t* level2Name = nullptr;
    static inline const wchar_t* level2Port = nullptr;
    // Makes the level 2 device mode claim this many bytes more than the
    // spooler's buffer holds after it.
    static inline DWORD devModeOvershoot = 0;
    static inline uint64_t driverVersion = 0;
    static inline FILETIME driverDate = {};

    static void Reset() {
        level2Calls = 0;
        driverCalls = 0;
        now = 500000;
        failLevel2 = false;
        level4Server = level2Server = level2Name = level2Port = nullptr;
        devModeOvershoot = 0;
        driverVersion = 0;
        driverDate = {};
    }

    static BOOL WINAPI GetPrinter(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) {
        if (level == 2) {
            ++level2Calls;
            if (failLevel2) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        }
        BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
        if (ok && level == 4 && level4Server != nullptr) {
            reinterpret_cast<PRINTER_INFO_4W*>(buffer)->pServerName =
                const_cast<wchar_t*>(level4Server);
        }
        if (ok && level == 2) {
            auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
            if (level2Server != nullptr) {
                info->pServerName = const_cast<wchar_t*>(level2Server);
            }
            if (level2Name != nullptr) {
                info->pPrinterName = const_cast<wchar_t*>(level2Name);
            }
            if (level2Port != nullptr) {
                info->pPortName = const_cast<wchar_t*>(level2Port);
            }
            if (devModeOvershoot != 0 && info->pDevMode != nullptr) {
                auto* devMode = reinterpret_cast<BYTE*>(info->pDevMode);
                DWORD rest = static_cast<DWORD>(buffer + size - devMode);
                info->pDevMode->dmDriverExtra =
                    static_cast<WORD>(rest - info->pDevMode->dmSize + devModeOvershoot);
            }
        }
        return ok;
    }

    static BOOL WINAPI GetPrinterDriver(HANDLE printer, LPWSTR environment, DWORD level,
                                        LPBYTE buffer, DWORD size, LPDWORD needed) {
        ++driverCalls;
        BOOL ok = ::GetPrinterDriverW(printer, environment, level, buffer, size, needed);
        if (ok && level == 6) {
            auto* info = reinterpret_cast<DRIVER_INFO_6W*>(buffer);
            info->dwlDriverVersion = driverVersion;
            info->ftDriverDate = driverDate;
        }
        return ok;
    }

    static ULONGLONG WINAPI TickCount() { return now; }
};

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(name, &chars);
    return name;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(::towlower(c));
    }
    return text;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(::towupper(c));
    }
    return text;
}

std::wstring W(const OString& text) {
    return text.GetWide();
}

class PrinterInfoWineTest : public ::testing::Test {
protected:
    void SetUp() override {
        Spy::Reset();
        PrinterInfoApi api;
        api.getPrinter = &Spy::GetPrinter;
        api.getPrinterDriver = &Spy::GetPrinterDriver;
        api.getTickCount64 = &Spy::TickCount;
        m_api = std::make_unique<ScopedPrinterInfoApi>(api);
    }
    void TearDown() override {
        PrinterInfoCache::ClearThisThread();
        m_api.reset();
    }

    std::unique_ptr<ScopedPrinterInfoApi> m_api;
};

TEST_F(PrinterInfoWineTest, GathersSpoolerAndDriverFactsOfARealPrinter) {
    WinePrinter::Options options;
    options.dpi = 203;
    WinePrinter printer(L"gather", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    wchar_t folder[MAX_PATH] = {};
    DWORD needed = 0;
    ASSERT_TRUE(::GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(folder),
                                             sizeof folder, &needed));
    std::wstring driverFolder = std::wstring(folder) + L"\\3";  // version-3 drivers

    Spy::driverVersion = 0x0001000200030004ull;  // Wine reports none
    Spy::driverDate = {0x89ABCDEF, 0x01D2B3C4};
    PrinterInfo info(OString(printer.Name().c_str()));

    EXPECT_EQ(W(info.GetPrinterName()), printer.Name());
    EXPECT_EQ(W(info.GetPortName()), printer.Port());
    EXPECT_EQ(W(info.GetDriverName()), printer.DriverName());
    EXPECT_EQ(W(info.GetComment()), L"test comment");
    EXPECT_EQ(W(info.GetLocation()), L"test location");
    EXPECT_EQ(W(info.GetPrintProcessor()), L"WinPrint");
    EXPECT_EQ(W(info.GetDataType()), L"RAW");
    EXPECT_FALSE(info.IsRemote()) << "a local printer on a file port";
    EXPECT_EQ(W(info.GetServerName()), ComputerName())
        << "a local printer's server is this computer";
    EXPECT_EQ(W(info.GetShortName()), printer.Name());
    ASSERT_NE(info.GetDevMode(), nullptr);
    EXPECT_EQ(info.GetDevModeSize(), info.GetDevMode()->dmSize + info.GetDevMode()->dmDriverExtra);
    EXPECT_EQ(info.GetLastRefresh(), 500000u) << "the clock of the read";

    EXPECT_EQ(info.GetDriverVersionNumber(), 3u);
    EXPECT_EQ(W(info.GetEnvironment()), L"Windows x64");
    EXPECT_EQ(Lower(W(info.GetDriverDirectory())), Lower(driverFolder));
    EXPECT_EQ(W(info.GetDriverFile()), L"wineps.drv");
    EXPECT_EQ(W(info.GetConfigFile()), L"wineps.drv");
    EXPECT_EQ(W(info.GetDataFile()), printer.DataFileName());
    EXPECT_TRUE(info.GetHelpFile().IsEmpty());
    EXPECT_EQ(W(info.GetManufacturer()), L"Quorvel Test Manufacturer");
    EXPECT_EQ(W(info.GetHardwareId()), L"quorvel_test_hwid");
    EXPECT_EQ(W(info.GetProvider()), L"Quorvel Test Provider");
    EXPECT_EQ(info.GetDriverVersion(), 0x0001000200030004ull);
    EXPECT_EQ(info.GetDriverDate().dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(info.GetDriverDate().dwHighDateTime, 0x01D2B3C4u);
    EXPECT_TRUE(info.IsDriverPartRead());

    // "qvz42-..." : family of three letters, code of two.
    EXPECT_EQ(W(info.GetModelFamily()), L"qvz");
    EXPECT_EQ(W(info.GetModelCode()), L"42");
    EXPECT_TRUE(info.IsClassicLayout());
    EXPECT_TRUE(info.GetPackageFolder().IsEmpty());
    EXPECT_TRUE(info.GetConfigModule().IsEmpty());
    EXPECT_EQ(Lower(W(info.GetModuleDirectory())), Lower(driverFolder));
    EXPECT_EQ(W(info.GetModuleFile()), L"wineps.drv");

    // A lookup by handle finds the same entry.
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    PrinterInfo byHandle(handle.Get());
    EXPECT_EQ(W(byHandle.GetPortName()), printer.Port());
    EXPECT_EQ(byHandle.GetLastRefresh(), info.GetLastRefresh());
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), 1) << "both lookups share one entry";

    // Records are independent copies.
    PrinterInfo copy(info);
    EXPECT_NE(copy.GetDevMode(), info.GetDevMode()) << "the device mode is duplicated";
    EXPECT_EQ(copy.GetDevModeSize(), info.GetDevModeSize());
    PrinterInfo assigned;
    EXPECT_TRUE(assigned.GetPrinterName().IsEmpty());
    assigned = info;
    EXPECT_EQ(W(assigned.GetPortName()), printer.Port());
}

TEST_F(PrinterInfoWineTest, RereadsThePrinterPartAtMostOncePerSecondAndTheDriverPartOnce) {
    WinePrinter printer(L"refresh");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    PrinterInfo first(name);
    int level2 = Spy::level2Calls;
    int driver = Spy::driverCalls;
    EXPECT_GT(level2, 0);
    EXPECT_GT(driver, 0);

    // Change the printer behind the cache's back.
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
        bool reread;
        const wchar_t* location;
        const char* note;
    } steps[] = {
        {500, false, L"test location", "500 ms later: one map search, no spooler call"},
        {1000, false, L"test location",
         "exactly 1000 ms: not yet stale (the rule is 'greater than')"},
        {1500, true, L"moved", "1500 ms later: level 2 is read again"},
        {2000, false, L"moved", "500 ms after that refresh: cached again"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.note);
        Spy::now = 500000 + step.elapsed;
        int before = Spy::level2Calls;
        PrinterInfo again(name);
        EXPECT_EQ(Spy::level2Calls > before, step.reread);
        EXPECT_EQ(Spy::driverCalls, driver) << "the driver part is read only once";
        EXPECT_EQ(W(again.GetLocation()), step.location);
    }
}

TEST_F(PrinterInfoWineTest, EachThreadKeepsItsOwnEntry) {
    WinePrinter printer(L"threads");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    PrinterInfo mine(name);
    int driver = Spy::driverCalls;
    PrinterInfoCache* myCache = PrinterInfoCache::Get();

    PrinterInfoCache* otherCache = nullptr;
    std::wstring otherPort;
    int otherCountBefore = -1;
    std::thread other([&] {
        otherCountBefore = PrinterInfoCache::Get()->GetCount();
        PrinterInfo theirs(name);
        otherCache = PrinterInfoCache::Get();
        otherPort = W(theirs.GetPortName());
    });
    other.join();

    EXPECT_NE(otherCache, myCache);
    EXPECT_EQ(otherCountBefore, 0) << "a new thread starts with an empty cache";
    EXPECT_EQ(otherPort, printer.Port());
    EXPECT_GT(Spy::driverCalls, driver) << "the other thread made its own spooler calls";

    int level2 = Spy::level2Calls;
    PrinterInfo again(name);
    EXPECT_EQ(Spy::level2Calls, level2) << "this thread's entry is still fresh";
    EXPECT_EQ(myCache->GetCount(), 1);

    // A thread's cache ends with the thread; this thread's stays.
    size_t live = PrinterInfoCache::LiveCount();
    std::vector<std::thread> brief;
    std::atomic<int> grown{0};
    for (int i = 0; i < 8; ++i) {
        brief.emplace_back([&] {
            PrinterInfo theirs(name);
            grown += PrinterInfoCache::LiveCount() > live ? 1 : 0;
        });
    }
    for (std::thread& thread : brief) {
        thread.join();
    }
    EXPECT_EQ(grown, 8) << "each thread had a cache of its own";
    EXPECT_EQ(PrinterInfoCache::LiveCount(), live) << "caches of ended threads were kept";
    EXPECT_EQ(PrinterInfoCache::Peek(), myCache);
}

// The sizes inside a device mode are the driver's word, not the spooler's: a
// device mode claiming more bytes than the level 2 buffer holds after it would
// be copied from beyond that buffer. It is dropped as malformed instead.
TEST_F(PrinterInfoWineTest, DeviceModeLargerThanTheSpoolerBufferIsNotCopied) {
    WinePrinter printer(L"devmode");
    QV_SKIP_WITHOUT_PRINTER(printer);
    Spy::devModeOvershoot = 1024;
    PrinterInfo info(OString(printer.Name().c_str()));
    EXPECT_EQ(info.GetDevMode(), nullptr);
    EXPECT_EQ(info.GetDevModeSize(), 0u);
    EXPECT_EQ(W(info.GetPortName()), printer.Port()) << "the rest of level 2 is still read";
}

TEST_F(PrinterInfoWineTest, FailedRefreshKeepsTheLastGoodFacts) {
    WinePrinter printer(L"failed");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OString name(printer.Name().c_str());
    PrinterInfo first(name);
    ASSERT_FALSE(first.IsRemote());

    Spy::failLevel2 = true;
    Spy::now = 500000 + 1500;
    int before = Spy::level2Calls;
    PrinterInfo failed(name);
    EXPECT_GT(Spy::level2Calls, before) << "a stale entry is read again";
    EXPECT_EQ(failed.GetLastRefresh(), 500000u) << "a failed read does not move the refresh time";
    EXPECT_FALSE(failed.IsRemote())
        << "the last good server name must not make a local printer remote";
    EXPECT_EQ(W(failed.GetServerName()), ComputerName());
    EXPECT_EQ(W(failed.GetPortName()), printer.Port());

    Spy::failLevel2 = false;
    Spy::now = 500000 + 1600;
    before = Spy::level2Calls;
    PrinterInfo recovered(name);
    EXPECT_GT(Spy::level2Calls, before) << "no successful read yet: the next lookup tries again";
    EXPECT_EQ(recovered.GetLastRefresh(), 501600u);
}

TEST_F(PrinterInfoWineTest, KeyFollowsTheServerNameRules) {
    WinePrinter printer(L"key");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    const std::wstring computer = ComputerName();
    const std::wstring csrServer = L"\\\\CSR|" + Upper(computer);
    const std::wstring ownServer = L"\\\\" + Lower(computer);
    const std::wstring bare = L"PrintSrv";

    struct Row {
        const wchar_t* server;
        const wchar_t* dsName;  // null: value absent
        std::wstring key;       // empty: the spooler's printer name
        const char* note;
    } rows[] = {
        {nullptr, L"Shared Label", L"", "no server name: a local printer"},
        {L"", L"Shared Label", L"", "empty server name: a local printer"},
        {csrServer.c_str(), L"Shared Label", L"",
         "\\\\CSR| and this computer: as if there were no prefix"},
        {ownServer.c_str(), L"Shared Label", L"", "this computer in another case"},
        {bare.c_str(), L"Shared Label", L"", "no leading backslashes: taken as this computer"},
        {L"\\\\PrintSrv", L"Shared Label", L"\\\\printsrv\\Shared Label",
         "shared from another server"},
        {L"\\\\CSR|PrintSrv", L"Shared Label", L"\\\\printsrv\\Shared Label",
         "\\\\CSR| of another server"},
        {L"\\\\PrintSrv", L"X", L"\\\\printsrv\\X", "one character is 4 bytes: longer than 2"},
        {L"\\\\PrintSrv", L"", L"", "an empty name is 2 bytes: the spooler's name"},
        {L"\\\\PrintSrv", nullptr, L"", "no directory-service name: the spooler's name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        Spy::level4Server = row.server;
        if (row.dsName != nullptr) {
            std::wstring value = row.dsName;
            ASSERT_TRUE(
                printer.SetDataEx(L"DsSpooler", L"printerName", REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
        } else {
            ASSERT_TRUE(printer.DeleteData(L"printerName", L"DsSpooler"));
        }
        std::wstring want = row.key.empty() ? printer.Name() : row.key;
        EXPECT_EQ(W(PrinterInfo::KeyFromHandle(handle.Get())), want);
    }
    Spy::level4Server = nullptr;
    EXPECT_TRUE(PrinterInfo::KeyFromHandle(nullptr).IsEmpty());
}

TEST_F(PrinterInfoWineTest, ARemoteKeyThatCannotBeOpenedIsCachedWithEmptyFacts) {
    WinePrinter printer(L"unreachable");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    std::wstring ds = L"Far Label";
    ASSERT_TRUE(printer.SetDataEx(L"DsSpooler", L"printerName", REG_SZ, ds.c_str(),
                                  static_cast<DWORD>((ds.size() + 1) * sizeof(wchar_t))));
    Spy::level4Server = L"\\\\NoSuchServer";
    PrinterInfo info(handle.Get());
    EXPECT_EQ(W(info.GetPrinterName()), L"\\\\nosuchserver\\Far Label");
    EXPECT_TRUE(info.GetPortName().IsEmpty());
    EXPECT_TRUE(info.GetDriverName().IsEmpty());
    EXPECT_TRUE(info.IsDriverPartRead());
    EXPECT_TRUE(info.IsClassicLayout());
    EXPECT_EQ(PrinterInfoCache::Get()->GetCount(), 1);
}

TEST_F(PrinterInfoWineTest, ServerOrNetworkPortMakesThePrinterRemote) {
    WinePrinter networked(L"netport");
    WinePrinter local(L"srvname");
    if (!networked.Ok() || !local.Ok()) {
        GTEST_SKIP() << "no Wine printer";
    }
    // A session id must not matter once the printer is remote by its port.
    ASSERT_TRUE(networked.SetDataDword(L"TSSessionID", 2));

    // What a printer on another machine's queue looks like at level 2. (A real
    // Wine printer on a "\\host\queue" port corrupts the test program's heap
    // inside Wine's spooler, so the port is reported through the seam.)
    Spy::level2Port = L"\\\\qvhost\\labelq";
    PrinterInfo viaPort(OString(networked.Name().c_str()));
    EXPECT_TRUE(viaPort.IsRemote());
    EXPECT_EQ(W(viaPort.GetServerName()), L"qvhost");
    EXPECT_EQ(W(viaPort.GetShareName()), L"labelq");
    EXPECT_FALSE(viaPort.IsSessionRedirected());
    Spy::level2Port = nullptr;

    // What a printer on a print server looks like at level 2.
    Spy::level2Server = L"\\\\PrintSrv";
    Spy::level2Name = L"\\\\PrintSrv\\Label 4";
    PrinterInfo viaServer(OString(local.Name().c_str()));
    EXPECT_TRUE(viaServer.IsRemote());
    EXPECT_EQ(W(viaServer.GetServerName()), L"PrintSrv");
    EXPECT_EQ(W(viaServer.GetPrinterName()), L"\\\\PrintSrv\\Label 4");
    EXPECT_EQ(W(viaServer.GetShortName()), L"Label 4");
}

TEST_F(PrinterInfoWineTest, SessionPrinterIsNamedAfterItsClient) {
    WinePrinter printer(L"session");
    QV_SKIP_WITHOUT_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataDword(L"TSSessionID", 2));
    ASSERT_TRUE(printer.SetDataString(L"ClientName", L"HOST-PC"));
    ASSERT_TRUE(printer.SetDataString(L"PrinterName", L"Label"));
    PrinterInfo info(OString(printer.Name().c_str()));
    EXPECT_TRUE(info.IsSessionRedirected());
    EXPECT_TRUE(info.IsRemote());
    EXPECT_EQ(W(info.GetServerName()), L"HOST-PC");
    EXPECT_EQ(W(info.GetShortName()), L"Label");

    // The refresh a second later derives the same names again.
    Spy::now = 500000 + 1500;
    PrinterInfo later(OString(printer.Name().c_str()));
    EXPECT_EQ(later.GetLastRefresh(), 501500u);
    EXPECT_EQ(W(later.GetServerName()), L"HOST-PC");
    EXPECT_EQ(W(later.GetShortName()), L"Label");
}

TEST_F(PrinterInfoWineTest, DriverPackageSelectsThePackageModules) {
    WinePrinter::Options options;
    options.dpi = 300;
    options.dataFilePrefix = L"QVa7x";
    WinePrinter printer(L"package", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataString(L"DriverPackage", L"C:\\Packages\\qva7"));
    PrinterInfo info(OString(printer.Name().c_str()));
    EXPECT_EQ(W(info.GetModelFamily()), L"qva") << "lower-cased";
    EXPECT_EQ(W(info.GetModelCode()), L"7x");
    EXPECT_FALSE(info.IsClassicLayout());
    EXPECT_EQ(W(info.GetPackageFolder()), L"C:\\Packages\\qva7");
    EXPECT_EQ(W(info.GetConfigModule()), L"Quorvel_ConfigModule_QVA.dll");
    EXPECT_EQ(W(info.GetPrintModule()), L"Quorvel_PrintModule_QVA.dll");
    EXPECT_EQ(W(info.GetModuleDirectory()), L"C:\\Packages\\qva7");
    EXPECT_EQ(W(info.GetModuleFile()), L"Quorvel_ConfigModule_QVA.dll");
}

TEST_F(PrinterInfoWineTest, ShortDataFileNameGivesAShortFamily) {
    WinePrinter::Options options;
    options.dataFileName = L"ab";
    WinePrinter printer(L"short", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    PrinterInfo info(OString(printer.Name().c_str()));
    EXPECT_EQ(W(info.GetDataFile()), L"ab");
    EXPECT_EQ(W(info.GetModelFamily()), L"ab");
    EXPECT_TRUE(info.GetModelCode().IsEmpty());
    EXPECT_TRUE(info.IsClassicLayout());
    EXPECT_EQ(W(info.GetModuleFile()), L"wineps.drv");
}

}  // namespace
