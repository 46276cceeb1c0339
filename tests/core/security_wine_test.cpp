#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/security.h"
#include "support/files.h"

namespace {

using QvTest::IsFolder;

// The DACL of a descriptor as SDDL text, as the system writes it back.
std::wstring DaclText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"<unconvertible>";
    }
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// The same text through the system's own parser, as the independent
// expectation for what our record built.
std::wstring CanonicalDacl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        return L"<bad literal>";
    }
    std::wstring result = DaclText(descriptor);
    ::LocalFree(descriptor);
    return result;
}

::testing::AssertionResult IsEmptyDaclWithoutDescriptor(OSecurityAttributes& attributes) {
    SECURITY_ATTRIBUTES* a = attributes.Get();
    if (attributes.GetText() != "D:" || a->nLength != 24 || a->lpSecurityDescriptor != nullptr ||
        a->bInheritHandle) {
        return ::testing::AssertionFailure()
               << "text " << attributes.GetText().GetNarrow() << ", length " << a->nLength
               << ", descriptor " << a->lpSecurityDescriptor;
    }
    return ::testing::AssertionSuccess();
}

TEST(OSecurityAttributes, StartsAndResetsAsAnEmptyDaclWithoutDescriptor) {
    OSecurityAttributes attributes;
    EXPECT_TRUE(IsEmptyDaclWithoutDescriptor(attributes));
    attributes.Append(L"(A;OICI;GA;;;WD)");
    ASSERT_TRUE(attributes.Build());
    attributes.Reset();
    EXPECT_TRUE(IsEmptyDaclWithoutDescriptor(attributes));
}

TEST(OSecurityAttributes, BuildConvertsTheAppendedEntries) {
    OSecurityAttributes attributes;
    attributes.Append(L"(A;OICI;GA;;;WD)");
    attributes.Append(L"(A;OICI;FR;;;BA)");
    EXPECT_EQ(attributes.GetText(), "D:(A;OICI;GA;;;WD)(A;OICI;FR;;;BA)");
    ASSERT_TRUE(attributes.Build());
    PSECURITY_DESCRIPTOR descriptor = attributes.Get()->lpSecurityDescriptor;
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor, attributes.GetDescriptor());
    EXPECT_TRUE(::IsValidSecurityDescriptor(descriptor));
    EXPECT_EQ(DaclText(descriptor), CanonicalDacl(L"D:(A;OICI;GA;;;WD)(A;OICI;FR;;;BA)"));

    // Building again replaces the descriptor (the old one is freed).
    attributes.Append(L"(A;OICI;FA;;;SY)");
    ASSERT_TRUE(attributes.Build());
    EXPECT_EQ(DaclText(attributes.Get()->lpSecurityDescriptor),
              CanonicalDacl(L"D:(A;OICI;GA;;;WD)(A;OICI;FR;;;BA)(A;OICI;FA;;;SY)"));
}

TEST(OSecurityAttributes, TextThatDoesNotConvertLeavesNoDescriptor) {
    OSecurityAttributes attributes;
    attributes.Append(L"(A;OICI;GA;;;WD)");
    ASSERT_TRUE(attributes.Build());
    attributes.Append(L"(not an entry");
    EXPECT_FALSE(attributes.Build());
    EXPECT_EQ(attributes.Get()->lpSecurityDescriptor, nullptr);
    EXPECT_EQ(attributes.GetDescriptor(), nullptr);
}

class CreateDirectoryRecursiveTest : public QvTest::ScratchFolderTest {};

TEST_F(CreateDirectoryRecursiveTest, CreatesMissingLevelsAtEveryAccessLevel) {
    for (int32_t access : {0, 1, 2, 3, 77}) {
        SCOPED_TRACE(access);
        std::wstring top = Path(L"levels" + std::to_wstring(access));
        ASSERT_FALSE(IsFolder(top));
        EXPECT_TRUE(CreateDirectoryRecursive((top + L"\\b\\c").c_str(), access));
        EXPECT_TRUE(IsFolder(top));
        EXPECT_TRUE(IsFolder(top + L"\\b"));
        EXPECT_TRUE(IsFolder(top + L"\\b\\c"));
    }
}

