// The printer registry on a Wine printer whose name holds a '/', which every
// printer path must carry as one escaped key name.
#include "registry/printer_registry.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <memory>
#include <string>

#include "printer/printer_registry_facts.h"
#include "support/print_server.h"
#include "support/printer_cache.h"
#include "support/scratch_registry.h"
#include "support/text.h"
#include "support/wine_printer.h"

namespace {

using QvTest::ComputerName;
using QvTest::N;
using QvTest::O;
using QvTest::WinePrinter;

const std::wstring kPrinters = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

class PrinterRegistryWineTest : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    static void SetUpTestSuite() {
        WinePrinter::Options options;
        options.dpi = 203;  // a generated description named "qvz42..." as data file
        options.nameSuffix = L" a/b";
        s_printer = std::make_unique<WinePrinter>(L"registry", options);
    }
    static void TearDownTestSuite() { s_printer.reset(); }
    void SetUp() override {
        if (!s_printer->Ok()) {
            GTEST_SKIP() << "no Wine printer: " << N(s_printer->Error());
        }
    }
    static const std::wstring& Name() { return s_printer->Name(); }
    // GetPrinterDataW of a REG_DWORD; error gets the call's result.
    static DWORD SpoolerDword(const wchar_t* value, DWORD& error) {
        OPrinterHandle handle = s_printer->Open();
        DWORD data = 0;
        DWORD type = 0;
        DWORD needed = 0;
        error = ::GetPrinterDataW(handle.Get(), const_cast<wchar_t*>(value), &type,
                                  reinterpret_cast<BYTE*>(&data), sizeof(data), &needed);
        return data;
    }
    static inline std::unique_ptr<WinePrinter> s_printer;
};

TEST_F(PrinterRegistryWineTest, EveryLogicalRootWritesWhereItShould) {
    const std::wstring driverData = kPrinters + Name() + L"\\PrinterDriverData";
    struct Row {
        const wchar_t* root;
        HKEY hive;
        std::wstring parent;
    };
    const Row rows[] = {
        {L"STOCK:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers\\Paper Sizes"},
        {L"SETTINGS:", HKEY_LOCAL_MACHINE, driverData + L"\\Settings"},
        {L"SECURITY:", HKEY_LOCAL_MACHINE, driverData + L"\\Security"},
        {L"CACHE:", HKEY_LOCAL_MACHINE, driverData + L"\\Cache"},
        {L"FONTS:", HKEY_LOCAL_MACHINE, driverData + L"\\Downloaded Fonts"},
        {L"PRESETS:", HKEY_LOCAL_MACHINE, driverData + L"\\Presets"},
        {L"DEBUG:", HKEY_LOCAL_MACHINE, driverData + L"\\Development"},
        {L"PAPERSIZES:", HKEY_LOCAL_MACHINE, driverData + L"\\Paper Sizes"},
        {L"USERSETTINGS:", HKEY_CURRENT_USER,
         L"SOFTWARE\\Brantheon\\Drivers\\Printers\\" + Name() + L"\\Settings"},
        {L"DATA:", HKEY_LOCAL_MACHINE, driverData},
        {L"MODEL:", HKEY_LOCAL_MACHINE, driverData + L"\\Model"},
        {L"MONITOR:", HKEY_LOCAL_MACHINE,
         L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Quorvel Network Monitor"},
        {L"NETWORK:", HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Brantheon\\Drivers\\Network\\@" + ComputerName()},
        {L"PNPDATA:", HKEY_LOCAL_MACHINE, kPrinters + Name() + L"\\PnPData"},
    };
    PrinterRegistry registry{RegistryFactsOf(O(Name()))};
    ASSERT_FALSE(registry.IsRemote());
    DWORD number = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(N(row.root));
        ScratchRegistryKey scratch(row.hive, row.parent);
        ASSERT_TRUE(scratch.IsValid());
        OString path = O(row.root + scratch.Name() + L"/Value");
        ASSERT_TRUE(registry.SetNumber(path, ++number));
        EXPECT_TRUE(scratch.HasDword(L"", L"Value", number));
        EXPECT_EQ(registry.GetNumber(path, 0), number);
    }
}

TEST_F(PrinterRegistryWineTest, DataRootIsWhatTheSpoolerReads) {
    PrinterRegistry registry{RegistryFactsOf(O(Name()))};
    ASSERT_TRUE(registry.SetNumber(OString(L"DATA:Quorvel Test Value"), 77));
    DWORD error = 0;
    EXPECT_EQ(SpoolerDword(L"Quorvel Test Value", error), 77u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(s_printer->SetDataDword(L"From Spooler", 5));
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:From Spooler"), 0), 5u);
}

TEST_F(PrinterRegistryWineTest, TokensComeFromThePrinter) {
    PrinterRegistry registry{RegistryFactsOf(O(Name()))};
    OString path(L"LOCAL:Models/[MODEL]/[PORT]/[SERVER]/[OEM]/[PRINTER]");
    registry.ResolveRoots(path);
    // The port of the fixture is a file path: its ':' is escaped, its '\' is
    // not; the name's '/' is escaped.
    std::wstring port = s_printer->Port();
    port.replace(port.find(L':'), 1, L"%3A");
    std::wstring name = Name();
    name.replace(name.find(L'/'), 1, L"%2F");
    // Data file "qvz42...": model code = characters 4 and 5.
    EXPECT_EQ(std::wstring(path.GetWide()), L"2:SOFTWARE/Brantheon/Drivers/Models/" +
                                                s_printer->DriverName() + L"/" + port + L"/" +
                                                ComputerName() + L"/42/" + name);
}

TEST_F(PrinterRegistryWineTest, RemotePrinterWritesToTheUserMirror) {
    ScopedPrintServer server;
    PrinterRegistry registry{RegistryFactsOf(O(Name()))};
    ASSERT_TRUE(registry.IsRemote());
    EXPECT_TRUE(registry.GetRedirect());
    EXPECT_EQ(QvTest::W(registry.GetFacts().serverName), server.Server());
    ASSERT_TRUE(registry.SetNumber(OString(L"DATA:Mirrored"), 9));
    EXPECT_TRUE(server.Mirror().HasDword(L"PRINT:\\Printers\\" + Name() + L"\\PrinterDriverData",
                                         L"Mirrored", 9));
    DWORD error = 0;
    SpoolerDword(L"Mirrored", error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
        << "the machine's printer data was written";
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:Mirrored"), 0), 9u);

    // "GLOBAL:" lies under the local driver key and is mirrored with it.
    ASSERT_TRUE(registry.SetNumber(OString(L"GLOBAL:G/V"), 3));
    EXPECT_TRUE(server.Mirror().HasDword(L"LOCAL:\\Global Settings\\G", L"V", 3));

    // With the redirect cleared the machine keys are used again.
    registry.SetRedirect(false);
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:Mirrored"), 0), 0u);
}

}  // namespace
