#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/streams.h"
#include "support/files.h"

namespace {

using QvTest::ReadWholeFile;
using QvTest::WriteWholeFile;

class OFileTest : public QvTest::ScratchFolderTest {};

TEST_F(OFileTest, OpenOfAMissingFileWithoutCreateFailsAndLeavesTheObjectReusable) {
    OFile file;
    ::SetLastError(0xDEADBEEF);
    EXPECT_FALSE(file.Open(Path(L"missing.txt").c_str(), OFile::kWrite));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ReadWholeFile(Path(L"missing.txt")).has_value()) << "nothing was created";
    EXPECT_EQ(file.Seek(5, OFile::kFromStart), 0);
    EXPECT_EQ(file.WriteRaw("x", 1), 0u);
    ASSERT_TRUE(file.Open(Path(L"missing.txt").c_str(), OFile::kWrite | OFile::kCreate));
    EXPECT_EQ(file.GetPath(), OString(Path(L"missing.txt").c_str()));
}

TEST_F(OFileTest, OpenFlagsDecideTruncationAppendAndWriteAccess) {
    struct Row {
        const char* before;  // null: no file
        uint32_t flags;
        uint32_t written;  // what WriteRaw("new") returns
        const char* after;
        const char* note;
    } rows[] = {
        {"old content", OFile::kWrite, 3, "new", "write empties the file"},
        {"old content", OFile::kWrite | OFile::kAppend, 3, "old contentnew",
         "append keeps the content"},
        {"old content", OFile::kWrite | OFile::kAppend | OFile::kCreate, 3, "old contentnew",
         "append with create"},
        {nullptr, OFile::kWrite | OFile::kCreate, 3, "new", "create makes a missing file"},
        {"keep me", 0, 0, "keep me", "without kWrite: read only, from the beginning"},
        {"keep me", OFile::kAppend, 0, "keep me", "append without kWrite reads"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring path = Path(L"content.txt");
        ::DeleteFileW(path.c_str());
        if (row.before != nullptr) {
            ASSERT_TRUE(WriteWholeFile(path, row.before));
        }
        OFile file;
        ASSERT_TRUE(file.Open(path.c_str(), row.flags));
        if (row.written == 0) {
            EXPECT_EQ(file.GetSize(), 7u);
            char buffer[16] = {};
            EXPECT_EQ(file.ReadRaw(buffer, sizeof buffer), 7u);
            EXPECT_STREQ(buffer, row.before);
        }
        EXPECT_EQ(file.WriteRaw("new", 3), row.written);
        file.Close();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(ReadWholeFile(path), row.after);
    }
}

TEST_F(OFileTest, ShareBitsDecideWhatOthersMayOpen) {
    struct Row {
        uint32_t flags;
        bool othersRead;
        bool othersWrite;
        const char* note;
    } rows[] = {
        {0x10, false, false, "exclusive"},
        {0x20, true, false, "others may read"},
        {0x30, false, true, "others may write"},
        {0x00, true, true, "0: read and write"},
        {0x40, true, true, "unlisted value: read and write"},
    };
    std::wstring path = Path(L"shared.txt");
    ASSERT_TRUE(WriteWholeFile(path, "x"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        OFile file;
        ASSERT_TRUE(file.Open(path.c_str(), row.flags));
        for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
            // The second opener shares everything, so only our share mode can refuse.
            HANDLE other = ::CreateFileW(path.c_str(), access,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            bool opened = other != INVALID_HANDLE_VALUE;
            DWORD error = ::GetLastError();
            if (opened) {
                ::CloseHandle(other);
            }
            bool expected = access == GENERIC_READ ? row.othersRead : row.othersWrite;
            EXPECT_EQ(opened, expected) << (access == GENERIC_READ ? "read" : "write");
            if (!opened) {
                EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
            }
        }
    }
}

// Whether Flush, Close or the destructor ends the file, the buffered rest
// follows and the exclusive handle is gone.
TEST_F(OFileTest, EveryEndSendsTheBufferedRest) {
    std::string data(2500, 'a');
    data.back() = 'z';
    for (int end = 0; end < 3; ++end) {
        SCOPED_TRACE(end);
        std::wstring path = Path(L"buffered" + std::to_wstring(end) + L".bin");
        {
            OFile file;
            ASSERT_TRUE(
                file.Open(path.c_str(), OFile::kWrite | OFile::kCreate | OFile::kShareRead));
            EXPECT_EQ(file.Write(data.data(), 2500), 2500u);
            EXPECT_EQ(ReadWholeFile(path).value_or("").size(), 2048u) << "452 bytes still wait";
            if (end == 0) {
                EXPECT_EQ(file.Flush(), 452u);
            } else if (end == 1) {
                file.Close();
                file.Close();  // closing twice does nothing
            }
        }
        EXPECT_EQ(ReadWholeFile(path), data);
        OFile again;
        EXPECT_TRUE(again.Open(path.c_str(), OFile::kWrite | OFile::kAppend | OFile::kShareNone));
    }
}

TEST_F(OFileTest, SeekAndReadFlushPendingBytesFirst) {
    std::wstring path = Path(L"seek.txt");
    OFile file;
    ASSERT_TRUE(file.Open(path.c_str(), OFile::kWrite | OFile::kCreate));
    file.Write("0123456789", 10);
    EXPECT_EQ(file.GetSize(), 0u) << "still buffered";
    EXPECT_EQ(file.Seek(2, OFile::kFromStart), 2);
    file.Write("AB", 2);
    EXPECT_EQ(file.Seek(-3, OFile::kFromEnd), 7);
    file.Write("C", 1);
    EXPECT_EQ(file.Seek(0, OFile::kFromCurrent), 8);
    EXPECT_EQ(file.Seek(0, 7), -1) << "an unknown origin fails";
    file.Seek(0, OFile::kFromStart);
    file.Write("X", 1);
    char buffer[4] = {};
    EXPECT_EQ(file.ReadRaw(buffer, 3), 3u);
    EXPECT_STREQ(buffer, "1AB");
    file.Close();
    EXPECT_EQ(ReadWholeFile(path), "X1AB456C89");
}

}  // namespace
