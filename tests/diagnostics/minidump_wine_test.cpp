// Dump numbering and the one-dump-a-minute rule, in a scratch folder.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "diagnostics/minidump.h"

namespace {

struct Clock {
    static inline uint64_t now = 0;
    static ULONGLONG WINAPI Tick() { return now; }
};

class MiniDumpFolder : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_folder =
            std::wstring(temp) + L"qv_minidump_" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
        Clock::now = 5000000;
        ::RtlCaptureContext(&m_context);
        m_record.ExceptionCode = 0xE0000042;
        m_record.ExceptionAddress = reinterpret_cast<void*>(m_context.Rip);
        m_pointers = {&m_record, &m_context};
    }
    void TearDown() override {
        for (int n = 0; n < 8; ++n) {
            ::DeleteFileW(Name(n).c_str());
        }
        ::RemoveDirectoryW(m_folder.c_str());
    }
    std::wstring Name(int n) const {
        return OMiniDump::FileName(OString(m_folder.c_str()) + "qvcrash_", n).GetWide();
    }
    bool Exists(int n) const {
        return ::GetFileAttributesW(Name(n).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    void Touch(int n) const {
        ::CloseHandle(
            ::CreateFileW(Name(n).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }

    std::wstring m_folder;
    EXCEPTION_RECORD m_record{};
    CONTEXT m_context{};
    EXCEPTION_POINTERS m_pointers{};
    OMiniDumpApiOverride m_clock{OMiniDumpApi{&Clock::Tick}};
};

TEST_F(MiniDumpFolder, NumbersPastExistingDumps) {
    OMiniDump dump(OString(m_folder.c_str()));
    Touch(0);
    Touch(1);
    OString written = dump.MiniDumpGenerate(nullptr, &m_pointers);
    EXPECT_EQ(std::wstring(written.GetWide()), Name(2));
    EXPECT_TRUE(Exists(2));
}

TEST_F(MiniDumpFolder, AtMostOneDumpAMinute) {
    OMiniDump dump(OString(m_folder.c_str()));
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
        OString written = dump.MiniDumpGenerate(nullptr, &m_pointers);
        EXPECT_EQ(!written.IsEmpty(), row.written);
        files += row.written ? 1 : 0;
        EXPECT_EQ(Exists(files - 1), files > 0);
        EXPECT_FALSE(Exists(files));
    }
}

}  // namespace
