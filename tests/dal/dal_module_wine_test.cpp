// DriverDLLProxy on real Wine printers with the simulated DAL modules; only WOW64 is faked.
#include "dal/dal_module.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/handles.h"
#include "diagnostics/exceptions.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/printer_setup.h"
#include "sim_dal_printer.h"
#include "support/printer_cache.h"

namespace {

using QvTest::SimDalPrinter;

BOOL WINAPI FakeWow64(HANDLE, PBOOL wow64) {
    return *wow64 = TRUE;
}

class DalModuleWineTest : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    void SetUp() override { SimDalPrinter::ClearCalls(); }
    void TearDown() override { DriverDLLProxy::ForgetBitness(); }
    static bool Loaded(const std::wstring& path) { return ::GetModuleHandleW(path.c_str()); }
};

TEST_F(DalModuleWineTest, ModulePathFromPrinterData) {
    SimDalPrinter printer(L"path", L"qvsimdal");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    const std::wstring driverFolder = QvSim::PrinterDriverFolder() + L"3\\";
    // "DAL Interface", "DAL Interface V3", "DriverPackage" (null: absent), module path.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, std::wstring> rows[] = {
        {L"XyzDal.dll", nullptr, nullptr, driverFolder + L"XyzDal.d64"},
        {L"XyzDal.DLL", nullptr, nullptr, driverFolder + L"XyzDal.DLL"},
        {L"XyzDal.dll", L"Other.dll", nullptr, driverFolder + L"XyzDal.d64"},
        {nullptr, L"XyzDal.dll", L"C:\\Pkg\\Q1", L"C:\\Pkg\\Q1\\XyzDal.dll"},
        {L"XyzDal.dll", L"D:\\x\\V3Dal.dll", L"C:\\Pkg\\Q1", L"C:\\Pkg\\Q1\\V3Dal.dll"},
        {L"XyzDal.dll", nullptr, L"C:\\Pkg\\Q1", L""},
        {nullptr, nullptr, nullptr, L""},
    };
    for (const auto& [classic, v3, package, expected] : rows) {
        SCOPED_TRACE(testing::Message() << OString(expected.c_str()).GetNarrow());
        for (auto [name, value] : {std::pair{L"DAL Interface", classic},
                                   {L"DAL Interface V3", v3},
                                   {L"DriverPackage", package}}) {
            ASSERT_TRUE(value != nullptr ? printer.Printer().SetDataString(name, value)
                                         : printer.Printer().DeleteData(name));
        }
        QvTest::FreshPrinterCache::Forget();
        EXPECT_STREQ(DriverDLLProxy::GetDalModulePath(handle.Get()).GetWide(), expected.c_str());
    }
}

