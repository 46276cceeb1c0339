// The pure pieces of the event log: prefixes, names, cuts, records, lines, tags.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::wstring W(const OString& s) { return s.GetWide(); }

TEST(OEventLogBase, DebugPrefixIsSecondsDotMilliseconds) {
    struct Row {
        uint64_t tick;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {1234567, L"0001234.567: ", "1234.567 s of uptime"},
        {0, L"0000000.000: ", "zero"},
        {999, L"0000000.999: ", "under a second"},
        {1000, L"0000001.000: ", "one second"},
        {9999999999ull, L"9999999.999: ", "ten digits, the widest padding covers"},
        // Past ten digits the point stays before the milliseconds.
        {12345678901ull, L"12345678.901: ", "eleven digits"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(OEventLogBase::DebugPrefix(row.tick)), row.expected);
    }
}

TEST(OEventLog, MaskNameCoversEveryLevel) {
    struct Row {
        uint32_t mask;
        const char* expected;
    };
    const Row rows[] = {
        {0x80000000, "Errors"},       {0x40000000, "Warnings"},    {0x20000000, "Info"},
        {0x10000000, "DetailInfo"},   {0x1, "DetailInfoA"},        {0x2, "DetailInfoB"},
        {0x4, "DetailInfoC"},         {0x8, "DetailInfoD"},        {0x10, "DetailInfoE"},
        {0x20, "DetailInfoF"},        {0x40, "DetailInfoG"},       {0x80, "DetailInfoH"},
        {0x100, "DetailInfoI"},       {0x200, "DetailInfoJ"},      {0x400, "DetailInfoK"},
        {0x800, "DetailInfoL"},       {0x1000, "DetailInfoM"},     {0x2000, "DetailInfoN"},
        {0x4000, "DetailInfoO"},      {0x8000, "DetailInfoP"},     {0x10000, "Unknown"},
        {0, "Unknown"},               {0xE0000000, "Unknown"},     {0x08000000, "Unknown"},
        {0x04000000, "Unknown"},      {0x3, "Unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << row.mask);
        EXPECT_STREQ(OEventLog::MaskName(row.mask), row.expected);
    }
}

TEST(OEventLogBase, EventTypeAndIdentifierFollowTheTopBits) {
    struct Row {
        uint32_t mask;
        WORD type;
        DWORD id;
        const char* note;
    };
    const Row rows[] = {
        {0x80000000, 1, 0xCFFF0300, "error"},
        {0xC0000000, 1, 0xCFFF0300, "bit 31 wins over bit 30"},
        {0x40000000, 2, 0x8FFF0200, "warning"},
        {0x20000000, 4, 0x4FFF0100, "info"},
        {0x10000000, 4, 0x4FFF0100, "detail"},
        {0x00000080, 4, 0x4FFF0100, "lettered detail"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(OEventLogBase::EventType(row.mask), row.type);
        EXPECT_EQ(OEventLogBase::EventId(OEventLogBase::EventType(row.mask)), row.id);
    }
}

TEST(OEventLogBase, CutMessageKeeps31766Characters) {
    const std::wstring suffix = L" **** Message too long. OEventLogBase truncated it ****";
    struct Row {
        size_t chars;
        bool cut;
    };
    const Row rows[] = {{0, false}, {31765, false}, {31766, false}, {31767, true}, {40000, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.chars << " characters");
        std::wstring text(row.chars, L'm');
        if (row.chars > 0) {
            text.back() = L'$';
        }
        std::wstring result = W(OEventLogBase::CutMessage(OString(text.c_str())));
        if (row.cut) {
            EXPECT_EQ(result, std::wstring(31766, L'm') + suffix);
        } else {
            EXPECT_EQ(result, text);
        }
    }
}

TEST(OEventLogBase, RawDataLayout) {
    uint8_t raw[56];
    std::memset(raw, 0xCD, sizeof(raw));
    OEventLogBase::BuildRawData(raw, 0x0000000512345678ull, 0x1122334455667788ll, 0x40000000, 0xABCD, 0x1F2E);
    // Little-endian fields at 0 (version 3, 8 bytes), 8 (tick, low 32 bits),
    // 16 (performance counter, 8 bytes), 24 (mask), 32 (thread), 40 (process).
    const uint8_t expected[56] = {
        3,    0,    0,    0,    0,    0,    0,    0,     // version
        0x78, 0x56, 0x34, 0x12, 0,    0,    0,    0,     // tick low word, zero
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // performance counter
        0,    0,    0,    0x40, 0,    0,    0,    0,     // mask, zero
        0xCD, 0xAB, 0,    0,    0,    0,    0,    0,     // thread, zero
        0x2E, 0x1F, 0,    0,    0,    0,    0,    0,     // process, zero
        0,    0,    0,    0,    0,    0,    0,    0,     // zero, zero
    };
    for (int i = 0; i < 56; ++i) {
        EXPECT_EQ(raw[i], expected[i]) << "offset " << i;
    }
}

TEST(OEventLogBase, FileLogPathReplacesBlanks) {
    EXPECT_EQ(W(OEventLogBase::FileLogPath(OString(L"Quorvel TCP Library V3"))),
              L"C:\\Log Files\\Quorvel_TCP_Library_V3.txt");
    EXPECT_EQ(W(OEventLogBase::FileLogPath(OString(L"A  B"))), L"C:\\Log Files\\A__B.txt");
}

TEST(OEventLogBase, FileLineFormat) {
    SYSTEMTIME time{};
    time.wYear = 2024;
    time.wMonth = 3;
    time.wDay = 5;
    time.wHour = 7;
    time.wMinute = 8;
    time.wSecond = 9;
    time.wMilliseconds = 999;
    OString line = OEventLogBase::FileLine(time, OString(L"Quorvel TCP Library V3"), OEventLog::kWarnings, 0x1A2B,
                                           OString(L"TCPSocket::Connect: refused"));
    EXPECT_STREQ(line.GetNarrow(),
                 "03/05/2024 07:08:09, Quorvel TCP Library V3, Warnings, Thread:0x00001A2B, "
                 "TCPSocket::Connect: refused\n");
    time.wMonth = 12;
    time.wDay = 31;
    time.wHour = 23;
    line = OEventLogBase::FileLine(time, OString(L"S"), 0x12345, 0xFEDCBA98, OString(L"m"));
    EXPECT_STREQ(line.GetNarrow(), "12/31/2024 23:08:09, S, Unknown, Thread:0xFEDCBA98, m\n");
}

TEST(OEventLogTagList, RenderSortsByIdAndJoins) {
    struct Tag {
        uint32_t id;
        const wchar_t* text;
    };
    struct Row {
        std::vector<Tag> tags;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {{{100, L"msg"}}, L"msg", "message alone"},
        {{{100, L"msg"}, {20, L"app.exe"}}, L"app.exe: msg", "process tag before"},
        {{{150, L"after"}, {100, L"msg"}}, L"msg - after", "a tag of 100 or more after"},
        {{{150, L"z"}, {100, L"msg"}, {30, L"b"}, {20, L"a"}}, L"a: b: msg - z", "sorted"},
        {{{20, L"a"}, {30, L""}, {100, L"msg"}}, L"a: msg", "empty tags are left out with their separator"},
        {{{20, L"a"}, {100, L""}}, L"a", "nothing after the last"},
        {{{100, L""}}, L"", "all empty"},
        {{}, L"", "no tags"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OEventLogTagList list;
        for (const Tag& tag : row.tags) {
            list.AddTag(tag.id, OString(tag.text));
        }
        EXPECT_EQ(W(list.Render()), row.expected);
    }
}

TEST(OEventLogTagList, AddReplacesByIdMergeAppends) {
    OEventLogTagList list;
    list.AddTag(30, OString(L"old"));
    list.AddTag(30, OString(L"new"));
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(W(list.Render()), L"new");

    OEventLogTagList other;
    other.AddTag(30, OString(L"other"));
    list.Merge(other);
    EXPECT_EQ(list.GetCount(), 2);
    // Equal ids keep their order: this list's tag first, then the merged one.
    EXPECT_EQ(W(list.Render()), L"new: other");
    list.RemoveTag(30);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(OEventLogTagList, ProducersRunAtRenderTime) {
    OEventLogTagList list;
    int calls = 0;
    list.AddTag(120, [&calls] { return OString(static_cast<int32_t>(++calls)); });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(W(list.Render()), L"1");
    EXPECT_EQ(W(list.Render()), L"2");
}

TEST(OEventLog, LineHelpers) {
    EXPECT_STREQ(OLogLine("TCPSocket::Connect", OString("refused")).GetNarrow(), "TCPSocket::Connect: refused");
    EXPECT_STREQ(OLogHex(0).GetNarrow(), "0x0");
    EXPECT_STREQ(OLogHex(0x1a2b).GetNarrow(), "0x1A2B");
    EXPECT_STREQ(OLogHex(~0ull).GetNarrow(), "0xFFFFFFFFFFFFFFFF");
}

}  // namespace
