#include "registry/registry_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring W(const OString& s) { return s.GetWide(); }

TEST(RegistryPath, EscapeNameEscapesPercentFirst) {
    struct Row {
        const wchar_t* input;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"", L"", "empty"},
        {L"Label1", L"Label1", "nothing to escape"},
        {L"a/b", L"a%2Fb", "slash"},
        {L"x:y", L"x%3Ay", "colon"},
        {L"50%", L"50%25", "percent"},
        // '%' first, or the '%' of "%2F" would itself be escaped again.
        {L"a/%", L"a%2F%25", "slash then percent"},
        {L"%2F", L"%252F", "text that looks escaped is escaped again"},
        {L"\\\\srv\\Label:1/2", L"\\\\srv\\Label%3A1%2F2", "backslashes stay (they are separators only in paths)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(RegistryPath::EscapeName(OString(row.input))), row.expected);
    }
}

TEST(RegistryPath, UnescapeNameDecodesEachEscapeOnce) {
    struct Row {
        const wchar_t* input;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"", L"", "empty"},
        {L"%2", L"%2", "two characters are returned unchanged"},
        {L"ab", L"ab", "two plain characters"},
        {L"a%2Fb", L"a/b", "upper-case hex"},
        {L"a%2fb", L"a/b", "lower-case hex"},
        {L"%3A", L":", "escape that is the whole text"},
        {L"%3a%3A", L"::", "two escapes back to back"},
        {L"50%25", L"50%", "percent"},
        {L"%252F", L"%2F", "a decoded '%' is not decoded again"},
        {L"ab%2", L"ab%2", "an escape without two following characters stays"},
        {L"%41%42%43", L"ABC", "0x41 0x42 0x43"},
        {L"%7E", L"~", "0x7E"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(RegistryPath::UnescapeName(OString(row.input))), row.expected);
    }
}

TEST(RegistryPath, EscapeThenUnescapeGivesEveryPrintableCharacterBack) {
    // Each printable ASCII character, alone and between letters.
    for (wchar_t c = 0x20; c < 0x7F; ++c) {
        for (const std::wstring& text : {std::wstring(1, c), L"ab" + std::wstring(1, c) + L"cd",
                                         std::wstring(3, c)}) {
            SCOPED_TRACE(testing::Message() << "character 0x" << std::hex << static_cast<int>(c));
            OString escaped = RegistryPath::EscapeName(OString(text.c_str()));
            EXPECT_EQ(std::wstring(escaped.GetWide()).find_first_of(L"/:"), std::wstring::npos);
            EXPECT_EQ(W(RegistryPath::UnescapeName(escaped)), text);
        }
    }
}

TEST(RegistryPath, EncodeSeparatorsTurnsDoubledCharactersIntoEscapes) {
    struct Row {
        const wchar_t* input;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"a//b", L"a%2Fb", "doubled slash"},
        {L"x::y", L"x%3Ay", "doubled colon"},
        {L"50%%", L"50%25", "doubled percent"},
        {L"A\\B", L"A/B", "backslash is a separator"},
        {L"///", L"%2F/", "three slashes: one escape, one separator"},
        {L"%%//", L"%25%2F", "percent first"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString text(row.input);
        RegistryPath::EncodeSeparators(text);
        EXPECT_EQ(W(text), row.expected);
    }
}

TEST(RegistryPath, ResolveStandardRootsAppliesEveryAliasIgnoringCase) {
    struct Row {
        const wchar_t* input;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"CLASSES_ROOT:CLSID", L"0:CLSID", "classes root"},
        {L"CURRENT_USER:Software", L"1:Software", "no separator after a replacement ending in ':'"},
        {L"LOCAL_MACHINE:SOFTWARE", L"2:SOFTWARE", "local machine"},
        {L"USERS:.DEFAULT", L"3:.DEFAULT", "users before user"},
        {L"USER:Foo", L"1:SOFTWARE/Brantheon/Drivers/Foo", "user"},
        {L"LOCAL:Foo", L"2:SOFTWARE/Brantheon/Drivers/Foo", "local"},
        {L"GLOBAL:Foo", L"2:SOFTWARE/Brantheon/Drivers/Global Settings/Foo", "global"},
        {L"CONTROL:Foo", L"2:SYSTEM/CurrentControlSet/Control/Foo", "control"},
        {L"PRINT:Printers", L"2:SYSTEM/CurrentControlSet/Control/Print/Printers", "print"},
        {L"ENUM:Root", L"2:SYSTEM/CurrentControlSet/Enum/Root", "enum"},
        {L"Local:Foo", L"2:SOFTWARE/Brantheon/Drivers/Foo", "mixed case"},
        {L"local:Foo", L"2:SOFTWARE/Brantheon/Drivers/Foo", "lower case"},
        {L"users:x", L"3:x", "lower-case users"},
        {L"LOCAL:", L"2:SOFTWARE/Brantheon/Drivers", "alias alone"},
        {L"print:", L"2:SYSTEM/CurrentControlSet/Control/Print", "alias alone, lower case"},
        {L"LOCAL", L"LOCAL", "no ':' at all: untouched"},
        {L"2:LOCAL:x", L"2:LOCAL:x", "an alias only matches at the start"},
        {L"SETTINGS:x", L"SETTINGS:x", "not an alias of the base registry"},
        {L"1:Software", L"1:Software", "already resolved"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString path(row.input);
        RegistryPath::ResolveStandardRoots(path);
        EXPECT_EQ(W(path), row.expected);
    }
}

