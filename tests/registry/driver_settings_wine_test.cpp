// Driver settings of a real Wine printer: values are written straight into the
// printer's PrinterDriverData\Settings key with plain registry calls.
#include "registry/driver_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/handles.h"
#include "printer/printer_info.h"
#include "printer/printer_registry_facts.h"
#include "support/print_server.h"
#include "support/printer_cache.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"

namespace {

using QvTest::WinePrinter;

class DriverSettingsWineTest : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    void SetUp() override {
        if (!m_printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << OString(m_printer.Error().c_str()).GetNarrow();
        }
    }
    PrinterRegistry Registry() const {
        return PrinterRegistry(RegistryFactsOf(OString(m_printer.Name().c_str())));
    }
    std::wstring SettingsKey() const {
        return L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + m_printer.Name() +
               L"\\PrinterDriverData\\Settings";
    }
    bool Write(const std::wstring& key, const std::wstring& value, DWORD type, const void* data,
               DWORD bytes) {
        ORegKey handle;
        std::wstring path = key.empty() ? SettingsKey() : SettingsKey() + L"\\" + key;
        return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, handle.Put(), nullptr) == ERROR_SUCCESS &&
               ::RegSetValueExW(handle.Get(), value.c_str(), 0, type,
                                static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
    }
    bool WriteMode(DWORD mode) {
        return Write(L"Status", L"Status Monitoring Mode", REG_DWORD, &mode, 4);
    }
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
        {true, REG_DWORD, 3, 4, 0, 3, "mode 3, the highest"},
        {true, REG_DWORD, 0, 4, 2, 0, "mode 0 stored wins over a default"},
        {true, REG_DWORD, 4, 4, 1, 1, "4 is no mode: the default"},
        {true, REG_DWORD, 0xFFFFFFFF, 4, 2, 2, "taken unsigned"},
        {true, REG_BINARY, 2, 2, 0, 0, "2 bytes: the default"},
        {true, REG_BINARY, 3, 4, 0, 3, "4 bytes of any type"},
        {false, 0, 0, 0, 3, 3, "absent with a default"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey().c_str());
        if (row.stored) {
            ASSERT_TRUE(
                Write(L"Status", L"Status Monitoring Mode", row.type, &row.value, row.bytes));
        }
        DriverSettings settings;
        settings.SetDefaultMonitoringMode(row.defaultMode);
        settings.Load(Registry());
        EXPECT_EQ(settings.GetStatusMonitoringMode(), row.expected);
        EXPECT_EQ(settings.IsStatusMonitoringEnabled(), row.expected != 0);
    }
}

TEST_F(DriverSettingsWineTest, FirstAnswerIsCachedUntilTheNextLoad) {
    ASSERT_TRUE(WriteMode(2));
    const DWORD big = 0xFFFFFFF0;
    ASSERT_TRUE(Write(L"", L"Big", REG_DWORD, &big, 4));
    DriverSettings settings;
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 0u) << "without a registry: the default";
    PrinterRegistry registry = Registry();
    registry.SetKey(OString(L"LOCAL:Elsewhere"));  // Load reads below "Settings:" whatever the key
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u);
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 5), 5u);
    ASSERT_TRUE(WriteMode(1));
    const DWORD eleven = 11;
    ASSERT_TRUE(Write(L"", L"Missing", REG_DWORD, &eleven, 4));
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u) << "a cached setting was read again";
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 9), 5u) << "a default is cached like a value";
    EXPECT_EQ(settings.GetNumber(OString(L"Big"), 0), 0xFFFFFFF0u);
    // Names are cached by their exact case; the registry ignores case, so the
    // other spelling reads the value as it is now.
    EXPECT_EQ(settings.GetNumber(OString(L"status/status monitoring mode"), 0), 1u);
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u);
    EXPECT_EQ(settings.GetNumber(OString(L"Missing"), 9), 11u);
}

