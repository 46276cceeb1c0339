// Path resolution of the printer registry, without the registry: roots,
// tokens and the per-user mirror are pure text steps.
#include "registry/printer_registry.h"

#include <gtest/gtest.h>

#include <string>

#include "registry/registry_path.h"

namespace {

std::wstring W(const OString& s) { return s.GetWide(); }

PrinterRegistry::Facts SampleFacts() {
    PrinterRegistry::Facts facts;
    facts.fullName = OString(L"\\\\ws01\\Label/1:x");
    facts.shortName = OString(L"Label/1:x");
    facts.driverName = OString(L"Quorvel ZT4x0 (203 dpi)");
    facts.portName = OString(L"USB001");
    facts.serverName = OString(L"ws01");
    facts.modelCode = OString(L"zt");
    return facts;
}

// The short name "Label/1:x" escaped by hand: '/' -> %2F, ':' -> %3A.
const std::wstring kEscapedShort = L"Label%2F1%3Ax";
const std::wstring kPrinterKey = L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/" + kEscapedShort;
const std::wstring kDriverData = kPrinterKey + L"/PrinterDriverData";

TEST(PrinterRegistry, EveryLogicalRootResolves) {
    struct Row {
        const wchar_t* path;
        std::wstring expected;
    };
    const Row rows[] = {
        {L"STOCK:A", L"2:SOFTWARE/Brantheon/Drivers/Paper Sizes/A"},
        {L"SETTINGS:Status", kDriverData + L"/Settings/Status"},
        {L"SECURITY:A", kDriverData + L"/Security/A"},
        {L"CACHE:A", kDriverData + L"/Cache/A"},
        {L"FONTS:A", kDriverData + L"/Downloaded Fonts/A"},
        {L"PRESETS:A", kDriverData + L"/Presets/A"},
        {L"DEBUG:A", kDriverData + L"/Development/A"},
        {L"PAPERSIZES:A", kDriverData + L"/Paper Sizes/A"},
        {L"USERSETTINGS:A", L"1:SOFTWARE/Brantheon/Drivers/Printers/" + kEscapedShort + L"/Settings/A"},
        {L"DATA:A", kDriverData + L"/A"},
        {L"DATA:", kDriverData},
        {L"MODEL:A", kDriverData + L"/Model/A"},
        {L"MONITOR:A", L"2:SYSTEM/CurrentControlSet/Control/Print/Monitors/Quorvel Network Monitor/A"},
        {L"NETWORK:", L"2:SOFTWARE/Brantheon/Drivers/Network/@ws01"},
        {L"PNPDATA:A", kPrinterKey + L"/PnPData/A"},
        {L"settings:", kDriverData + L"/Settings"},
        {L"Network:Port", L"2:SOFTWARE/Brantheon/Drivers/Network/@ws01/Port"},
        {L"GLOBAL:A", L"2:SOFTWARE/Brantheon/Drivers/Global Settings/A"},
        {L"2:Already/Resolved", L"2:Already/Resolved"},
    };
    PrinterRegistry registry(SampleFacts());
    for (const Row& row : rows) {
        SCOPED_TRACE(OString(row.path).GetNarrow());
        OString path(row.path);
        registry.ResolveRoots(path);
        EXPECT_EQ(W(path), row.expected);
    }
}

TEST(PrinterRegistry, TokensKeepTheirCaseAndNeedARoot) {
    struct Row {
        const wchar_t* path;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"LOCAL:Models/[MODEL]/[PORT]/[SERVER]/[OEM]",
         L"2:SOFTWARE/Brantheon/Drivers/Models/Quorvel ZT4x0 (203 dpi)/USB001/ws01/zt", "all but the printer"},
        {L"LOCAL:[PRINTER]/[PRINTER]", L"2:SOFTWARE/Brantheon/Drivers/Label%2F1%3Ax/Label%2F1%3Ax",
         "every occurrence, escaped"},
        {L"LOCAL:[printer]", L"2:SOFTWARE/Brantheon/Drivers/[printer]", "tokens keep their case"},
        {L"Printers/[PRINTER]", L"Printers/[PRINTER]", "no ':' at all: untouched, tokens included"},
    };
    PrinterRegistry registry(SampleFacts());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString path(row.path);
        registry.ResolveRoots(path);
        EXPECT_EQ(W(path), row.expected);
    }
}

