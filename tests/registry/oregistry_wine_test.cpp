// ORegistry against Wine's registry, below scratch keys; expectations through
// plain Win32 calls.
#include "registry/oregistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/scratch_registry.h"
#include "support/text.h"

namespace {

using QvTest::O;
using QvTest::W;

class ORegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_scratch.IsValid()) << "cannot create a scratch key under HKEY_CURRENT_USER";
        m_registry.SetKey(O(m_scratch.Path()));
    }
    ScratchRegistryKey m_scratch;
    ORegistry m_registry;
};

TEST(ORegistryAliases, EveryAliasReachesItsHive) {
    struct Row {
        const wchar_t* root;  // as a caller writes it (any letter case)
        HKEY hive;
        // The key root stands for, or a scratch parent below it; the path to it after the root.
        const wchar_t *parent, *under;
    };
    const Row rows[] = {
        {L"CLASSES_ROOT:", HKEY_CLASSES_ROOT, L"QuorvelTest", L"QuorvelTest/"},
        {L"current_user:", HKEY_CURRENT_USER, L"Software\\QuorvelTest", L"Software/QuorvelTest/"},
        {L"Local_Machine:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuorvelTest", L"SOFTWARE/QuorvelTest/"},
        {L"USERS:", HKEY_USERS, L".DEFAULT\\Software\\QuorvelTest",
         L".DEFAULT/Software/QuorvelTest/"},
        {L"user:", HKEY_CURRENT_USER, L"SOFTWARE\\Brantheon\\Drivers", L""},
        {L"LOCAL:", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brantheon\\Drivers", L""},
        {L"print:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print", L""},
        {L"ENUM:", HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum", L""},
    };
    DWORD number = 0x1000;
    for (const Row& row : rows) {
        SCOPED_TRACE(OString(row.root).GetNarrow());
        ScratchRegistryKey scratch(row.hive, row.parent);
        ASSERT_TRUE(scratch.IsValid());
        OString path = O(std::wstring(row.root) + row.under + scratch.Name() + L"/Sub/Value");
        ORegistry registry;
        ASSERT_TRUE(registry.SetNumber(path, ++number));
        EXPECT_TRUE(scratch.HasDword(L"Sub", L"Value", number));
        EXPECT_EQ(registry.GetNumber(path, 0), number);
    }
}

TEST_F(ORegistryTest, WrittenPathsAddressTheseKeysAndValues) {
    struct Row {
        const wchar_t* base;         // appended to the scratch path to make the base key
        std::wstring written;        // the value name as a caller writes it
        const wchar_t *key, *value;  // where it is stored, below the scratch key
        const char* note;
    };
    const Row rows[] = {
        {L"", L"Label//1::2/Value", L"Label/1:2", L"Value", "one key holding '/' and ':'"},
        {L"", L"Ports/Port%2FA%3AB%25/Speed", L"Ports\\Port/A:B%", L"Speed", "escaped key name"},
        {L"", L"A\\B\\V", L"A\\B", L"V", "backslash separators"},
        {L"/Does/Not/Exist", m_scratch.Path() + L"/Other/V", L"Other", L"V", "absolute name"},
        {L"/Does/Not/Exist", L"CURRENT_USER:" + m_scratch.Subkey() + L"\\Other\\W", L"Other", L"W",
         "absolute name with an alias"},
    };
    DWORD number = 7;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ORegistry registry(O(m_scratch.Path() + row.base));
        ASSERT_TRUE(registry.SetNumber(O(row.written), ++number));
        EXPECT_TRUE(m_scratch.HasDword(row.key, row.value, number));
        ASSERT_TRUE(m_scratch.SetDword(row.key, row.value, number + 100));
        EXPECT_EQ(registry.GetNumber(O(row.written), 0), number + 100);
    }
}

TEST_F(ORegistryTest, ReadsGiveByteCountsAndNeedExactSizes) {
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Eight", REG_BINARY, eight, 8));
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"Two", REG_BINARY, eight, 2));
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"One", REG_BINARY, eight, 1));
    ASSERT_TRUE(m_scratch.SetRaw(L"", L"FourBinary", REG_BINARY, eight, 4));
    struct Row {
        const wchar_t* name;
        int32_t size;     // GetValue's buffer size
        int32_t result;   // GetValue's result
        uint32_t number;  // GetNumber with default 0xDEF
        uint8_t byte;     // GetByte with default 0xEE
        const char* note;
    };
    const Row rows[] = {
        {L"Eight", 8, 8, 0xDEF, 0xEE, "exact size"},
        {L"Eight", 16, 8, 0xDEF, 0xEE, "larger buffer"},
        {L"Eight", 4, -4, 0xDEF, 0xEE, "larger than the buffer"},
        {L"Eight", 0, -4, 0xDEF, 0xEE, "zero-sized buffer"},
        {L"Two", 16, 2, 0xDEF, 0xEE, "2 bytes: neither a number nor a byte"},
        {L"One", 16, 1, 0xDEF, 0x01, "1 byte"},
        {L"FourBinary", 16, 4, 0x04030201, 0xEE, "4 bytes of REG_BINARY: the type plays no part"},
        {L"Missing", 16, -1, 0xDEF, 0xEE, "missing value"},
        {L"NoKey/Eight", 16, -3, 0xDEF, 0xEE, "missing key"},
        // RegOpenKeyExW(hive, L"") opens the hive itself, which would give -1.
        {L"2:Eight", 16, -3, 0xDEF, 0xEE, "a hive alone does not open"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        uint8_t buffer[24];
        std::memset(buffer, 0xCD, sizeof(buffer));
        EXPECT_EQ(m_registry.GetValue(OString(row.name), buffer + 4, row.size), row.result);
        // Nothing is ever written outside [4, 4 + size), nor past the data.
        int32_t written = row.result > 0 ? row.result : 0;
        for (int32_t i = 0; i < 24; ++i) {
            EXPECT_EQ(buffer[i], i >= 4 && i < 4 + written ? eight[i - 4] : 0xCD) << "byte " << i;
        }
        EXPECT_EQ(m_registry.GetNumber(OString(row.name), 0xDEF), row.number);
        EXPECT_EQ(m_registry.GetByte(OString(row.name), 0xEE), row.byte);
    }
    uint8_t byte = 0;
    EXPECT_EQ(ORegistry().GetValue(OString(L"NoSeparatorAnywhere"), &byte, 1), -2);
    EXPECT_EQ(m_registry.GetValue(OString(L"Eight"), nullptr, 8), -4)
        << "a null buffer reads as an empty one";
}

