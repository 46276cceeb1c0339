// Dump numbering, the one-dump-a-minute rule and what a dump holds, in a
// scratch folder.

#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <sddl.h>

#include "core/clock.h"
#include "core/security.h"
#include "diagnostics/event_log.h"
#include "diagnostics/minidump.h"
#include "support/files.h"
#include "support/links.h"
#include "support/logged_events.h"
#include "support/text.h"

namespace {

using QvTest::O;

// A file holding "MDMP" whose last write lies age days back.
bool PlantAt(const std::wstring& path, int age) {
    if (!QvTest::WriteWholeFile(path, "MDMP")) {
        return false;
    }
    OFileHandle file(
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr));
    ULARGE_INTEGER time{};
    time.QuadPart = 133000000000000000ull - age * 864000000000ull;
    FILETIME at{time.LowPart, time.HighPart};
    return file && ::SetFileTime(file.Get(), nullptr, nullptr, &at);
}

// Stands in for the real writer, which takes many seconds under Wine.
BOOL WINAPI QuickDump(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                      PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
    DWORD written = 0;
    return ::WriteFile(file, "MDMP", 4, &written, nullptr);
}

struct Clock {
    static inline uint64_t now = 5000000;
    static ULONGLONG WINAPI Tick() { return now; }
};

class MiniDumpFolder : public QvTest::ScratchFolderTest {
protected:
    void SetUp() override {
        ScratchFolderTest::SetUp();
        ::RtlCaptureContext(&m_context);
        m_record.ExceptionCode = 0xE0000042;
        m_record.ExceptionAddress = reinterpret_cast<void*>(m_context.Rip);
    }
    std::wstring Name(int n) const {
        return OMiniDump::FileName(OString(Path(L"qvcrash_").c_str()), n).GetWide();
    }
    bool Exists(int n) const {
        return ::GetFileAttributesW(Name(n).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    bool Plant(const std::wstring& name, int age) const { return PlantAt(Path(name), age); }
    bool Plant(int n, int age) const { return PlantAt(Name(n), age); }

    QvTest::LoggedEvents m_events;
    OEventLog m_log{OString(L"Quorvel Test Dumps")};
    OMiniDump m_dump{OString(Path(L"").c_str())};
    EXCEPTION_RECORD m_record{};
    CONTEXT m_context{};
    EXCEPTION_POINTERS m_pointers{&m_record, &m_context};
    OClockOverride m_clock{OClockApi{&Clock::Tick}};
};

TEST_F(MiniDumpFolder, NumbersPastExistingDumpsAndHoldsTheException) {
    ASSERT_TRUE(QvTest::WriteWholeFile(Name(0), "") && QvTest::WriteWholeFile(Name(1), ""));
    EXPECT_EQ(std::wstring(m_dump.MiniDumpGenerate(nullptr, &m_pointers).GetWide()), Name(2));
    std::optional<std::string> dump = QvTest::ReadWholeFile(Name(2));
    ASSERT_TRUE(dump && dump->compare(0, 4, "MDMP") == 0);
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(
        ::MiniDumpReadDumpStream(dump->data(), ExceptionStream, &directory, &stream, &size));
    auto* exception = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream);
    EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, 0xE0000042u);
    EXPECT_EQ(exception->ThreadId, ::GetCurrentThreadId());
}

TEST_F(MiniDumpFolder, AtMostOneDumpAMinute) {
    OMiniDumpOverride quick(OMiniDumpApi{&QuickDump});
    struct Row {
        uint64_t at;  // ms after the first attempt
        bool written;
        const char* note;
    } rows[] = {
        {0, true, "the first"},
        {60000, false, "exactly a minute later"},
        {60001, true, "a minute and a millisecond"},
        {60002, false, "refusals do not move the last attempt, writes do"},
    };
    // The second start is the first second after boot: "no attempt yet" is
    // not an attempt at tick 0.
    for (uint64_t start : {Clock::now, uint64_t{1000}}) {
        SCOPED_TRACE(start);
        OMiniDump dump(OString(Path(std::to_wstring(start) + L"\\").c_str()));
        int files = 0;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.note);
            Clock::now = start + row.at;
            EXPECT_EQ(!dump.MiniDumpGenerate(nullptr, &m_pointers).IsEmpty(), row.written);
            files += row.written ? 1 : 0;
            std::wstring prefix = Path(std::to_wstring(start) + L"\\qvcrash_");
            auto exists = [&](int n) {
                return ::GetFileAttributesW(
                           OMiniDump::FileName(OString(prefix.c_str()), n).GetWide()) !=
                       INVALID_FILE_ATTRIBUTES;
            };
            EXPECT_EQ(exists(files - 1), files > 0);
            EXPECT_FALSE(exists(files));
        }
    }
}

