// Dump numbering, the one-dump-a-minute rule and what a dump holds, in a
// scratch folder.

#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <string>

#include "core/clock.h"
#include "diagnostics/minidump.h"
#include "support/files.h"

namespace {

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
    const uint64_t start = Clock::now;
    int files = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        Clock::now = start + row.at;
        EXPECT_EQ(!m_dump.MiniDumpGenerate(nullptr, &m_pointers).IsEmpty(), row.written);
        files += row.written ? 1 : 0;
        EXPECT_EQ(Exists(files - 1), files > 0);
        EXPECT_FALSE(Exists(files));
    }
}

}  // namespace
