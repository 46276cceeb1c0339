#include "registry/registry_path.h"

#include <gtest/gtest.h>

#include <string>

#include "support/text.h"

namespace {

using QvTest::W;
constexpr auto Escape = RegistryPath::EscapeName;
constexpr auto Unescape = RegistryPath::UnescapeName;

OString Resolve(const OString& s) {
    OString path(s);
    RegistryPath::ResolveStandardRoots(path);
    return path;
}

OString SlashEndedData(const OString& s) {
    OString path(s);
    RegistryPath::ReplaceRoot(path, OString(L"DATA:"), OString(L"PRINT:x/"));
    return path;
}

OString JoinB(const OString& key) {
    return RegistryPath::JoinKey(key, OString(L"b"));
}

TEST(RegistryPath, TextSteps) {
    struct Row {
        OString (*step)(const OString&);
        const wchar_t *input, *expected;
        const char* note;
    };
    const Row rows[] = {
        // '%' first, or the '%' of "%2F" would itself be escaped again.
        {Escape, L"a/%", L"a%2F%25", "slash, then percent"},
        {Escape, L"%2F", L"%252F", "text that looks escaped is escaped again"},
        {Escape, L"\\\\srv\\Label:1/2", L"\\\\srv\\Label%3A1%2F2", "backslashes stay"},
        {Unescape, L"%2", L"%2", "two characters are returned unchanged"},
        {Unescape, L"a%2fb", L"a/b", "lower-case hex"},
        {Unescape, L"%3a%3A", L"::", "two escapes back to back"},
        {Unescape, L"%252F", L"%2F", "a decoded '%' is not decoded again"},
        {Unescape, L"ab%2", L"ab%2", "'%' without two characters after it"},
        {Unescape, L"a%00%41", L"a%00A", "a NUL is never decoded"},
        // The per-alias rows are in the conformance tests, against the real hives.
        {Resolve, L"CURRENT_USER:Software", L"1:Software", "no separator after a ':'"},
        {Resolve, L"users:x", L"3:x", "lower-case users"},
        {Resolve, L"Local:Foo", L"2:SOFTWARE/Brantheon/Drivers/Foo", "mixed case"},
        {Resolve, L"LOCAL:", L"2:SOFTWARE/Brantheon/Drivers", "alias alone"},
        {Resolve, L"LOCAL", L"LOCAL", "no ':' at all: untouched"},
        {Resolve, L"2:LOCAL:x", L"2:LOCAL:x", "an alias only matches at the start"},
        {Resolve, L"SETTINGS:x", L"SETTINGS:x", "not an alias of the base registry"},
        {SlashEndedData, L"DATA:Settings", L"PRINT:x/Settings", "no separator after a '/'"},
        {JoinB, L"2:A", L"2:A/b", "join"},
        {JoinB, L"2:", L"2:b", "join after ':'"},
        {JoinB, L"", L"b", "join to nothing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(row.step(OString(row.input))), row.expected);
    }
}

TEST(RegistryPath, EscapeThenUnescapeGivesEveryPrintableCharacterBack) {
    for (wchar_t c = 0x20; c < 0x7F; ++c) {
        for (const std::wstring& text :
             {std::wstring(1, c), L"ab" + std::wstring(1, c) + L"cd", std::wstring(3, c)}) {
            SCOPED_TRACE(testing::Message() << "character 0x" << std::hex << static_cast<int>(c));
            OString escaped = Escape(OString(text.c_str()));
            EXPECT_EQ(W(escaped).find_first_of(L"/:"), std::wstring::npos);
            EXPECT_EQ(W(Unescape(escaped)), text);
        }
    }
}

TEST(RegistryPath, SplitValuePathSeparatesKeyAndDecodedName) {
    struct Row {
        const wchar_t *key, *name;
        bool ok;
        const wchar_t *expectedKey, *expectedName;
        const char* note;
    };
    const Row rows[] = {
        {L"SETTINGS:", L"Status/Mode", true, L"SETTINGS:Status", L"Mode", "name with a subkey"},
        {L"", L"NETWORK:TCP Enabled", true, L"NETWORK:", L"TCP Enabled", "absolute, empty key"},
        {L"LOCAL:Ignored", L"1:Software/V", true, L"1:Software", L"V", "absolute ignores the key"},
        {L"LOCAL:K", L"a//b", true, L"LOCAL:K", L"a/b", "doubled slash in a value name"},
        {L"LOCAL:K", L"x::y", true, L"LOCAL:K", L"x:y", "doubled colon is not absolute"},
        {L"LOCAL:K", L"50%%", true, L"LOCAL:K", L"50%", "doubled percent"},
        {L"USER:A\\B", L"v", true, L"USER:A/B", L"v", "backslash separator in the key"},
        {L"USER:A/B/", L"v", true, L"USER:A/B", L"v", "trailing slash of the key"},
        {L"USER:A/B///", L"v", true, L"USER:A/B%2F", L"v", "an escaped slash, then a separator"},
        {L"USER:A/B/", L"", true, L"USER:A/B", L"", "empty name: the key without trailing slash"},
        {L"2:", L"v", true, L"2:", L"v", "no slash after a bare root"},
        {L"K", L"v", true, L"K", L"v", "no root, split at the slash"},
        {L"", L"v", false, L"", L"", "no ':' or '/' anywhere"},
        {L"K", L"", false, L"", L"", "key without separator, empty name"},
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
        {L"1:Software/A", true, 1, L"Software\\A", "slash becomes backslash"},
        {L"2:SOFTWARE/A/B/", true, 2, L"SOFTWARE\\A\\B", "trailing separator stripped"},
        {L"02:X", true, 2, L"X", "leading zero"},
        {L"X:Foo", true, 0, L"Foo", "no digits read as 0: classes root"},
        {L"-1:Foo", true, 0, L"Foo", "a sign is not a digit: no leading digits read as 0"},
        {L"2:A%2FB", true, 2, L"A/B", "escaped slash is one key name"},
        // Decoded, a NUL would cut the subkey to SOFTWARE, or to nothing.
        {L"2:SOFTWARE%00x/y", true, 2, L"SOFTWARE%00x\\y", "an escaped NUL stays text"},
        {L"2:", false, 0, L"", "a hive alone does not open"},
        {L"7:Foo", false, 0, L"", "no such hive"},
        {L"10:Foo", false, 0, L"", "two digits"},
        {L":Foo", false, 0, L"", "':' at index 0"},
        {L"Foo", false, 0, L"", "no ':'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        int32_t hive = -5;
        OString subkey;
        ASSERT_EQ(RegistryPath::SplitRoot(OString(row.path), hive, subkey), row.ok);
        if (row.ok) {
            EXPECT_EQ(hive, row.hive);
            EXPECT_EQ(W(subkey), row.subkey);
        }
    }
}

}  // namespace