// The folder keeps the newest dumps, by time; the next number follows the
// newest one's, wrapping after 9999; other names are never touched.
TEST_F(MiniDumpFolder, KeepsTheNewestTenAndNumbersAfterTheNewest) {
    OMiniDumpOverride quick(OMiniDumpApi{&QuickDump});
    struct Row {
        std::vector<std::pair<int, int>> present;  // number, age in days
        int next;
        std::vector<int> gone;
        const char* note;
    };
    std::vector<std::pair<int, int>> twelve;
    for (int n = 0; n < 12; ++n) {
        twelve.push_back({n, 20 - n});
    }
    const Row rows[] = {
        {twelve, 12, {0, 1, 2}, "12 present: the oldest three make room, 10 remain"},
        {{{9998, 2}, {9999, 1}}, 0, {}, "9999 wraps to 0000"},
        {{{0, 5}, {9999, 1}}, 0, {}, "an old 0000 come round again is replaced"},
        {{{5, 1}, {7, 3}}, 6, {}, "the newest, not the highest"},
        {{{0, 5}, {9999, 3}, {1, 1}}, 2, {}, "after a wrap"},
    };
    const wchar_t* others[] = {L"qvcrash_12345.dmp", L"qvcrash_12a4.dmp", L"qvcrash_0001.dmp.txt",
                               L"other.dmp"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        QvTest::ScratchFolder folder;
        OMiniDump dump(OString((folder.Path() + L"\\").c_str()));
        for (const wchar_t* other : others) {
            ASSERT_TRUE(QvTest::WriteWholeFile(folder.File(other), "x"));
        }
        auto name = [&](int n) -> std::wstring {
            return OMiniDump::FileName(OString(folder.File(L"qvcrash_").c_str()), n).GetWide();
        };
        for (auto [number, age] : row.present) {
            ASSERT_TRUE(PlantAt(name(number), age));
        }
        Clock::now += 120000;
        EXPECT_EQ(std::wstring(dump.MiniDumpGenerate(nullptr, &m_pointers).GetWide()),
                  name(row.next));
        for (auto [number, age] : row.present) {
            bool gone = std::find(row.gone.begin(), row.gone.end(), number) != row.gone.end();
            EXPECT_EQ(::GetFileAttributesW(name(number).c_str()) == INVALID_FILE_ATTRIBUTES, gone)
                << number;
        }
        for (const wchar_t* other : others) {
            EXPECT_TRUE(QvTest::ReadWholeFile(folder.File(other)).has_value())
                << O(other).GetNarrow();
        }
    }
}

struct Owner {
    static inline const wchar_t* sid = nullptr;
    static DWORD WINAPI Get(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*,
                            PACL*, PACL*, PSECURITY_DESCRIPTOR* descriptor) {
        PSID made = nullptr;
        if (!::ConvertStringSidToSidW(sid, &made)) {
            return ::GetLastError();
        }
        // The caller frees the descriptor: the SID is handed over as one.
        *owner = made;
        *descriptor = made;
        return ERROR_SUCCESS;
    }
};

// Wine reports every folder as the caller's; other owners come from the seam.
TEST_F(MiniDumpFolder, AFolderOwnedByAnotherUserGetsNoDumpsAndOneLogLine) {
    OMiniDumpOverride quick(OMiniDumpApi{&QuickDump});
    struct Row {
        const wchar_t* owner;
        bool used;
        const char* note;
    };
    OString me = OCurrentUserSid();
    const Row rows[] = {
        {L"S-1-5-21-1-2-3-1001", false, "another user"},
        {L"BA", true, "administrators"},
        {L"SY", true, "the system"},
        {me.GetWide(), true, "this process's user"},
    };
    OFileIdentityApi api;
    api.getNamedSecurityInfo = &Owner::Get;
    OScopedFileIdentityApi use(api);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        Owner::sid = row.owner;
        QvTest::ScratchFolder folder;
        OMiniDump dump(OString((folder.Path() + L"\\").c_str()));
        for (int attempt = 0; attempt < 2; ++attempt) {
            Clock::now += 120000;
            EXPECT_EQ(dump.MiniDumpGenerate(&m_log, &m_pointers).IsEmpty(), !row.used);
        }
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_ERROR_TYPE, L"S-1-5-21-1-2-3-1001"), 1)
            << "said once, for the stranger's folder only";
    }
}

// A name planted where the next dump goes is refused, whatever kind of link it
// is: the file it leads to keeps its bytes. Hard links are real under Wine;
// reparse points and links seen only in the final path come from the seam.
TEST_F(MiniDumpFolder, ALinkAtTheNextNameIsRefusedAndLogged) {
    struct Row {
        bool hardLink, reparse, elsewhere;
        const wchar_t* logged;
        const char* note;
    } rows[] = {
        {true, false, false, L"more than one hard link", "a second hard link"},
        {false, true, false, L"a reparse point", "a reparse point"},
        {false, false, true, L"a link to another path", "a link only the final path shows"},
    };
    using QvTest::LinkSeam;
    OScopedFileIdentityApi use(LinkSeam::Api());
    ASSERT_TRUE(Plant(0, 3) && Plant(L"target.txt", 9));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ::DeleteFileW(Name(1).c_str());
        if (row.hardLink) {
            ASSERT_TRUE(::CreateHardLinkW(Name(1).c_str(), Path(L"target.txt").c_str(), nullptr));
        } else {
            ASSERT_TRUE(Plant(1, 9));  // older than 0000, so 0001 is next
        }
        LinkSeam::reparse = row.reparse;
        LinkSeam::elsewhere = row.elsewhere;
        Clock::now += 120000;
        EXPECT_TRUE(m_dump.MiniDumpGenerate(&m_log, &m_pointers).IsEmpty());
        LinkSeam::reparse = LinkSeam::elsewhere = false;
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_ERROR_TYPE, row.logged), 1);
        EXPECT_EQ(QvTest::ReadWholeFile(Path(L"target.txt")), std::optional<std::string>("MDMP"));
        EXPECT_EQ(QvTest::ReadWholeFile(Name(1)), std::optional<std::string>("MDMP"));
    }
}

}  // namespace
