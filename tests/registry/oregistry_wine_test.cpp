// ORegistry against the real registry under Wine. Every key lives below a
// scratch key that the fixture creates and deletes; expectations are read and
// written with plain Win32 calls, independently of the code under test.
#include "registry/oregistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/scratch_registry.h"

namespace {

std::wstring W(const OString& s) { return s.GetWide(); }

class ORegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_scratch.IsValid()) << "cannot create a scratch key under HKEY_CURRENT_USER";
        m_registry.SetKey(OString(m_scratch.Path().c_str()));
    }

    ScratchRegistryKey m_scratch;
    ORegistry m_registry;
};

TEST(ORegistryAliases, EveryAliasReachesItsHive) {
    struct Row {
        const wchar_t* root;    // as a caller writes it (any letter case)
        HKEY hive;
        const wchar_t* parent;  // the hive key that root stands for, plus a scratch parent
        const wchar_t* under;   // path from the root to that parent, as written after the root
    };
    const Row rows[] = {
        {L"CLASSES_ROOT:", HKEY_CLASSES_ROOT, L"QuorvelTest", L"QuorvelTest/"},
        {L"current_user:", HKEY_CURRENT_USER, L"Software\\QuorvelTest", L"Software/QuorvelTest/"},
        {L"Local_Machine:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuorvelTest", L"SOFTWARE/QuorvelTest/"},
        {L"USERS:", HKEY_USERS, L".DEFAULT\\Software\\QuorvelTest", L".DEFAULT/Software/QuorvelTest/"},
        {L"user:", HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers", L""},
        {L"LOCAL:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers", L""},
        {L"Global:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers\\Global Settings", L""},
        {L"CONTROL:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control", L""},
        {L"print:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print", L""},
        {L"ENUM:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum", L""},
    };
    DWORD number = 0x1000;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "root " << OString(row.root).GetNarrow());
        ScratchRegistryKey scratch(row.hive, row.parent);
        ASSERT_TRUE(scratch.IsValid());
        std::wstring path = std::wstring(row.root) + row.under + scratch.Name() + L"/Sub/Value";
        ORegistry registry;
        ++number;
        ASSERT_TRUE(registry.SetNumber(OString(path.c_str()), number));
        std::vector<BYTE> data;
        DWORD type = 0;
        ASSERT_TRUE(scratch.GetRaw(L"Sub", L"Value", data, &type));
        ASSERT_EQ(data.size(), 4u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        DWORD stored = 0;
        std::memcpy(&stored, data.data(), 4);
        EXPECT_EQ(stored, number);
        EXPECT_EQ(registry.GetNumber(OString(path.c_str()), 0), number);
    }
}

TEST_F(ORegistryTest, DoubledSeparatorsAddressNamesHoldingThem) {
    struct Row {
        const wchar_t* written;
        const wchar_t* stored;
        const char* note;
    };
    const Row rows[] = {
        {L"a//b", L"a/b", "doubled slash"},
        {L"x::y", L"x:y", "doubled colon"},
        {L"50%%", L"50%", "doubled percent"},
        {L"p%3Aq", L"p:q", "escape written directly"},
    };
    DWORD number = 7;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ++number;
        ASSERT_TRUE(m_registry.SetNumber(OString(row.written), number));
        EXPECT_TRUE(m_scratch.ValueExists(L"", row.stored));
        // And the other way: a value written by name is found through the escape.
        ASSERT_TRUE(m_scratch.SetDword(L"", row.stored, number + 100));
        EXPECT_EQ(m_registry.GetNumber(OString(row.written), 0), number + 100);
    }
}

TEST_F(ORegistryTest, EscapedKeyNamesBecomeOneKeyHoldingTheCharacter) {
    ASSERT_TRUE(m_registry.SetNumber(OString(L"Label//1::2/Value"), 5));
    EXPECT_TRUE(m_scratch.ValueExists(L"Label/1:2", L"Value"));
    EXPECT_FALSE(m_scratch.KeyExists(L"Label"));
    // EscapeName makes an outside name safe to join into a path.
    OString name(L"Port/A:B%");
    OString path = OString(L"Ports/") + ORegistry::EscapeName(name) + OString(L"/Speed");
    ASSERT_TRUE(m_registry.SetNumber(path, 9600));
    EXPECT_TRUE(m_scratch.ValueExists(L"Ports\\Port/A:B%", L"Speed"));
}

TEST_F(ORegistryTest, BackslashAndTrailingSlashAddressTheSameKey) {
    ASSERT_TRUE(m_scratch.SetDword(L"A\\B", L"V", 42));
    EXPECT_EQ(m_registry.GetNumber(OString(L"A\\B\\V"), 0), 42u);
    EXPECT_EQ(m_registry.GetNumber(OString(L"A/B/V"), 0), 42u);
    ORegistry trailing(OString((m_scratch.Path() + L"/A/B/").c_str()));
    EXPECT_EQ(trailing.GetNumber(OString(L"V"), 0), 42u);
    EXPECT_TRUE(trailing.KeyExists(OString()));
}