TEST_F(ORegistryTest, GetStringReadsUpToTheNulWithOneRetry) {
    auto text = [](size_t chars) {
        std::wstring t(chars, L'x');
        t.front() = L'<';
        t.back() = L'>';
        return t;
    };
    struct Row {
        DWORD type;
        std::wstring data;
        int bytes;  // how many bytes of data are stored; -1: the text and its NUL
        std::wstring expected;
        const char* note;
    };
    const Row rows[] = {
        {REG_SZ, L"a", -1, L"a", "one character"},
        {REG_SZ, text(4094), -1, text(4094), "8190 bytes with the NUL: the first read"},
        {REG_SZ, text(4095), -1, text(4095), "8192 bytes: through the retry"},
        {REG_SZ, text(65534), -1, text(65534), "131070 bytes: the largest the retry takes"},
        {REG_SZ, text(65535), -1, L"default", "131072 bytes: too long even for the retry"},
        {REG_BINARY, std::wstring(L"ab\0cd", 5), -1, L"ab", "any type; text ends at a NUL"},
        {REG_BINARY, L"xyz", 6, L"xyz", "no NUL stored: the zeroed buffer ends it"},
        {REG_SZ, L"", 0, L"default", "0 bytes is no text"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        DWORD bytes = static_cast<DWORD>(row.bytes >= 0 ? static_cast<size_t>(row.bytes)
                                                        : (row.data.size() + 1) * 2);
        ASSERT_TRUE(m_scratch.SetRaw(L"", L"Text", row.type, row.data.c_str(), bytes));
        EXPECT_EQ(W(m_registry.GetString(OString(L"Text"), OString(L"default"))), row.expected);
    }
    EXPECT_EQ(W(m_registry.GetString(OString(L"Absent"), OString(L"fallback"))), L"fallback");
}

TEST_F(ORegistryTest, WritesCreateKeysAndReadsDoNot) {
    EXPECT_EQ(m_registry.GetNumber(OString(L"New/Deep/V"), 3), 3u);
    EXPECT_FALSE(m_scratch.KeyExists(L"New")) << "a read created a key";
    ASSERT_TRUE(m_registry.SetNumber(OString(L"New/Deep/V"), 4));
    EXPECT_TRUE(m_scratch.HasDword(L"New\\Deep", L"V", 4));
    const uint8_t bytes[3] = {9, 8, 7};
    EXPECT_EQ(m_registry.SetBinary(OString(L"Bin"), bytes, 3), 3);
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_TRUE(m_scratch.GetRaw(L"", L"Bin", data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(data, std::vector<BYTE>(bytes, bytes + 3));
    const wchar_t text[] = L"hello";
    EXPECT_EQ(m_registry.SetValue(OString(L"Sz"), text, sizeof(text), REG_SZ),
              static_cast<int32_t>(sizeof(text)));
    ASSERT_TRUE(m_scratch.GetRaw(L"", L"Sz", data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(m_registry.SetValue(OString(L"Bad"), nullptr, 4, REG_BINARY), -1);
    EXPECT_EQ(m_registry.SetValue(OString(L"Bad"), bytes, -1, REG_BINARY), -1);
    EXPECT_FALSE(m_scratch.ValueExists(L"", L"Bad"));
    EXPECT_FALSE(m_registry.SetNumber(OString(L"7:Foo/V"), 1)) << "no such hive";
    EXPECT_FALSE(ORegistry().OpenKey(OString(L"2:"), true)) << "a hive alone was opened";
}

TEST_F(ORegistryTest, KeyExistsAndEnumerateKeys) {
    for (const wchar_t* name : {L"b", L"a", L"Z"}) {
        ASSERT_TRUE(m_scratch.CreateKey(std::wstring(L"Parent\\") + name));
    }
    ASSERT_TRUE(m_scratch.SetDword(L"Parent", L"NotAKey", 1));
    EXPECT_TRUE(m_registry.KeyExists(OString(L"Parent")));
    EXPECT_FALSE(m_registry.KeyExists(OString(L"Parent/NotAKey")));
    EXPECT_FALSE(m_registry.KeyExists(OString(L"Missing")));
    OStringArray names;
    names.Add(OString(L"stale"));
    ASSERT_EQ(m_registry.EnumerateKeys(O(m_scratch.Path() + L"/Parent"), names), 3);
    EXPECT_EQ(QvTest::Joined(names), "Z,a,b") << "by character code";
    EXPECT_EQ(m_registry.EnumerateKeys(O(m_scratch.Path() + L"/Nothing"), names), -1);
    EXPECT_EQ(m_registry.EnumerateKeys(OString(L"7:Foo"), names), -1);
}

TEST_F(ORegistryTest, DeleteValuesKeysAndTrees) {
    ASSERT_TRUE(m_scratch.SetDword(L"", L"V", 1));
    EXPECT_TRUE(m_registry.Delete(OString(L"V"), false));
    EXPECT_FALSE(m_scratch.ValueExists(L"", L"V"));
    EXPECT_FALSE(m_registry.Delete(OString(L"V"), false)) << "already gone";
    ASSERT_TRUE(m_scratch.SetDword(L"", L"W", 1));
    EXPECT_TRUE(m_registry.Delete(OString(L"W"), true)) << "a value, with the recursive flag";
    ASSERT_TRUE(m_scratch.CreateKey(L"Empty"));
    EXPECT_TRUE(m_registry.Delete(OString(L"Empty"), false));
    EXPECT_FALSE(m_scratch.KeyExists(L"Empty"));
    for (const wchar_t* key :
         {L"Top\\a\\x", L"Top\\a\\y\\z", L"Top\\b", L"Top\\odd/name:%\\deep"}) {
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

    // An empty name deletes the base key itself.
    ASSERT_TRUE(m_scratch.SetDword(L"Gone\\Child", L"V", 1));
    EXPECT_TRUE(ORegistry(O(m_scratch.Path() + L"/Gone")).Delete(OString(), true));
    EXPECT_FALSE(m_scratch.KeyExists(L"Gone"));
    EXPECT_TRUE(m_scratch.KeyExists(L""));
}

// A derived registry adding a root of its own: every value operation must
// reach it through the virtual slots.
class ScratchRootRegistry : public ORegistry {
public:
    explicit ScratchRootRegistry(std::wstring target) : m_target(std::move(target)) {}
    void ResolveRoots(OString& path) override {
        ReplaceRoot(path, OString(L"SCRATCH:"), O(m_target));
        ORegistry::ResolveRoots(path);
    }
    ORegKey OpenKey(const OString& resolvedPath, bool create) override {
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
    EXPECT_TRUE(m_scratch.HasDword(L"Derived", L"V", 31));
    EXPECT_EQ(registry.GetNumber(OString(L"V"), 0), 31u);
    EXPECT_TRUE(registry.KeyExists(OString()));
    OStringArray names;
    EXPECT_EQ(registry.EnumerateKeys(OString(L"SCRATCH:"), names), 1);
    EXPECT_TRUE(registry.Delete(OString(L"V"), false));
    EXPECT_GE(registry.opens, 5);
}

}  // namespace