TEST(PrinterRegistry, ModelCodeIsNotEscaped) {
    PrinterRegistry::Facts facts = SampleFacts();
    facts.modelCode = OString(L"a/");
    facts.serverName = OString(L"s:1");
    OString path(L"LOCAL:[OEM]x/[SERVER]");
    PrinterRegistry::ApplyTokens(path, facts);
    EXPECT_EQ(W(path), L"LOCAL:a/x/s%3A1");
}

TEST(PrinterRegistry, MirrorPathRedirectsMachineDriverKeys) {
    struct Row {
        const wchar_t* path;
        bool remote;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/L1/PrinterDriverData", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/PRINT%3A/Printers/L1/PrinterDriverData", "print key, remote"},
        {L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/L1", false,
         L"1:SOFTWARE/Brantheon/Drivers/PRINT%3A/Printers/L1", "print key, not remote: no server level"},
        {L"2:system/currentcontrolset/control/print/Printers", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/PRINT%3A/Printers", "ASCII case ignored"},
        {L"2:SYSTEM/CurrentControlSet/Control/PrintX", true, L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/PRINT%3AX",
         "a plain prefix test"},
        {L"2:SOFTWARE/Brantheon/Drivers/Network/@srv", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/LOCAL%3A/Network/@srv", "local driver key"},
        {L"2:SOFTWARE/Brantheon/Drivers/Global Settings/X", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/LOCAL%3A/Global Settings/X", "global settings lie under local"},
        {L"2:SOFTWARE/Brantheon/Drivers", true, L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/LOCAL%3A",
         "the local key itself"},
        {L"1:SOFTWARE/Brantheon/Drivers/Printers/L1/Settings", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/USER%3A/Printers/L1/Settings", "user driver key"},
        {L"2:SYSTEM/CurrentControlSet/Control/Session Manager", true,
         L"2:SYSTEM/CurrentControlSet/Control/Session Manager", "other control keys stay"},
        {L"2:SYSTEM/CurrentControlSet/Enum/Root", true, L"2:SYSTEM/CurrentControlSet/Enum/Root", "enum stays"},
        {L"1:Software/Other", true, L"1:Software/Other", "plain current user stays"},
        {L"0:CLSID", true, L"0:CLSID", "classes root stays"},
        {L"3:.DEFAULT", true, L"3:.DEFAULT", "users stays"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(PrinterRegistry::MirrorPath(OString(row.path), row.remote, OString(L"srv:2"))), row.expected);
    }
}

TEST(PrinterRegistry, MirrorKeyNamesDecodeToTheRootNames) {
    OString mirrored = PrinterRegistry::MirrorPath(
        OString(L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/Label1/PrinterDriverData"), true, OString(L"srv"));
    int32_t hive = -1;
    OString subkey;
    ASSERT_TRUE(RegistryPath::SplitRoot(mirrored, hive, subkey));
    EXPECT_EQ(hive, 1);
    EXPECT_EQ(W(subkey), L"SOFTWARE\\Brantheon\\Drivers\\@srv\\PRINT:\\Printers\\Label1\\PrinterDriverData");
}

TEST(PrinterRegistry, RedirectFollowsRemoteAndCopiesKeepFlags) {
    PrinterRegistry::Facts facts = SampleFacts();
    PrinterRegistry local(facts);
    EXPECT_FALSE(local.GetRedirect());
    facts.remote = true;
    PrinterRegistry remote(facts);
    EXPECT_TRUE(remote.GetRedirect());
    remote.SetRedirect(false);
    remote.SetKey(OString(L"Settings:"));

    PrinterRegistry copy(remote);
    EXPECT_TRUE(copy.IsRemote());
    EXPECT_FALSE(copy.GetRedirect());
    EXPECT_EQ(W(copy.GetKey()), L"Settings:");
    EXPECT_EQ(W(copy.GetFacts().shortName), L"Label/1:x");
    EXPECT_NE(&copy.GetMutex(), &remote.GetMutex());
    EXPECT_EQ(W(copy.GetMutex().GetName()), L"Global\\Quorvel:PrinterRegistry");
    EXPECT_EQ(copy.GetMutex().GetTimeout(), 30000u);
    EXPECT_EQ(copy.GetMutex().GetHandle(), nullptr) << "the mutex is created at the first lock only";
}

}  // namespace