TEST_F(ORegistryTest, AbsoluteNameIgnoresTheBaseKey) {
    ASSERT_TRUE(m_scratch.SetDword(L"Other", L"V", 77));
    ORegistry unrelated(OString(L"LOCAL:Does/Not/Exist"));
    std::wstring absolute = m_scratch.Path() + L"/Other/V";
    EXPECT_EQ(unrelated.GetNumber(OString(absolute.c_str()), 0), 77u);
    std::wstring aliased = L"CURRENT_USER:" + m_scratch.Subkey() + L"\\Other\\V";
    EXPECT_EQ(unrelated.GetNumber(OString(aliased.c_str()), 0), 77u);
}

TEST_F(ORegistryTest, GetValueResultCodes) {
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Eight", REG_BINARY, eight, 8));
    struct Row {
        const wchar_t* name;
        int32_t size;
        int32_t expected;
        const char* note;
    };
    const Row rows[] = {
        {L"Eight", 8, 8, "exact size"},
        {L"Eight", 16, 8, "larger buffer"},
        {L"Eight", 4, -4, "larger than the buffer"},
        {L"Eight", 0, -4, "zero-sized buffer"},
        {L"Missing", 16, -1, "missing value"},
        {L"NoKey/Eight", 16, -3, "missing key"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        uint8_t buffer[24];
        std::memset(buffer, 0xCD, sizeof(buffer));
        EXPECT_EQ(m_registry.GetValue(OString(row.name), buffer + 4, row.size), row.expected);
        // Nothing is ever written outside [4, 4 + size), nor past the data.
        int32_t written = row.expected > 0 ? row.expected : 0;
        for (int32_t i = 0; i < 24; ++i) {
            if (i >= 4 && i < 4 + written) {
                EXPECT_EQ(buffer[i], eight[i - 4]) << "byte " << i;
            } else {
                EXPECT_EQ(buffer[i], 0xCD) << "byte " << i;
            }
        }
    }
    ORegistry noRoot;
    uint8_t byte = 0;
    EXPECT_EQ(noRoot.GetValue(OString(L"NoSeparatorAnywhere"), &byte, 1), -2);
    EXPECT_EQ(m_registry.GetValue(OString(L"Eight"), nullptr, 8), -4) << "a null buffer reads as an empty one";
}

TEST_F(ORegistryTest, GetStringRetriesOnceForLongText) {
    struct Row {
        size_t chars;
        bool found;
        const char* note;
    };
    const Row rows[] = {
        {1, true, "one character"},
        {4094, true, "4094 characters and NUL: 8190 bytes, the first read exactly"},
        {4095, true, "8192 bytes: one more than the first read, through the retry"},
        {5000, true, "5000 characters"},
        {65534, true, "131070 bytes with the NUL: the largest the retry takes"},
        {65535, false, "131072 bytes: too long even for the retry"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring text(row.chars, L'x');
        text[0] = L'<';
        text[row.chars - 1] = L'>';
        ASSERT_TRUE(m_scratch.SetString(L"", L"Text", text));
        OString result = m_registry.GetString(OString(L"Text"), OString(L"default"));
        EXPECT_EQ(W(result), row.found ? text : std::wstring(L"default"));
    }
    EXPECT_EQ(W(m_registry.GetString(OString(L"Absent"), OString(L"fallback"))), L"fallback");
}

TEST_F(ORegistryTest, GetStringIgnoresTheStoredTypeAndStopsAtNul) {
    const wchar_t binary[] = L"ab\0cd";
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Bin", REG_BINARY, binary, sizeof(binary)));
    EXPECT_EQ(W(m_registry.GetString(OString(L"Bin"), OString())), L"ab");
    // An unterminated string still ends inside the buffer.
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Raw", REG_BINARY, L"xyz", 6));
    EXPECT_EQ(W(m_registry.GetString(OString(L"Raw"), OString())), L"xyz");
    const BYTE empty = 0;
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Empty", REG_SZ, &empty, 0));
    EXPECT_EQ(W(m_registry.GetString(OString(L"Empty"), OString(L"d"))), L"d") << "0 bytes is no text";
}

TEST_F(ORegistryTest, NumbersAndBytesNeedTheirExactSize) {
    const uint8_t two[2] = {0x34, 0x12};
    const uint8_t one[1] = {0x5A};
    const uint8_t four[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Two", REG_BINARY, two, 2));
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"One", REG_BINARY, one, 1));
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"FourBinary", REG_BINARY, four, 4));
    ASSERT_TRUE(m_scratch.SetDword(L"", L"Dword", 0x12345678));
    struct Row {
        const wchar_t* name;
        uint32_t number;  // GetNumber with default 0xDEF
        uint8_t byte;     // GetByte with default 0xEE
        const char* note;
    };
    const Row rows[] = {
        {L"Two", 0xDEF, 0xEE, "2 bytes: neither a number nor a byte"},
        {L"One", 0xDEF, 0x5A, "1 byte"},
        {L"FourBinary", 0x12345678, 0xEE, "4 bytes of REG_BINARY: the type plays no part"},
        {L"Dword", 0x12345678, 0xEE, "REG_DWORD: more data than one byte"},
        {L"Missing", 0xDEF, 0xEE, "missing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(m_registry.GetNumber(OString(row.name), 0xDEF), row.number);
        EXPECT_EQ(m_registry.GetByte(OString(row.name), 0xEE), row.byte);
    }
}

