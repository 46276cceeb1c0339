// The printer registry on real Wine printers. Printer-relative keys lie under
// the printer's own key (deleted with the printer); every other key is a
// scratch key removed by the test. Wine's spooler never reports a server, so a
// remote printer is made by patching level 2's server name through the
// printer information seam.
#include "registry/printer_registry.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <cstring>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include "printer/printer_info.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"

namespace {

using QvTest::WinePrinter;

std::wstring W(const OString& s) { return s.GetWide(); }
std::string N(const std::wstring& s) { return OString(s.c_str()).GetNarrow(); }

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(name, &chars);
    return name;
}

const std::wstring kPrinters = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

// Level 2 answers with this server while set, as for a printer on a print server.
const wchar_t* g_server = nullptr;

BOOL WINAPI GetPrinterWithServer(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
    if (ok && level == 2 && buffer != nullptr && g_server != nullptr) {
        reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pServerName = const_cast<wchar_t*>(g_server);
    }
    return ok;
}

DWORD SpoolerDword(const WinePrinter& printer, const wchar_t* value, DWORD& error) {
    OPrinterHandle handle = printer.Open();
    DWORD data = 0;
    DWORD type = 0;
    DWORD needed = 0;
    error = ::GetPrinterDataW(handle.Get(), const_cast<wchar_t*>(value), &type, reinterpret_cast<BYTE*>(&data),
                              sizeof(data), &needed);
    return data;
}

class PrinterRegistryWineTest : public ::testing::Test {
protected:
    void TearDown() override { PrinterInfoCache::ClearThisThread(); }
};

#define REQUIRE_PRINTER(printer)                                                      \
    if (!(printer).Ok()) {                                                            \
        GTEST_SKIP() << "no Wine printer: " << N((printer).Error());                 \
    }

TEST_F(PrinterRegistryWineTest, EveryLogicalRootWritesWhereItShould) {
    WinePrinter printer(L"roots");
    REQUIRE_PRINTER(printer);
    const std::wstring driverData = kPrinters + printer.Name() + L"\\PrinterDriverData";
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
        {L"USERSETTINGS:", HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers\\Printers\\" + printer.Name() + L"\\Settings"},
        {L"DATA:", HKEY_LOCAL_MACHINE, driverData},
        {L"MODEL:", HKEY_LOCAL_MACHINE, driverData + L"\\Model"},
        {L"MONITOR:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Quorvel Network Monitor"},
        {L"NETWORK:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers\\Network\\@" + ComputerName()},
        {L"PNPDATA:", HKEY_LOCAL_MACHINE, kPrinters + printer.Name() + L"\\PnPData"},
    };
    PrinterRegistry registry{OString(printer.Name().c_str())};
    ASSERT_FALSE(registry.IsRemote());
    DWORD number = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(N(row.root));
        ScratchRegistryKey scratch(row.hive, row.parent);
        ASSERT_TRUE(scratch.IsValid());
        std::wstring path = std::wstring(row.root) + scratch.Name() + L"/Value";
        ++number;
        ASSERT_TRUE(registry.SetNumber(OString(path.c_str()), number));
        std::vector<BYTE> data;
        ASSERT_TRUE(scratch.GetRaw(L"", L"Value", data));
        ASSERT_EQ(data.size(), 4u);
        DWORD stored = 0;
        std::memcpy(&stored, data.data(), 4);
        EXPECT_EQ(stored, number);
        EXPECT_EQ(registry.GetNumber(OString(path.c_str()), 0), number);
    }
}

