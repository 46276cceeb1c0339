// Driver settings of real Wine printers: values are written straight into the
// printer's PrinterDriverData\Settings key with plain registry calls.
#include "registry/driver_settings.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <string>
#include <thread>

#include "printer/printer_info.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"

namespace {

using QvTest::WinePrinter;

std::string N(const std::wstring& s) { return OString(s.c_str()).GetNarrow(); }

const std::wstring kPrinters = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

bool WriteSetting(const WinePrinter& printer, const std::wstring& key, const std::wstring& value, DWORD type,
                  const void* data, DWORD bytes) {
    std::wstring path = kPrinters + printer.Name() + L"\\PrinterDriverData\\Settings";
    if (!key.empty()) {
        path += L"\\" + key;
    }
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG status = RegSetValueExW(handle, value.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

bool WriteMode(const WinePrinter& printer, DWORD mode) {
    return WriteSetting(printer, L"Status", L"Status Monitoring Mode", REG_DWORD, &mode, sizeof(mode));
}

class DriverSettingsWineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << N(m_printer.Error());
        }
    }
    void TearDown() override { PrinterInfoCache::ClearThisThread(); }

    PrinterRegistry Registry() const { return PrinterRegistry(OString(m_printer.Name().c_str())); }

    WinePrinter m_printer{L"settings"};
};

TEST_F(DriverSettingsWineTest, StatusMonitoringModeAndItsDefault) {
    struct Row {
        bool stored;
        DWORD type;
        DWORD value;
        DWORD bytes;
        uint32_t defaultMode;
        uint32_t expected;
        const char* note;
    };
    const Row rows[] = {
        {true, REG_DWORD, 2, 4, 0, 2, "mode 2"},
        {true, REG_DWORD, 1, 4, 0, 1, "mode 1"},
        {true, REG_DWORD, 3, 4, 0, 3, "mode 3, the highest"},
        {true, REG_DWORD, 0, 4, 2, 0, "mode 0 stored wins over a default"},
        {true, REG_DWORD, 7, 4, 0, 0, "7 is no mode: the default"},
        {true, REG_DWORD, 4, 4, 1, 1, "4 is no mode: the default"},
        {true, REG_DWORD, 0xFFFFFFFF, 4, 2, 2, "taken unsigned"},
        {true, REG_BINARY, 2, 2, 0, 0, "2 bytes: the default"},
        {true, REG_BINARY, 3, 4, 0, 3, "4 bytes of any type"},
        {false, 0, 0, 0, 0, 0, "absent"},
        {false, 0, 0, 0, 3, 3, "absent with a default"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring key = kPrinters + m_printer.Name() + L"\\PrinterDriverData\\Settings";
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        if (row.stored) {
            ASSERT_TRUE(WriteSetting(m_printer, L"Status", L"Status Monitoring Mode", row.type, &row.value, row.bytes));
        }
        DriverSettings settings;
        settings.SetDefaultMonitoringMode(row.defaultMode);
        settings.Load(Registry());
        EXPECT_EQ(settings.GetStatusMonitoringMode(), row.expected);
        EXPECT_EQ(settings.IsStatusMonitoringEnabled(), row.expected != 0);
    }
}

TEST_F(DriverSettingsWineTest, ValuesAreCachedUntilTheNextLoad) {
    ASSERT_TRUE(WriteMode(m_printer, 2));
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u);
    ASSERT_TRUE(WriteMode(m_printer, 1));
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u) << "a cached setting was read again";
    EXPECT_TRUE(settings.GetCore().IsLoaded(OString(L"Status/Status Monitoring Mode")));
    settings.Load(Registry());
    EXPECT_FALSE(settings.GetCore().IsLoaded(OString(L"Status/Status Monitoring Mode")));
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u);
}

TEST_F(DriverSettingsWineTest, DefaultsAreCachedLikeValues) {
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 5), 5u);
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 9), 5u);
    DWORD value = 11;
    ASSERT_TRUE(WriteSetting(m_printer, L"", L"Missing", REG_DWORD, &value, 4));
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 9), 5u);
}