TEST_F(ORegistryTest, WritesCreateKeysAndReadsDoNot) {
    EXPECT_EQ(m_registry.GetNumber(OString(L"New/Deep/V"), 3), 3u);
    EXPECT_FALSE(m_scratch.KeyExists(L"New")) << "a read created a key";
    ASSERT_TRUE(m_registry.SetNumber(OString(L"New/Deep/V"), 4));
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_TRUE(m_scratch.GetRaw(L"New\\Deep", L"V", data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    const uint8_t bytes[3] = {9, 8, 7};
    EXPECT_EQ(m_registry.SetBinary(OString(L"Bin"), bytes, 3), 3);
    ASSERT_TRUE(m_scratch.GetRaw(L"", L"Bin", data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(data, std::vector<BYTE>(bytes, bytes + 3));

    const wchar_t text[] = L"hello";
    EXPECT_EQ(m_registry.SetValue(OString(L"Sz"), text, sizeof(text), REG_SZ), static_cast<int32_t>(sizeof(text)));
    EXPECT_EQ(W(m_registry.GetString(OString(L"Sz"), OString())), L"hello");
    EXPECT_EQ(m_registry.SetValue(OString(L"Bad"), nullptr, 4, REG_BINARY), -1);
    EXPECT_EQ(m_registry.SetValue(OString(L"Bad"), bytes, -1, REG_BINARY), -1);
}

TEST_F(ORegistryTest, HiveAloneAndUnknownHiveAreRefused) {
    ORegistry registry;
    EXPECT_EQ(registry.OpenKey(OString(L"2:"), false), nullptr);
    EXPECT_EQ(registry.OpenKey(OString(L"2:"), true), nullptr);
    EXPECT_EQ(registry.OpenKey(OString(L"7:Foo"), false), nullptr);
    EXPECT_EQ(registry.OpenKey(OString(L"7:Foo"), true), nullptr);
    EXPECT_FALSE(registry.SetNumber(OString(L"7:Foo/V"), 1));
    ORegistry sevenKey(OString(L"7:Foo"));
    uint32_t value = 0;
    EXPECT_EQ(sevenKey.GetValue(OString(L"V"), &value, 4), -3);
    OStringArray names;
    EXPECT_EQ(registry.EnumerateKeys(OString(L"7:Foo"), names), -1);
    // The scratch key itself opens.
    HKEY key = registry.OpenKey(OString(m_scratch.Path().c_str()), false);
    EXPECT_NE(key, nullptr);
    ORegistry::CloseKey(key);
    ORegistry::CloseKey(nullptr);
}

TEST_F(ORegistryTest, KeyExistsTellsKeysFromValues) {
    ASSERT_TRUE(m_scratch.SetDword(L"K", L"V", 1));
    EXPECT_TRUE(m_registry.KeyExists(OString(L"K")));
    EXPECT_FALSE(m_registry.KeyExists(OString(L"K/V")));
    EXPECT_FALSE(m_registry.KeyExists(OString(L"Missing")));
}

TEST_F(ORegistryTest, EnumerateKeysSortsByCharacterCode) {
    for (const wchar_t* name : {L"b", L"a", L"Z"}) {
        ASSERT_TRUE(m_scratch.CreateKey(std::wstring(L"Parent\\") + name));
    }
    ASSERT_TRUE(m_scratch.SetDword(L"Parent", L"NotAKey", 1));
    OStringArray names;
    names.Add(OString(L"stale"));
    std::wstring path = m_scratch.Path() + L"/Parent";
    ASSERT_EQ(m_registry.EnumerateKeys(OString(path.c_str()), names), 3);
    ASSERT_EQ(names.GetCount(), 3);
    // 'Z' is 0x5A, 'a' 0x61, 'b' 0x62.
    EXPECT_EQ(W(names[0]), L"Z");
    EXPECT_EQ(W(names[1]), L"a");
    EXPECT_EQ(W(names[2]), L"b");
    std::wstring missing = m_scratch.Path() + L"/Nothing";
    EXPECT_EQ(m_registry.EnumerateKeys(OString(missing.c_str()), names), -1);
    EXPECT_EQ(m_registry.EnumerateKeys(OString(L"NoSeparator"), names), -1);
}

TEST_F(ORegistryTest, DeleteValueAndKey) {
    ASSERT_TRUE(m_scratch.SetDword(L"", L"V", 1));
    EXPECT_TRUE(m_registry.Delete(OString(L"V"), false));
    EXPECT_FALSE(m_scratch.ValueExists(L"", L"V"));
    EXPECT_FALSE(m_registry.Delete(OString(L"V"), false)) << "already gone";
    ASSERT_TRUE(m_scratch.CreateKey(L"Empty"));
    EXPECT_TRUE(m_registry.Delete(OString(L"Empty"), false));
    EXPECT_FALSE(m_scratch.KeyExists(L"Empty"));
}

TEST_F(ORegistryTest, DeleteTreeNeedsRecursion) {
    // Tree: Top/{a/{x, y/z}, b, "odd/name:%"/deep}, with values on the way.
    for (const wchar_t* key : {L"Top\\a\\x", L"Top\\a\\y\\z", L"Top\\b", L"Top\\odd/name:%\\deep"}) {
        ASSERT_TRUE(m_scratch.SetDword(key, L"V", 1));
    }
    ASSERT_TRUE(m_scratch.SetDword(L"Top", L"TopValue", 1));
    ASSERT_TRUE(m_scratch.SetDword(L"", L"Sibling", 1));

    EXPECT_FALSE(m_registry.Delete(OString(L"Top"), false));
    EXPECT_TRUE(m_scratch.KeyExists(L"Top\\a\\y\\z")) << "a failed delete removed something";
    EXPECT_TRUE(m_scratch.ValueExists(L"Top", L"TopValue"));

    EXPECT_TRUE(m_registry.Delete(OString(L"Top"), true));
    EXPECT_FALSE(m_scratch.KeyExists(L"Top"));
    EXPECT_TRUE(m_scratch.ValueExists(L"", L"Sibling")) << "the delete went beyond its tree";
}

TEST_F(ORegistryTest, DeleteWithEmptyNameRemovesTheBaseKeyItself) {
    ASSERT_TRUE(m_scratch.SetDword(L"Gone\\Child", L"V", 1));
    ORegistry registry(OString((m_scratch.Path() + L"/Gone").c_str()));
    EXPECT_TRUE(registry.Delete(OString(), true));
    EXPECT_FALSE(m_scratch.KeyExists(L"Gone"));
    EXPECT_TRUE(m_scratch.KeyExists(L""));
}

// A derived registry adding a root of its own: every value operation must
// reach it through the virtual slots.
class ScratchRootRegistry : public ORegistry {
public:
    explicit ScratchRootRegistry(std::wstring target) : m_target(std::move(target)) {}
    void ResolveRoots(OString& path) override {
        ReplaceRoot(path, OString(L"SCRATCH:"), OString(m_target.c_str()));
        ORegistry::ResolveRoots(path);
    }
    HKEY OpenKey(const OString& resolvedPath, bool create) override {
        ++opens;
        return ORegistry::OpenKey(resolvedPath, create);
    }
    int opens = 0;

private:
    std::wstring m_target;
};

TEST_F(ORegistryTest, DerivedRootsAndOpensAreUsedByEveryOperation) {
    ScratchRootRegistry registry(L"CURRENT_USER:" + m_scratch.Subkey());
    registry.SetKey(OString(L"scratch:Derived"));
    ASSERT_TRUE(registry.SetNumber(OString(L"V"), 31));
    EXPECT_TRUE(m_scratch.ValueExists(L"Derived", L"V"));
    EXPECT_EQ(registry.GetNumber(OString(L"V"), 0), 31u);
    EXPECT_TRUE(registry.KeyExists(OString()));
    OStringArray names;
    EXPECT_EQ(registry.EnumerateKeys(OString(L"SCRATCH:"), names), 1);
    EXPECT_TRUE(registry.Delete(OString(L"V"), false));
    EXPECT_GE(registry.opens, 5);
}

TEST_F(ORegistryTest, CopiesShareTheKeyPath) {
    ORegistry copy(m_registry);
    EXPECT_EQ(W(copy.GetKey()), m_scratch.Path());
    ASSERT_TRUE(copy.SetNumber(OString(L"FromCopy"), 1));
    EXPECT_TRUE(m_scratch.ValueExists(L"", L"FromCopy"));
}

}  // namespace