TEST_F(DriverSettingsWineTest, RegistryMutexIsReleasedAfterARead) {
    ASSERT_TRUE(WriteMode(1));
    DriverSettings settings;
    settings.Load(Registry());
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u);
    // Other test programs take the machine-wide mutex too, briefly: wait them out.
    EXPECT_TRUE(LockableFromAnotherThread(PrinterRegistry::kMutexName, 10000));
}

std::atomic<ULONGLONG> g_fakeNow{1000};
ULONGLONG WINAPI FakeNow() {
    return g_fakeNow.load();
}

// The machine-wide mutex is open to every user: one that holds it costs a
// read one short wait, and then none until the process tries it again.
TEST_F(DriverSettingsWineTest, AHeldRegistryMutexCostsOneShortWaitThenNone) {
    ASSERT_TRUE(WriteMode(2));
    OKernelHandle taken(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        OKernelHandle mutex(::CreateMutexW(nullptr, FALSE, PrinterRegistry::kMutexName));
        ::WaitForSingleObject(mutex.Get(), INFINITE);
        ::SetEvent(taken.Get());
        ::WaitForSingleObject(release.Get(), INFINITE);
        ::ReleaseMutex(mutex.Get());
    });
    ::WaitForSingleObject(taken.Get(), INFINITE);
    OClockOverride clock(OClockApi{&FakeNow});
    auto readMs = [&] {
        DriverSettings settings;
        settings.Load(Registry());
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(settings.GetStatusMonitoringMode(), 2u);
        return ::GetTickCount64() - start;
    };
    const struct {
        ULONGLONG advanceMs;
        bool waits;
        const char* note;
    } rows[] = {
        {0, true, "the first read waits the short wait out"},
        {1000, false, "then reads go without the mutex"},
        {PrinterRegistry::kReadsWithoutMutexMs, true, "until the process tries it again"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        g_fakeNow += row.advanceMs;
        const ULONGLONG ms = readMs();
        EXPECT_EQ(ms >= PrinterRegistry::kReadWaitMs - 100, row.waits) << ms << " ms";
        EXPECT_LT(ms, 5000u);
    }
    EXPECT_TRUE(PrinterRegistry::TakeReadTimeoutNotice());
    ::SetEvent(release.Get());
    holder.join();
}

// Every use of the cache takes the core's lock: a thread asking whether names
// are loaded, or marking them, while another reloads used to read entries the
// reload was freeing.
TEST_F(DriverSettingsWineTest, CacheUseOnTwoThreadsIsSerialised) {
    DriverSettings settings;
    DriverSettingsCore& core = settings.GetCore();
    PrinterRegistry registry = Registry();
    std::atomic<bool> done{false};
    std::thread marker([&] {
        for (int i = 0; !done; i = (i + 1) % 64) {
            OString name = OString::Formatted("n%d", i);
            core.MarkLoaded(name);
            core.IsLoaded(name);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        core.Load(registry);
    }
    done = true;
    marker.join();
    core.MarkLoaded(OString("last"));
    EXPECT_TRUE(core.IsLoaded(OString("last")));
    core.Load(registry);
    EXPECT_FALSE(core.IsLoaded(OString("last"))) << "a load empties the cache";
}

// A printer on a print server keeps its settings in the per-user mirror.
TEST_F(DriverSettingsWineTest, RemotePrinterReadsTheMirror) {
    ScopedPrintServer server;
    ASSERT_TRUE(server.Mirror().SetDword(
        L"PRINT:\\Printers\\" + m_printer.Name() + L"\\PrinterDriverData\\Settings\\Status",
        L"Status Monitoring Mode", 3));
    ASSERT_TRUE(WriteMode(1));
    PrinterRegistry registry = Registry();
    ASSERT_TRUE(registry.IsRemote());
    DriverSettings settings;
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 3u);
    registry.SetRedirect(false);
    settings.Load(registry);
    EXPECT_EQ(settings.GetStatusMonitoringMode(), 1u) << "the redirect flag was not copied";
}

}  // namespace
