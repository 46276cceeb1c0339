// DriverDLLProxy on real Wine printers with the simulated DAL modules; only WOW64 is faked.
#include "dal/dal_module.h"

#include <gtest/gtest.h>

#include "diagnostics/exceptions.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/printer_setup.h"
#include "sim_dal_printer.h"

namespace {

using QvTest::SimDalPrinter;

struct FakeBitness {
    static inline int calls = 0;
    static BOOL WINAPI Wow64(HANDLE, PBOOL wow64) { return ++calls, *wow64 = TRUE; }
};

class DalModuleWineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimDalPrinter::ClearCalls();
        DriverDLLProxy::ForgetBitness();
    }
    void TearDown() override {
        PrinterInfoCache::ClearThisThread();
        DriverDLLProxy::ForgetBitness();
    }
    static bool Loaded(const std::wstring& path) { return ::GetModuleHandleW(path.c_str()); }
};

TEST_F(DalModuleWineTest, ModulePathFromPrinterData) {
    SimDalPrinter printer(L"path", L"qvsimdal");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    const std::wstring driverFolder = QvSim::PrinterDriverFolder() + L"3\\";
    struct Row {
        const wchar_t* classic;  // "DAL Interface", null: absent
        const wchar_t* v3;       // "DAL Interface V3", null: absent
        const wchar_t* package;  // "DriverPackage", null: a classic driver
        std::wstring expected;
    };
    const Row rows[] = {
        {L"XyzDal.dll", nullptr, nullptr, driverFolder + L"XyzDal.d64"},
        {L"XyzDal.DLL", nullptr, nullptr, driverFolder + L"XyzDal.DLL"},
        {L"C:\\Elsewhere\\XyzDal.dll", nullptr, nullptr, driverFolder + L"XyzDal.d64"},
        {L"XyzDal.dll", L"Other.dll", nullptr, driverFolder + L"XyzDal.d64"},
        {nullptr, L"XyzDal.dll", L"C:\\Pkg\\Q1", L"C:\\Pkg\\Q1\\XyzDal.dll"},
        {L"XyzDal.dll", L"D:\\x\\V3Dal.dll", L"C:\\Pkg\\Q1", L"C:\\Pkg\\Q1\\V3Dal.dll"},
        {L"XyzDal.dll", nullptr, L"C:\\Pkg\\Q1", L""},
        {nullptr, nullptr, nullptr, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << OString(row.expected.c_str()).GetNarrow());
        for (auto [name, value] : {std::pair{L"DAL Interface", row.classic},
                                   {L"DAL Interface V3", row.v3},
                                   {L"DriverPackage", row.package}}) {
            ASSERT_TRUE(value != nullptr ? printer.Printer().SetDataString(name, value)
                                         : printer.Printer().DeleteData(name));
        }
        PrinterInfoCache::ClearThisThread();
        EXPECT_STREQ(DriverDLLProxy::GetDalModulePath(handle.Get()).GetWide(),
                     row.expected.c_str());
    }
}

TEST_F(DalModuleWineTest, BitnessIsAskedOncePerProcess) {
    EXPECT_FALSE(DriverDLLProxy::IsRunningUnderWow64()) << "Wine has no WOW64";
    DalModuleApi api;
    api.isWow64Process = &FakeBitness::Wow64;
    ScopedDalModuleApi seam(api);
    FakeBitness::calls = 0;
    EXPECT_FALSE(DriverDLLProxy::IsRunningUnderWow64()) << "the cached answer";
    DriverDLLProxy::ForgetBitness();
    EXPECT_TRUE(DriverDLLProxy::IsRunningUnderWow64());
    EXPECT_TRUE(DriverDLLProxy::IsRunningUnderWow64());
    EXPECT_EQ(FakeBitness::calls, 1);
}

TEST_F(DalModuleWineTest, VersionGateUnderWow64AndUnderIsolation) {
    struct Row {
        const wchar_t* variant;
        bool wow64;
        bool opens;
        bool proxied;
        bool throws;
        const char* note;
    };
    const Row rows[] = {
        {L"qvsimdal", true, true, true, false, "7.2.3.0 exactly: through the proxy"},
        {L"qvsimdal_old", true, false, false, false, "7.2.2.65535 under WOW64: no DAL"},
        {L"qvsimdal", false, true, true, false, "isolated 7.2.3.0: through the proxy"},
        {L"qvsimdal_old", false, true, false, false, "isolated 7.2.2.65535: in-process"},
        {L"qvsimdal_bare", false, true, false, false, "isolated, no version: in-process"},
        {L"qvsimdal_bare", true, false, false, true, "no version under WOW64: an exception"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        SimDalPrinter printer(L"gate", row.variant);
        QV_SKIP_WITHOUT_PRINTER(printer);
        ASSERT_TRUE(printer.SetIsolation(row.wow64 ? 0 : 1));
        DalModuleApi api;
        api.isWow64Process =
            row.wow64 ? &FakeBitness::Wow64 : ScopedDalModuleApi::Real().isWow64Process;
        ScopedDalModuleApi seam(api);
        DriverDLLProxy::ForgetBitness();
        SimDalPrinter::ClearCalls();
        OPrinterHandle handle = printer.Open();
        DriverDLLProxy dal;
        try {
            EXPECT_EQ(dal.PrinterOpen(handle.Get()) != 0, row.opens);
            EXPECT_FALSE(row.throws) << "no exception";
        } catch (const OException& e) {
            EXPECT_TRUE(row.throws);
            EXPECT_EQ(e.GetMessage(), "Internal STOP() issued.");
            EXPECT_NE(e.GetCode(), 0) << "the system's error code";
        }
        EXPECT_EQ(dal.IsProxied(), row.proxied);
        EXPECT_EQ(dal.IsInProcess(), row.opens && !row.proxied);
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        EXPECT_EQ(proxy != 0, row.proxied) << "a proxy process started";
        if (row.proxied) {
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

TEST_F(DalModuleWineTest, ModuleStaysLoadedAfterAFailedOpenAndIsClosedBeforeFree) {
    SimDalPrinter noOpen(L"noopen", L"qvsimdal_noopen");
    SimDalPrinter full(L"full", L"qvsimdal");
    QV_SKIP_WITHOUT_PRINTER(full);
    ASSERT_TRUE(noOpen.Ok());
    {
        OPrinterHandle handle = noOpen.Open();
        DriverDLLProxy dal;
        EXPECT_EQ(dal.PrinterOpen(handle.Get()), 0u);
        EXPECT_TRUE(Loaded(noOpen.ModulePath())) << "kept after the failed open";
    }
    EXPECT_FALSE(Loaded(noOpen.ModulePath())) << "freed by destruction";
    {
        OPrinterHandle handle = full.Open();
        DriverDLLProxy dal;
        ASSERT_NE(dal.PrinterOpen(handle.Get()), 0u);
        EXPECT_TRUE(dal.IsInProcess());
    }
    EXPECT_EQ(SimDalPrinter::CallTexts().back(), L"DAL_Printer_Close " + full.Printer().Name());
    EXPECT_FALSE(Loaded(full.ModulePath()));
}

}  // namespace