// Printer data that names a module outside the driver's folders: each form is
// refused before the file is touched, and a marker copy of a real module
// proves by its absence from the process that nothing was loaded.
TEST_F(DalModuleWineTest, AModuleOutsideTheDriverFoldersIsNeverLoaded) {
    SimDalPrinter printer(L"outside", L"qvsimdal");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    const std::wstring drivers = QvSim::PrinterDriverFolder() + L"3";
    const std::wstring review = L"C:\\qvreview";
    ::CreateDirectoryW(review.c_str(), nullptr);
    // "DAL Interface", "DAL Interface V3", "DriverPackage", the marker's file, note.
    const std::tuple<const wchar_t*, std::wstring, std::wstring, std::wstring, const char*> rows[] =
        {
            {nullptr, L"qvmark1.dll", review, review + L"\\qvmark1.dll",
             "a package folder outside"},
            {nullptr, L"../../../../../../qvreview/qvmark2.dll", drivers, review + L"\\qvmark2.dll",
             "forward slashes out of a real driver folder"},
            {L"../../../../../../qvreview/qvmark3.dll", L"", L"", review + L"\\qvmark3.d64",
             "the classic driver's .d64 rule"},
            {nullptr, L"qvmark4.dll", drivers + L"\\..\\..\\..\\..\\..\\..\\qvreview",
             review + L"\\qvmark4.dll", "\"..\" in the package folder"},
            {nullptr, L"qvmark5.dll", L"C:qvreview", review + L"\\qvmark5.dll", "drive-relative"},
            {nullptr, L"qvmark6.dll", L"\\\\localhost\\C$\\qvreview", review + L"\\qvmark6.dll",
             "UNC"},
            {nullptr, L"qvmark7.dll", L"\\\\?\\C:\\qvreview", review + L"\\qvmark7.dll",
             "device path"},
            {nullptr, L"qvmark8.dll", L"\\\\.\\C:\\qvreview", review + L"\\qvmark8.dll",
             "device path"},
            {nullptr, L"C:qvmark9.dll", drivers, drivers + L"\\qvmark9.dll",
             "a drive in the file name"},
        };
    for (const auto& [classic, v3, package, marker, note] : rows) {
        SCOPED_TRACE(note);
        ASSERT_TRUE(::CopyFileW(printer.ModulePath().c_str(), marker.c_str(), FALSE));
        OScopeGuard remove([&] { ::DeleteFileW(marker.c_str()); });
        ASSERT_TRUE(classic != nullptr ? printer.Printer().SetDataString(L"DAL Interface", classic)
                                       : printer.Printer().DeleteData(L"DAL Interface"));
        ASSERT_TRUE(!v3.empty() ? printer.Printer().SetDataString(L"DAL Interface V3", v3)
                                : printer.Printer().DeleteData(L"DAL Interface V3"));
        ASSERT_TRUE(!package.empty() ? printer.Printer().SetDataString(L"DriverPackage", package)
                                     : printer.Printer().DeleteData(L"DriverPackage"));
        QvTest::FreshPrinterCache::Forget();
        DriverDLLProxy dal;
        EXPECT_EQ(dal.PrinterOpen(handle.Get()), 0u);
        EXPECT_FALSE(dal.Refusal().IsEmpty());
        const std::wstring base = marker.substr(marker.rfind(L'\\') + 1);
        EXPECT_EQ(::GetModuleHandleW(base.c_str()), nullptr) << "the marker was loaded";
    }
    ::RemoveDirectoryW(review.c_str());
    // The same module inside the driver folder loads.
    const std::wstring inside = drivers + L"\\qvmarkin.dll";
    ASSERT_TRUE(::CopyFileW(printer.ModulePath().c_str(), inside.c_str(), FALSE));
    OScopeGuard remove([&] { ::DeleteFileW(inside.c_str()); });
    ASSERT_TRUE(printer.Printer().SetDataString(L"DAL Interface V3", L"qvmarkin.dll"));
    ASSERT_TRUE(printer.Printer().SetDataString(L"DriverPackage", drivers));
    QvTest::FreshPrinterCache::Forget();
    DriverDLLProxy dal;
    EXPECT_NE(dal.PrinterOpen(handle.Get()), 0u);
    EXPECT_TRUE(dal.Refusal().IsEmpty()) << dal.Refusal().GetNarrow();
    EXPECT_TRUE(Loaded(inside));
}

TEST_F(DalModuleWineTest, VersionGateUnderWow64AndUnderIsolation) {
    enum Outcome { NoDal, InProcess, Proxied, Throws };
    const std::tuple<const wchar_t*, bool, Outcome, const char*> rows[] = {
        {L"qvsimdal", true, Proxied, "7.2.3.0 exactly: through the proxy"},
        {L"qvsimdal_old", true, NoDal, "7.2.2.65535 under WOW64: no DAL"},
        {L"qvsimdal", false, Proxied, "isolated 7.2.3.0: through the proxy"},
        {L"qvsimdal_old", false, InProcess, "isolated 7.2.2.65535: in-process"},
        {L"qvsimdal_bare", true, Throws, "no version under WOW64: an exception"},
    };
    // Under WOW64 the proxy is the 64-bit RunDLL32 reached through Sysnative,
    // which a 64-bit process under Wine lacks: a copy stands in for it.
    wchar_t windows[MAX_PATH] = {}, system[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH), ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring folder = std::wstring(windows) + L"\\Sysnative",
                       copy = folder + L"\\rundll32.exe";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(
        ::CopyFileW((std::wstring(system) + L"\\rundll32.exe").c_str(), copy.c_str(), FALSE));
    OScopeGuard remove([&] { ::DeleteFileW(copy.c_str()), ::RemoveDirectoryW(folder.c_str()); });
    for (const auto& [variant, wow64, expected, note] : rows) {
        SCOPED_TRACE(note);
        SimDalPrinter printer(L"gate", variant);
        QV_SKIP_WITHOUT_PRINTER(printer);
        ASSERT_TRUE(printer.SetIsolation(wow64 ? 0 : 1));
        ScopedDalModuleApi seam(
            DalModuleApi{wow64 ? &FakeWow64 : ScopedDalModuleApi::Real().isWow64Process});
        DriverDLLProxy::ForgetBitness();
        EXPECT_STREQ(DriverDLLProxy::ProxyProgramPath().GetWide(),
                     wow64 ? copy.c_str() : (std::wstring(system) + L"\\rundll32.exe").c_str());
        SimDalPrinter::ClearCalls();
        OPrinterHandle handle = printer.Open();
        DriverDLLProxy dal;
        Outcome outcome = Throws;
        try {
            outcome = dal.PrinterOpen(handle.Get()) == 0 ? NoDal
                      : dal.IsProxied()                  ? Proxied
                                                         : InProcess;
        } catch (const OException& e) {
            EXPECT_EQ(e.GetMessage(), "Internal STOP() issued.");
            EXPECT_NE(e.GetCode(), 0) << "the system's error code";
        }
        EXPECT_EQ(outcome, expected);
        EXPECT_EQ(dal.IsInProcess(), outcome == InProcess);
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        EXPECT_EQ(proxy != 0, outcome == Proxied) << "a proxy process started";
        if (outcome == Proxied) {
            EXPECT_NE(proxy, ::GetCurrentProcessId());
            EXPECT_EQ(SimDalPrinter::LastProcessOf(L"DAL_Printer_Open"), proxy);
        }
    }
}

