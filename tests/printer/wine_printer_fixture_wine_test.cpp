// The shared printer fixture does what other test programs rely on it for.

#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

std::vector<BYTE> Level(HANDLE printer, DWORD level) {
    DWORD needed = 0;
    ::GetPrinterW(printer, level, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !::GetPrinterW(printer, level, buffer.data(), needed, &needed)) {
        buffer.clear();
    }
    return buffer;
}

TEST(WinePrinterFixture, SetsStatusAndBidiThroughTheRealSpooler) {
    WinePrinter printer(L"fixture");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);

    ASSERT_TRUE(printer.SetStatus(PRINTER_STATUS_PAPER_OUT | PRINTER_STATUS_PAUSED));
    std::vector<BYTE> six = Level(handle.Get(), 6);
    ASSERT_FALSE(six.empty());
    EXPECT_EQ(reinterpret_cast<PRINTER_INFO_6*>(six.data())->dwStatus, 0x11u)
        << "paper out 0x10 | paused 0x1";

    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "bidi on" : "bidi off");
        ASSERT_TRUE(printer.SetBidi(enabled));
        std::vector<BYTE> two = Level(handle.Get(), 2);
        ASSERT_FALSE(two.empty());
        EXPECT_EQ((reinterpret_cast<PRINTER_INFO_2W*>(two.data())->Attributes & 0x800) != 0,
                  enabled);
    }
}

TEST(WinePrinterFixture, DeletesPrinterDataWithoutTheSpooler) {
    WinePrinter printer(L"fixturedata");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(printer.SetDataDword(L"Plain", 7));
    ASSERT_TRUE(printer.SetDataEx(L"Trevamark", L"Keyed", REG_DWORD, "\x01\x00\x00\x00", 4));
    DWORD type = 0, value = 0, size = 0;
    ASSERT_EQ(::GetPrinterDataW(handle.Get(), const_cast<wchar_t*>(L"Plain"), &type,
                                reinterpret_cast<BYTE*>(&value), sizeof value, &size),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(value, 7u);

    EXPECT_TRUE(printer.DeleteData(L"Plain"));
    EXPECT_TRUE(printer.DeleteData(L"Keyed", L"Trevamark"));
    EXPECT_TRUE(printer.DeleteData(L"Keyed", L"Trevamark")) << "deleting what is gone succeeds";
    EXPECT_EQ(::GetPrinterDataW(handle.Get(), const_cast<wchar_t*>(L"Plain"), &type,
                                reinterpret_cast<BYTE*>(&value), sizeof value, &size),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(::GetPrinterDataExW(handle.Get(), L"Trevamark", L"Keyed", &type,
                                  reinterpret_cast<BYTE*>(&value), sizeof value, &size),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(WinePrinterFixture, RemovesItsPrinterAndDriver) {
    std::wstring name;
    std::wstring key;
    {
        WinePrinter printer(L"fixtureremoval");
        QV_SKIP_WITHOUT_PRINTER(printer);
        name = printer.Name();
        key = printer.DriverRegistryPath();
    }
    HANDLE handle = nullptr;
    EXPECT_FALSE(::OpenPrinterW(name.data(), &handle, nullptr));
    HKEY driver = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &driver),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