TEST(RegistryPath, ReplaceRootCases) {
    struct Row {
        const wchar_t* path;
        const wchar_t* alias;
        const wchar_t* replacement;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"data:", L"DATA:", L"PRINT:x", L"PRINT:x", "whole path equals alias"},
        {L"DATA:Settings", L"DATA:", L"PRINT:x", L"PRINT:x/Settings", "separator inserted"},
        {L"DATA:Settings", L"DATA:", L"PRINT:x/", L"PRINT:x/Settings", "replacement ending in '/'"},
        {L"DATA:Settings", L"DATA:", L"2:", L"2:Settings", "replacement ending in ':'"},
        {L"DAT:Settings", L"DATA:", L"X:", L"DAT:Settings", "no match"},
        {L"a/[PRINTER]/b/[PRINTER]", L"[PRINTER]", L"L1", L"a/L1/b/L1", "token: every occurrence"},
        {L"a/[printer]/b", L"[PRINTER]", L"L1", L"a/[printer]/b", "token: exact case only"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString path(row.path);
        RegistryPath::ReplaceRoot(path, OString(row.alias), OString(row.replacement));
        EXPECT_EQ(W(path), row.expected);
    }
}

TEST(RegistryPath, SplitValuePathSeparatesKeyAndDecodedName) {
    struct Row {
        const wchar_t* key;
        const wchar_t* name;
        bool ok;
        const wchar_t* expectedKey;
        const wchar_t* expectedName;
        const char* note;
    };
    const Row rows[] = {
        {L"SETTINGS:", L"Status/Status Monitoring Mode", true, L"SETTINGS:Status", L"Status Monitoring Mode",
         "relative name with a subkey"},
        {L"", L"NETWORK:TCP Enabled", true, L"NETWORK:", L"TCP Enabled", "absolute name, empty key"},
        {L"LOCAL:Ignored", L"1:Software/V", true, L"1:Software", L"V", "absolute name ignores the key"},
        {L"LOCAL:K", L"a//b", true, L"LOCAL:K", L"a/b", "doubled slash in a value name"},
        {L"LOCAL:K", L"x::y", true, L"LOCAL:K", L"x:y", "doubled colon is not absolute"},
        {L"LOCAL:K", L"50%%", true, L"LOCAL:K", L"50%", "doubled percent"},
        {L"LOCAL:K", L"v%2Fw", true, L"LOCAL:K", L"v/w", "escape written directly in a value name"},
        {L"USER:A\\B", L"v", true, L"USER:A/B", L"v", "backslash separator in the key"},
        {L"USER:A/B/", L"v", true, L"USER:A/B", L"v", "trailing slash of the key"},
        {L"USER:A/B///", L"v", true, L"USER:A/B%2F", L"v", "three slashes: an escaped slash, then a separator"},
        {L"USER:A/B/", L"", true, L"USER:A/B", L"", "empty name: the key without trailing slash"},
        {L"USER:A\\B", L"", true, L"USER:A/B", L"", "empty name, backslash"},
        {L"2:", L"v", true, L"2:", L"v", "no slash after a bare root"},
        {L"K", L"v", true, L"K", L"v", "no root, split at the slash"},
        {L"", L"v", false, L"", L"v", "no ':' or '/' anywhere"},
        {L"K", L"", false, L"K", L"", "key without separator, empty name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString key(row.key);
        OString name(row.name);
        ASSERT_EQ(RegistryPath::SplitValuePath(key, name), row.ok);
        if (row.ok) {
            EXPECT_EQ(W(key), row.expectedKey);
            EXPECT_EQ(W(name), row.expectedName);
        }
    }
}

TEST(RegistryPath, SplitRootReadsHiveDigitAndDecodesSubkey) {
    struct Row {
        const wchar_t* path;
        bool ok;
        int32_t hive;
        const wchar_t* subkey;
        const char* note;
    };
    const Row rows[] = {
        {L"0:CLSID", true, 0, L"CLSID", "classes root"},
        {L"1:Software/A", true, 1, L"Software\\A", "current user, slash becomes backslash"},
        {L"2:SOFTWARE/A/B/", true, 2, L"SOFTWARE\\A\\B", "trailing separator stripped"},
        {L"3:.DEFAULT", true, 3, L".DEFAULT", "users"},
        {L"02:X", true, 2, L"X", "leading zero"},
        {L"X:Foo", true, 0, L"Foo", "no digits read as 0: classes root"},
        {L"2:A%2FB", true, 2, L"A/B", "escaped slash is one key name"},
        {L"2:A%3AB", true, 2, L"A:B", "escaped colon"},
        {L"2:", false, 0, L"", "a hive alone does not open"},
        {L"2:/", false, 0, L"", "a hive and a separator"},
        {L"7:Foo", false, 0, L"", "no such hive"},
        {L"10:Foo", false, 0, L"", "two digits"},
        {L"-1:Foo", true, 0, L"Foo", "a sign is not a digit: no leading digits read as 0"},
        {L":Foo", false, 0, L"", "':' at index 0"},
        {L"Foo", false, 0, L"", "no ':'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        int32_t hive = -5;
        OString subkey;
        bool ok = RegistryPath::SplitRoot(OString(row.path), hive, subkey);
        ASSERT_EQ(ok, row.ok);
        if (row.ok) {
            EXPECT_EQ(hive, row.hive);
            EXPECT_EQ(W(subkey), row.subkey);
        }
    }
}

TEST(RegistryPath, JoinKeyPutsOneSlashBetween) {
    EXPECT_EQ(W(RegistryPath::JoinKey(OString(L"2:A"), OString(L"b"))), L"2:A/b");
    EXPECT_EQ(W(RegistryPath::JoinKey(OString(L"2:"), OString(L"b"))), L"2:b");
    EXPECT_EQ(W(RegistryPath::JoinKey(OString(L""), OString(L"b"))), L"b");
}

}  // namespace