TEST_F(CreateDirectoryRecursiveTest, ResultAndWhatIsLeftBehind) {
    ASSERT_TRUE(QvTest::WriteWholeFile(Path(L"plain"), "x"));
    struct Row {
        std::wstring path;
        bool result;
        std::wstring
            folder;  // exists afterwards, or not when the result is false and it is not "kept"
        bool exists;
        const char* note;
    } rows[] = {
        {m_scratch.Path(), true, m_scratch.Path(), true, "an existing folder is success"},
        {m_scratch.Path() + L"\\", true, m_scratch.Path(), true, "so is its name with a backslash"},
        {Path(L"x\\y\\"), true, Path(L"x\\y"), true,
         "a trailing backslash still makes the parents"},
        {Path(L"plain"), false, Path(L"plain"), false, "a file of that name is not a folder"},
        {Path(L"plain\\sub\\leaf"), false, Path(L"plain\\sub"), false, "nor can it hold one"},
        {Path(L"kept\\inner\\bad|name"), false, Path(L"kept\\inner"), true,
         "a forbidden character fails at the last level; the parents made stay"},
        {L"bad|name", false, L"bad|name", false, "no backslash: no parent"},
        {L"", false, L"", false, "empty path"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(CreateDirectoryRecursive(row.path.c_str(), 0), row.result);
        EXPECT_EQ(IsFolder(row.folder), row.exists);
    }
}

TEST_F(CreateDirectoryRecursiveTest, PathWithoutACreatableParentFails) {
    // A drive letter that maps to nothing: every level fails up to the root.
    DWORD drives = ::GetLogicalDrives();
    wchar_t letter = 0;
    for (wchar_t c = L'Q'; c <= L'Y' && letter == 0; ++c) {
        letter = (drives & (1u << (c - L'A'))) == 0 ? c : 0;
    }
    if (letter == 0) {
        GTEST_SKIP() << "no free drive letter between Q and Y";
    }
    std::wstring path = std::wstring(1, letter) + L":\\one\\two\\three";
    EXPECT_FALSE(CreateDirectoryRecursive(path.c_str(), 0));
}

struct AccessRow {
    int32_t access;
    const wchar_t* dacl;  // null: no security attributes at all
};

const AccessRow kAccessRows[] = {
    {0, nullptr},
    {1, L"D:(A;OICI;FR;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    {2, L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    {3, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    {-1, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    {100, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
};

// What each CreateDirectoryW call received, the real call then made.
std::vector<std::pair<std::wstring, std::wstring>> g_calls;

BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    std::wstring dacl = L"<no attributes>";
    if (attributes != nullptr) {
        dacl = attributes->nLength == 24 && !attributes->bInheritHandle
                   ? DaclText(attributes->lpSecurityDescriptor)
                   : L"<malformed attributes>";
    }
    g_calls.emplace_back(path, dacl);
    return ::CreateDirectoryW(path, attributes);
}

// Wine reports a directory's DACL from its Unix mode bits and stores none, so
// the descriptor every level receives is checked at the call.
TEST_F(CreateDirectoryRecursiveTest, EveryLevelGetsTheDaclOfTheAccessLevel) {
    ODirectoryApi api;
    api.createDirectory = RecordingCreateDirectory;
    OScopedDirectoryApi scoped(api);
    for (const auto& row : kAccessRows) {
        SCOPED_TRACE(row.access);
        g_calls.clear();
        std::wstring top = Path(L"acl" + std::to_wstring(row.access + 10));
        std::wstring leaf = top + L"\\leaf";
        ASSERT_TRUE(CreateDirectoryRecursive(leaf.c_str(), row.access));
        // leaf fails (no parent), top is made, leaf again.
        ASSERT_EQ(g_calls.size(), 3u);
        EXPECT_EQ(g_calls[0].first, leaf);
        EXPECT_EQ(g_calls[1].first, top);
        EXPECT_EQ(g_calls[2].first, leaf);
        std::wstring expected = row.dacl == nullptr ? L"<no attributes>" : CanonicalDacl(row.dacl);
        for (const auto& call : g_calls) {
            EXPECT_EQ(call.second, expected)
                << "for " << std::string(call.first.begin(), call.first.end());
        }
    }
}

TEST_F(CreateDirectoryRecursiveTest, TheSeamIsRestoredAfterItsScope) {
    {
        ODirectoryApi api;
        api.createDirectory = [](LPCWSTR, LPSECURITY_ATTRIBUTES) -> BOOL {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        };
        OScopedDirectoryApi scoped(api);
        EXPECT_FALSE(CreateDirectoryRecursive(Path(L"denied").c_str(), 0));
    }
    EXPECT_TRUE(CreateDirectoryRecursive(Path(L"allowed").c_str(), 0));
    EXPECT_TRUE(IsFolder(Path(L"allowed")));
}

}  // namespace