TEST_F(PrinterRegistryWineTest, DataRootIsWhatTheSpoolerReads) {
    WinePrinter printer(L"spooler");
    REQUIRE_PRINTER(printer);
    PrinterRegistry registry{OString(printer.Name().c_str())};
    ASSERT_TRUE(registry.SetNumber(OString(L"DATA:Quorvel Test Value"), 77));
    DWORD error = 0;
    EXPECT_EQ(SpoolerDword(printer, L"Quorvel Test Value", error), 77u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    // And the other way round.
    ASSERT_TRUE(printer.SetDataDword(L"From Spooler", 5));
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:From Spooler"), 0), 5u);
}

TEST_F(PrinterRegistryWineTest, TokensComeFromThePrinter) {
    WinePrinter::Options options;
    options.dpi = 203;  // a generated description named "qvz42..." as data file
    WinePrinter printer(L"tokens", options);
    REQUIRE_PRINTER(printer);
    PrinterRegistry registry{OString(printer.Name().c_str())};
    OString path(L"LOCAL:Models/[MODEL]/[PORT]/[SERVER]/[OEM]/[PRINTER]");
    registry.ResolveRoots(path);
    // The port of the fixture is a file path: its ':' is escaped, its '\' is not.
    std::wstring port = printer.Port();
    for (size_t at = port.find(L':'); at != std::wstring::npos; at = port.find(L':', at)) {
        port.replace(at, 1, L"%3A");
    }
    // Data file "qvz42...": model code = characters 4 and 5.
    EXPECT_EQ(W(path), L"2:SOFTWARE/Brantheon/Drivers/Models/" + printer.DriverName() + L"/" + port + L"/" +
                           ComputerName() + L"/42/" + printer.Name());
}

TEST_F(PrinterRegistryWineTest, PrinterNameWithSlashIsOneKey) {
    WinePrinter::Options options;
    options.nameSuffix = L" a/b";
    WinePrinter printer(L"slash", options);
    REQUIRE_PRINTER(printer);
    ASSERT_NE(printer.Name().find(L'/'), std::wstring::npos);
    PrinterRegistry registry{OString(printer.Name().c_str())};
    ASSERT_TRUE(registry.SetNumber(OString(L"DATA:Slash"), 5));
    DWORD error = 0;
    EXPECT_EQ(SpoolerDword(printer, L"Slash", error), 5u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(PrinterRegistryWineTest, RemotePrinterWritesToTheUserMirror) {
    WinePrinter printer(L"remote");
    REQUIRE_PRINTER(printer);
    const std::wstring server = UniqueTestName(L"qvsrv-");
    const std::wstring serverText = L"\\\\" + server;
    g_server = serverText.c_str();
    PrinterInfoApi api;
    api.getPrinter = GetPrinterWithServer;
    ScopedPrinterInfoApi seam(api);
    // Removes the whole mirror of this server at the end.
    ScratchRegistryKey mirror(HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers", L"@" + server);

    PrinterRegistry registry{OString(printer.Name().c_str())};
    g_server = nullptr;
    ASSERT_TRUE(registry.IsRemote());
    EXPECT_TRUE(registry.GetRedirect());
    EXPECT_EQ(W(registry.GetFacts().serverName), server);

    ASSERT_TRUE(registry.SetNumber(OString(L"DATA:Mirrored"), 9));
    std::vector<BYTE> data;
    EXPECT_TRUE(mirror.GetRaw(L"PRINT:\\Printers\\" + printer.Name() + L"\\PrinterDriverData", L"Mirrored", data));
    DWORD error = 0;
    SpoolerDword(printer, L"Mirrored", error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the machine's printer data was written";
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:Mirrored"), 0), 9u);

    // "GLOBAL:" lies under the local driver key and is mirrored with it.
    ASSERT_TRUE(registry.SetNumber(OString(L"GLOBAL:G/V"), 3));
    EXPECT_TRUE(mirror.ValueExists(L"LOCAL:\\Global Settings\\G", L"V"));

    // With the redirect cleared the machine keys are used again.
    registry.SetRedirect(false);
    EXPECT_EQ(registry.GetNumber(OString(L"DATA:Mirrored"), 0), 0u);
    {
        ScratchRegistryKey network(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers\\Network\\@" + server);
        ASSERT_TRUE(network.SetDword(L"", L"TCP Enabled", 1));
        std::wstring name = L"NETWORK:" + network.Name() + L"/TCP Enabled";
        EXPECT_EQ(registry.GetNumber(OString(name.c_str()), 7), 1u);
        registry.SetRedirect(true);
        EXPECT_EQ(registry.GetNumber(OString(name.c_str()), 7), 7u) << "the mirror has no network settings";
    }

    // Control keys other than the print key, enum and plain hives stay where they are.
    for (const auto& [hive, parent, root] :
         {std::tuple{HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control", L"CONTROL:"},
          std::tuple{HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum", L"ENUM:"},
          std::tuple{HKEY_CURRENT_USER, L"Software\\QuorvelTest", L"CURRENT_USER:Software/QuorvelTest/"}}) {
        SCOPED_TRACE(N(root));
        ScratchRegistryKey scratch(hive, parent);
        std::wstring path = std::wstring(root) + scratch.Name() + L"/V";
        ASSERT_TRUE(registry.SetNumber(OString(path.c_str()), 4));
        EXPECT_TRUE(scratch.ValueExists(L"", L"V"));
    }
}

TEST_F(PrinterRegistryWineTest, ReadPrinterNumberAsksTheSpooler) {
    WinePrinter printer(L"readnum");
    REQUIRE_PRINTER(printer);
    ASSERT_TRUE(printer.SetDataDword(L"Speed", 6));
    const uint8_t two[2] = {0x34, 0x12};
    ASSERT_TRUE(printer.SetData(L"Two", REG_BINARY, two, 2));
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(printer.SetData(L"Eight", REG_BINARY, eight, 8));
    PrinterRegistry registry{OString(printer.Name().c_str())};
    struct Row {
        const wchar_t* name;
        bool ok;
        uint32_t value;
        const char* note;
    };
    const Row rows[] = {
        {L"Speed", true, 6, "REG_DWORD"},
        {L"Two", true, 0x1234, "2 bytes, zero-extended"},
        {L"Eight", false, 0, "more than 4 bytes"},
        {L"Missing", false, 0, "missing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(registry.ReadPrinterNumber(OString(row.name), value), row.ok);
        if (row.ok) {
            EXPECT_EQ(value, row.value);
        }
    }
    PrinterRegistry unknown{OString(UniqueTestName(L"No Such Printer ").c_str())};
    uint32_t value = 0;
    EXPECT_FALSE(unknown.ReadPrinterNumber(OString(L"Speed"), value));
}

TEST_F(PrinterRegistryWineTest, UnknownPrinterReadsDefaults) {
    std::wstring name = UniqueTestName(L"No Such Printer ");
    PrinterRegistry registry{OString(name.c_str())};
    EXPECT_EQ(W(registry.GetFacts().fullName), name);
    EXPECT_TRUE(registry.GetFacts().shortName.IsEmpty());
    EXPECT_FALSE(registry.IsRemote());
    EXPECT_EQ(registry.GetNumber(OString(L"SETTINGS:Status/Status Monitoring Mode"), 3), 3u);
    EXPECT_EQ(W(registry.GetString(OString(L"DATA:Anything"), OString(L"d"))), L"d");
}

TEST_F(PrinterRegistryWineTest, MutexIsTheMachineWideOne) {
    PrinterRegistry::Facts facts;
    PrinterRegistry registry(facts);
    ASSERT_TRUE(registry.GetMutex().Lock());
    // Another object of the same name, on another thread, must wait for it.
    bool otherGotIt = true;
    std::thread other([&otherGotIt] {
        OMutex same(OString(L"Global\\Quorvel:PrinterRegistry"), 50);
        otherGotIt = same.Lock();
        if (otherGotIt) {
            same.Unlock();
        }
    });
    other.join();
    registry.GetMutex().Unlock();
    EXPECT_FALSE(otherGotIt);
}

}  // namespace
