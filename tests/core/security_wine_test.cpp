#include <windows.h>
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

TEST(OSecurityAttributes, BuildConvertsTheEntriesAndResetStartsAgain) {
    OSecurityAttributes attributes;
    EXPECT_EQ(attributes.GetText(), "D:");
    EXPECT_EQ(attributes.Get()->nLength, 24u);
    EXPECT_FALSE(attributes.Get()->bInheritHandle);
    attributes.Append(L"(A;OICI;GA;;;WD)");
    attributes.Append(L"(A;OICI;FR;;;BA)");
    ASSERT_TRUE(attributes.Build());
    EXPECT_EQ(attributes.Get()->lpSecurityDescriptor, attributes.GetDescriptor());
    EXPECT_EQ(DaclText(attributes.GetDescriptor()),
              CanonicalDacl(L"D:(A;OICI;GA;;;WD)(A;OICI;FR;;;BA)"));
    attributes.Append(L"(A;OICI;FA;;;SY)");
    ASSERT_TRUE(attributes.Build()) << "building again replaces the descriptor";
    EXPECT_EQ(DaclText(attributes.Get()->lpSecurityDescriptor),
              CanonicalDacl(L"D:(A;OICI;GA;;;WD)(A;OICI;FR;;;BA)(A;OICI;FA;;;SY)"));
    attributes.Append(L"(not an entry");
    EXPECT_FALSE(attributes.Build());
    EXPECT_EQ(attributes.Get()->lpSecurityDescriptor, nullptr) << "no descriptor after a failure";
    attributes.Reset();
    EXPECT_EQ(attributes.GetText(), "D:");
    EXPECT_EQ(attributes.GetDescriptor(), nullptr);
}

class CreateDirectoryRecursiveTest : public QvTest::ScratchFolderTest {};

TEST_F(CreateDirectoryRecursiveTest, ResultAndWhatIsLeftBehind) {
    ASSERT_TRUE(QvTest::WriteWholeFile(Path(L"plain"), "x"));
    struct Row {
        std::wstring path;
        bool result;
        std::wstring folder;
        bool exists;  // whether folder is a folder afterwards
        const char* note;
    } rows[] = {
        {m_scratch.Path(), true, m_scratch.Path(), true, "an existing folder is success"},
        {m_scratch.Path() + L"\\", true, m_scratch.Path(), true, "so is its name with a backslash"},
        {Path(L"a\\b\\c"), true, Path(L"a\\b"), true, "missing levels are made"},
        {Path(L"x\\y\\"), true, Path(L"x\\y"), true, "a trailing backslash makes the parents"},
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
    struct Row {
        int32_t access;
        const wchar_t* dacl;  // null: no security attributes at all
    } const rows[] = {
        {0, nullptr},
        {1, L"D:(A;OICI;FR;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
        {2, L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
        {3, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
        {-1, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    };
    ODirectoryApi api;
    api.createDirectory = RecordingCreateDirectory;
    {
        OScopedDirectoryApi scoped(api);
        for (const auto& row : rows) {
            SCOPED_TRACE(row.access);
            g_calls.clear();
            std::wstring top = Path(L"acl" + std::to_wstring(row.access + 10));
            std::wstring leaf = top + L"\\leaf";
            ASSERT_TRUE(CreateDirectoryRecursive(leaf.c_str(), row.access));
            EXPECT_TRUE(IsFolder(leaf));
            // leaf fails (no parent), top is made, leaf again.
            std::wstring dacl = row.dacl == nullptr ? L"<no attributes>" : CanonicalDacl(row.dacl);
            EXPECT_EQ(g_calls, (std::vector<std::pair<std::wstring, std::wstring>>{
                                   {leaf, dacl}, {top, dacl}, {leaf, dacl}}));
        }
    }
    g_calls.clear();
    EXPECT_TRUE(CreateDirectoryRecursive(Path(L"after").c_str(), 0));
    EXPECT_TRUE(g_calls.empty()) << "the seam is restored after its scope";
}

}  // namespace