TEST_F(DalModuleWineTest, MissingExportsDoNothingAndActionUIFallsBack) {
    SimDalPrinter printer(L"bare", L"qvsimdal_bare");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    OString exported(L"C:\\no-such-folder\\exported.txt");
    {
        DriverDLLProxy dal;
        uint64_t handleOfDal = dal.PrinterOpen(handle.Get());
        ASSERT_NE(handleOfDal, 0u);
        dal.SettingsSave(handleOfDal);
        dal.SettingsExport(handleOfDal, exported, 0);
        dal.SettingsImport(handleOfDal, exported, 0);
        dal.SettingsReset(handleOfDal, 0);
        EXPECT_EQ(dal.PrinterActionFlag(handleOfDal, QvSimDal::kActionCalibrate), 0u);
        EXPECT_TRUE(dal.PrinterActionUI(handleOfDal, nullptr, QvSimDal::kActionCalibrate));
        EXPECT_FALSE(dal.PrinterActionUI(handleOfDal, nullptr, 7)) << "the action's own answer";
        dal.PrinterClose(handleOfDal);
        EXPECT_FALSE(Loaded(printer.ModulePath())) << "freed after close";
    }
    const std::wstring name = printer.Printer().Name();
    std::vector<std::wstring> expected = {L"DAL_Printer_Open " + name,
                                          L"DAL_Printer_Action " + name + L" 101",
                                          L"DAL_Printer_Action " + name + L" 7"};
    EXPECT_EQ(SimDalPrinter::CallTexts(), expected) << "nothing reached the missing exports";
}

// A module without DAL_Printer_ActionUI and DAL_Settings_Save: the same calls
// reach it in this process and through a proxy, which would stop serving if
// asked for an export its module lacks.
TEST_F(DalModuleWineTest, MissingExportsFallBackAlikeThroughEitherChannel) {
    SimDalPrinter printer(L"noui", L"qvsimdal_noui");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    const std::wstring name = printer.Printer().Name();
    const std::vector<std::wstring> expected = {
        L"DAL_Printer_Open " + name, L"DAL_Printer_Action " + name + L" 101",
        L"DAL_Printer_Action " + name + L" 7", L"DAL_Printer_ActionFlag " + name + L" 101",
        L"DAL_Printer_Close " + name};
    for (DWORD isolation : {0u, 1u}) {
        SCOPED_TRACE(isolation ? "through the proxy" : "in-process");
        ASSERT_TRUE(printer.SetIsolation(isolation));
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        uint64_t dalHandle = dal.PrinterOpen(handle.Get());
        ASSERT_TRUE(dalHandle != 0 && dal.IsProxied() == (isolation == 1));
        EXPECT_TRUE(dal.PrinterActionUI(dalHandle, nullptr, QvSimDal::kActionCalibrate));
        EXPECT_FALSE(dal.PrinterActionUI(dalHandle, nullptr, 7)) << "the action's own answer";
        dal.SettingsSave(dalHandle);
        EXPECT_EQ(dal.PrinterActionFlag(dalHandle, QvSimDal::kActionCalibrate), 0x3u);
        dal.PrinterClose(dalHandle);
        std::vector<std::wstring> calls = SimDalPrinter::CallTexts();
        std::erase_if(calls,
                      [](const std::wstring& call) { return call.starts_with(L"DAL_Proxy"); });
        EXPECT_EQ(calls, expected);
    }
}

TEST_F(DalModuleWineTest, ModuleStaysLoadedAfterAFailedOpenAndIsClosedBeforeFree) {
    SimDalPrinter noOpen(L"noopen", L"qvsimdal_noopen");
    SimDalPrinter full(L"full", L"qvsimdal");
    QV_SKIP_WITHOUT_PRINTER(full);
    ASSERT_TRUE(noOpen.Ok());
    for (const SimDalPrinter* printer : {&noOpen, &full}) {
        {
            OPrinterHandle handle = printer->Open();
            DriverDLLProxy dal;
            EXPECT_EQ(dal.PrinterOpen(handle.Get()) != 0, printer == &full);
            EXPECT_TRUE(Loaded(printer->ModulePath())) << "kept after the open, failed or not";
        }
        EXPECT_FALSE(Loaded(printer->ModulePath())) << "freed by destruction";
    }
    EXPECT_EQ(SimDalPrinter::CallTexts().back(), L"DAL_Printer_Close " + full.Printer().Name());
}

}  // namespace
