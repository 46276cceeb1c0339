// Path resolution of the printer registry, without the registry: roots,
// tokens and the per-user mirror are pure text steps. Every root against the
// real registry is in the conformance tests.
#include "registry/printer_registry.h"

#include <gtest/gtest.h>

#include <string>

#include "support/text.h"

namespace {

using QvTest::W;

PrinterRegistry::Facts SampleFacts() {
    PrinterRegistry::Facts facts;
    facts.fullName = OString(L"\\\\ws01\\Label/1:x");
    facts.shortName = OString(L"Label/1:x");
    facts.driverName = OString(L"Quorvel ZT4x0 (203/300 dpi)");
    facts.portName = OString(L"COM1:");
    facts.serverName = OString(L"ws:01");
    facts.modelCode = OString(L"z%");  // "[OEM]" is not escaped: "%" stays
    return facts;
}

TEST(PrinterRegistry, RootsThenTokensThenHiveAliases) {
    // Escaped by hand: '/' -> %2F, ':' -> %3A.
    const std::wstring escapedShort = L"Label%2F1%3Ax";
    const std::wstring driverData = L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/" +
                                    escapedShort + L"/PrinterDriverData";
    struct Row {
        const wchar_t* path;
        std::wstring expected;
    };
    const Row rows[] = {
        {L"SETTINGS:Status", driverData + L"/Settings/Status"},
        {L"settings:", driverData + L"/Settings"},
        {L"DATA:", driverData},
        {L"USERSETTINGS:A",
         L"1:SOFTWARE/Brantheon/Drivers/Printers/" + escapedShort + L"/Settings/A"},
        {L"PNPDATA:A",
         L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/" + escapedShort + L"/PnPData/A"},
        {L"Network:Port", L"2:SOFTWARE/Brantheon/Drivers/Network/@ws%3A01/Port"},
        {L"GLOBAL:A", L"2:SOFTWARE/Brantheon/Drivers/Global Settings/A"},
        {L"2:Already/Resolved", L"2:Already/Resolved"},
        {L"LOCAL:[MODEL]/[PORT]/[OEM]",
         L"2:SOFTWARE/Brantheon/Drivers/Quorvel ZT4x0 (203%2F300 dpi)/COM1%3A/z%"},
        {L"LOCAL:[PRINTER]/[PRINTER]",
         L"2:SOFTWARE/Brantheon/Drivers/" + escapedShort + L"/" + escapedShort},
        {L"LOCAL:[printer]", L"2:SOFTWARE/Brantheon/Drivers/[printer]"},  // tokens keep their case
        {L"Printers/[PRINTER]", L"Printers/[PRINTER]"},  // no ':': tokens untouched too
    };
    PrinterRegistry registry(SampleFacts());
    for (const Row& row : rows) {
        SCOPED_TRACE(OString(row.path).GetNarrow());
        OString path(row.path);
        registry.ResolveRoots(path);
        EXPECT_EQ(W(path), row.expected);
    }
}

// A printer's name is one key, whatever it holds: tokens are not read again
// once substituted, and a connection's backslashes become the spooler's commas.
TEST(PrinterRegistry, APrinterNameStaysOneKeyOfItsOwn) {
    const std::wstring printers = L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/";
    const std::pair<const wchar_t*, std::wstring> rows[] = {
        {L"Lab[OEM]", L"Lab[OEM]"},
        {L"Lab[PRINTER]", L"Lab[PRINTER]"},
        {L"[MODEL][PORT][SERVER]", L"[MODEL][PORT][SERVER]"},
        {L"50%", L"50%25"},
        {L"a/b", L"a%2Fb"},
        {L"a:b", L"a%3Ab"},
        {L"\\\\srv\\Label1", L",,srv,Label1"},
        {L"%2F", L"%252F"},
    };
    for (const auto& [name, key] : rows) {
        SCOPED_TRACE(OString(name).GetNarrow());
        PrinterRegistry::Facts facts = SampleFacts();
        facts.shortName = OString(name);
        OString path(L"DATA:Settings");
        PrinterRegistry(facts).ResolveRoots(path);
        EXPECT_EQ(W(path), printers + key + L"/PrinterDriverData/Settings");
    }
}

TEST(PrinterRegistry, MirrorPathRedirectsMachineDriverKeys) {
    struct Row {
        const wchar_t* path;
        bool remote;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/L1", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/PRINT%3A/Printers/L1",
         "print key, remote: escaped server level"},
        {L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/L1", false,
         L"1:SOFTWARE/Brantheon/Drivers/PRINT%3A/Printers/L1",
         "print key, not remote: no server level"},
        {L"2:system/currentcontrolset/control/printX", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/PRINT%3AX",
         "a plain prefix test, ASCII case ignored"},
        {L"2:SOFTWARE/Brantheon/Drivers", true, L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/LOCAL%3A",
         "the local key itself"},
        {L"1:SOFTWARE/Brantheon/Drivers/Printers/L1", true,
         L"1:SOFTWARE/Brantheon/Drivers/@srv%3A2/USER%3A/Printers/L1", "user driver key"},
        {L"0:CLSID", true, L"0:CLSID", "classes root stays"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(PrinterRegistry::MirrorPath(OString(row.path), row.remote, OString(L"srv:2"))),
                  row.expected);
    }
}

TEST(PrinterRegistry, RedirectFollowsRemoteAndCopiesKeepFlags) {
    PrinterRegistry::Facts facts = SampleFacts();
    EXPECT_FALSE(PrinterRegistry(facts).GetRedirect());
    facts.remote = true;
    PrinterRegistry remote(facts);
    EXPECT_TRUE(remote.GetRedirect());
    remote.SetRedirect(false);
    PrinterRegistry copy(remote);
    EXPECT_TRUE(copy.IsRemote());
    EXPECT_FALSE(copy.GetRedirect());
    EXPECT_EQ(W(copy.GetMutex().GetName()), L"Global\\Quorvel:PrinterRegistry");
    EXPECT_EQ(copy.GetMutex().GetTimeout(), 30000u);
    EXPECT_EQ(copy.GetMutex().GetHandle(), nullptr)
        << "the mutex is created at the first lock only";
}

}  // namespace