TEST_F(DriverSettingsWineTest, NamesDifferingInCaseAreCachedApart) {
    ASSERT_TRUE(WriteMode(m_printer, 2));
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetNumber(OString(L"Status/Status Monitoring Mode"), 0), 2u);
    ASSERT_TRUE(WriteMode(m_printer, 3));
    // The registry ignores case: the other spelling reads the same value, now 3.
    EXPECT_EQ(settings.GetNumber(OString(L"status/status monitoring mode"), 0), 3u);
    EXPECT_EQ(settings.GetNumber(OString(L"Status/Status Monitoring Mode"), 0), 2u);
}

TEST_F(DriverSettingsWineTest, NumbersAboveInt32SurviveTheCache) {
    DWORD big = 0xFFFFFFF0;
    ASSERT_TRUE(WriteSetting(m_printer, L"", L"Big", REG_DWORD, &big, 4));
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetNumber(OString(L"Big"), 0), 0xFFFFFFF0u);
    EXPECT_EQ(settings.GetNumber(OString(L"Big"), 0), 0xFFFFFFF0u);
}

TEST_F(DriverSettingsWineTest, WithoutLoadTheDefaultIsNotCached) {
    ASSERT_TRUE(WriteMode(m_printer, 2));
    DriverSettings settings;
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 0u);
    settings.Load(Registry());
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u);
}

TEST_F(DriverSettingsWineTest, LoadKeepsACopyOnSettingsKey) {
    PrinterRegistry registry = Registry();
    registry.SetKey(OString(L"LOCAL:Elsewhere"));
    DriverSettings settings;
    settings.Load(registry);
    ASSERT_NE(settings.GetCore().GetRegistry(), nullptr);
    EXPECT_NE(settings.GetCore().GetRegistry(), &registry);
    EXPECT_STREQ(settings.GetCore().GetRegistry()->GetKey().GetNarrow(), "Settings:");
    EXPECT_STREQ(registry.GetKey().GetNarrow(), "LOCAL:Elsewhere") << "the caller's registry was changed";
}

TEST_F(DriverSettingsWineTest, RegistryMutexIsReleasedAfterARead) {
    ASSERT_TRUE(WriteMode(m_printer, 1));
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u);
    bool free = false;
    std::thread other([&free] {
        OMutex mutex(OString(L"Global\\Quorvel:PrinterRegistry"), 0);
        free = mutex.Lock();
        if (free) {
            mutex.Unlock();
        }
    });
    other.join();
    EXPECT_TRUE(free);
}

// A printer on a print server keeps its settings in the per-user mirror.
const wchar_t* g_server = nullptr;

BOOL WINAPI GetPrinterWithServer(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
    if (ok && level == 2 && buffer != nullptr && g_server != nullptr) {
        reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pServerName = const_cast<wchar_t*>(g_server);
    }
    return ok;
}

TEST_F(DriverSettingsWineTest, RemotePrinterReadsTheMirror) {
    const std::wstring server = UniqueTestName(L"qvsrv-");
    const std::wstring serverText = L"\\\\" + server;
    ScratchRegistryKey mirror(HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers", L"@" + server);
    ASSERT_TRUE(mirror.SetDword(L"PRINT:\\Printers\\" + m_printer.Name() + L"\\PrinterDriverData\\Settings\\Status",
                                L"Status Monitoring Mode", 3));
    ASSERT_TRUE(WriteMode(m_printer, 1));
    g_server = serverText.c_str();
    PrinterInfoApi api;
    api.getPrinter = GetPrinterWithServer;
    ScopedPrinterInfoApi seam(api);
    PrinterRegistry registry = Registry();
    g_server = nullptr;
    ASSERT_TRUE(registry.IsRemote());

    DriverSettings settings;
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 3u);
    registry.SetRedirect(false);
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u) << "the redirect flag was not copied";
}

}  // namespace
