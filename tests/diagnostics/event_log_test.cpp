// The pure pieces of the event log; what a write sends where is in the
// conformance tests, through the output seam.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/event_log_format.h"
#include "support/text.h"

namespace {

using namespace OEventLogFormat;

using QvTest::W;

TEST(OEventLogFormat, DebugPrefixIsSecondsDotMilliseconds) {
    struct Row {
        uint64_t tick;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {1234567, L"0001234.567: "},
        {0, L"0000000.000: "},
        {9999999999ull, L"9999999.999: "},    // the widest the padding covers
        {12345678901ull, L"12345678.901: "},  // past it the point stays before the ms
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tick);
        EXPECT_EQ(W(DebugPrefix(row.tick)), row.expected);
    }
}

TEST(OEventLogFormat, NameTypeAndIdentifierOfEachLevel) {
    struct Row {
        uint32_t mask;
        std::string name;
        WORD type;  // 1 error, 2 warning, 4 information
        DWORD id;
    };
    std::vector<Row> rows = {
        {0x80000000, "Errors", 1, 0xCFFF0300},  {0x40000000, "Warnings", 2, 0x8FFF0200},
        {0x20000000, "Info", 4, 0x4FFF0100},    {0x10000000, "DetailInfo", 4, 0x4FFF0100},
        {0xC0000000, "Unknown", 1, 0xCFFF0300}, {0x10000, "Unknown", 4, 0x4FFF0100},
        {0, "Unknown", 4, 0x4FFF0100},          {0x08000000, "Unknown", 4, 0x4FFF0100},
        {0x3, "Unknown", 4, 0x4FFF0100},
    };
    // "DetailInfoA" is 0x1, "DetailInfoB" 0x2, ... one bit per letter up to "DetailInfoP" 0x8000.
    for (char letter = 'A'; letter <= 'P'; ++letter) {
        rows.push_back({1u << (letter - 'A'), std::string("DetailInfo") + letter, 4, 0x4FFF0100});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << row.mask);
        EXPECT_EQ(OEventLog::MaskName(row.mask), row.name);
        EXPECT_EQ(EventType(row.mask), row.type);
        EXPECT_EQ(EventId(EventType(row.mask)), row.id);
    }
}

TEST(OEventLogFormat, MessagesOf31767CharactersOrMoreAreCut) {
    const std::wstring suffix = L" **** Message too long. OEventLogBase truncated it ****";
    const std::wstring pair = L"\U0001F600";  // two UTF-16 units
    struct Row {
        std::wstring message;
        std::wstring expected;
        const char* note;
    };
    const Row rows[] = {
        {std::wstring(31766, L'a'), std::wstring(31766, L'a'), "the longest kept whole"},
        {std::wstring(31767, L'b'), std::wstring(31766, L'b') + suffix, "the shortest cut"},
        {std::wstring(31765, L'c') + pair + L"d", std::wstring(31765, L'c') + suffix,
         "a pair the cut would halve goes whole"},
        {std::wstring(31764, L'c') + pair + L"d", std::wstring(31764, L'c') + pair + suffix,
         "a pair ending at the cut stays"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(W(CutMessage(OString(row.message.c_str()))), row.expected);
    }
}

TEST(OEventLogFormat, RawDataIsFourteenLittleEndianWords) {
    // Version 3, the tick's low word, the counter, mask, thread and process,
    // each field padded to 8 bytes, then two zero words.
    const uint32_t expected[14] = {3,          0,          1234567, 0,          0x05060708,
                                   0x01020304, 0x40000000, 0,       0xFFFFFFFF, 0,
                                   0x55667788, 0,          0,       0};
    uint8_t raw[kRawDataBytes];
    std::memset(raw, 0xCD, sizeof(raw));  // poison: every byte must be written
    BuildRawData(raw, 0x100000000ull + 1234567, 0x0102030405060708ll, 0x40000000, 0xFFFFFFFF,
                 0x55667788);
    for (int i = 0; i < 14; ++i) {
        const uint8_t* at = raw + 4 * i;
        uint32_t word = at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
        EXPECT_EQ(word, expected[i]) << "offset " << 4 * i;
    }
}

TEST(OEventLogFormat, FileLineAndPath) {
    const OString source(L"Quorvel TCP Library V3");
    EXPECT_EQ(W(FileLine({2023, 11, 4, 2, 14, 5, 6, 789}, source, 0x20000000, 0x1A2B,
                         OString(L"Pool::Close: idle"))),
              L"11/02/2023 14:05:06, Quorvel TCP Library V3, Info, Thread:0x00001A2B, Pool::Close: "
              L"idle\n");
    EXPECT_EQ(W(FileLine({1999, 1, 6, 9, 23, 59, 0, 0}, source, 0x8000, 0xFFFFFFFF, OString(L""))),
              L"01/09/1999 23:59:00, Quorvel TCP Library V3, DetailInfoP, Thread:0xFFFFFFFF, \n");
    EXPECT_EQ(W(FileLogPath(source)), L"C:\\Log Files\\Quorvel_TCP_Library_V3.txt");
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
        {{{100, L"msg"}, {20, L"app.exe"}}, L"app.exe: msg", "process tag before"},
        {{{150, L"z"}, {100, L"msg"}, {30, L"b"}, {20, L"a"}}, L"a: b: msg - z", "sorted"},
        {{{20, L"a"}, {30, L""}, {100, L"msg"}}, L"a: msg", "empty tags go with their separator"},
        {{{20, L"a"}, {100, L""}}, L"a", "nothing after the last"},
        {{}, L"", "no tags"},
        {{{30, L"old"}, {30, L"new"}}, L"new", "adding replaces a tag of the same id"},
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

}  // namespace
