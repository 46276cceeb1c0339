// The pure pieces of the event log; what a write sends where is in the
// conformance tests, through the output seam.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring W(const OString& s) {
    return s.GetWide();
}

TEST(OEventLogBase, DebugPrefixIsSecondsDotMilliseconds) {
    struct Row {
        uint64_t tick;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {1234567, L"0001234.567: "},         {0, L"0000000.000: "}, {999, L"0000000.999: "},
        {9999999999ull, L"9999999.999: "},    // ten digits, the widest the padding covers
        {12345678901ull, L"12345678.901: "},  // past ten digits the point stays before the
                                              // milliseconds
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tick);
        EXPECT_EQ(W(OEventLogBase::DebugPrefix(row.tick)), row.expected);
    }
}

TEST(OEventLog, MaskNameCoversEveryLevel) {
    struct Row {
        uint32_t mask;
        std::string expected;
    };
    std::vector<Row> rows = {
        {0x80000000, "Errors"},     {0x40000000, "Warnings"}, {0x20000000, "Info"},
        {0x10000000, "DetailInfo"}, {0x10000, "Unknown"},     {0, "Unknown"},
        {0xE0000000, "Unknown"},    {0x08000000, "Unknown"},  {0x3, "Unknown"},
    };
    // "DetailInfoA" is 0x1, "DetailInfoB" 0x2, ... one bit per letter up to "DetailInfoP" 0x8000.
    for (char letter = 'A'; letter <= 'P'; ++letter) {
        rows.push_back({1u << (letter - 'A'), std::string("DetailInfo") + letter});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << row.mask);
        EXPECT_EQ(OEventLog::MaskName(row.mask), row.expected);
    }
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
        {{{150, L"after"}, {100, L"msg"}}, L"msg - after", "a tag of 100 or more after"},
        {{{150, L"z"}, {100, L"msg"}, {30, L"b"}, {20, L"a"}}, L"a: b: msg - z", "sorted"},
        {{{20, L"a"}, {30, L""}, {100, L"msg"}},
         L"a: msg",
         "empty tags are left out with their separator"},
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

TEST(OEventLogTagList, MergeAppendsWithoutReplacing) {
    OEventLogTagList list;
    list.AddTag(30, OString(L"mine"));
    OEventLogTagList other;
    other.AddTag(30, OString(L"other"));
    list.Merge(other);
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(W(list.Render()), L"mine: other") << "equal ids keep their order";
    list.RemoveTag(30);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(OEventLog, LineHelpers) {
    EXPECT_STREQ(OLogLine("TCPSocket::Connect", OString("refused")).GetNarrow(),
                 "TCPSocket::Connect: refused");
    EXPECT_STREQ(OLogHex(0).GetNarrow(), "0x0");
    EXPECT_STREQ(OLogHex(0x1a2b).GetNarrow(), "0x1A2B");
    EXPECT_STREQ(OLogHex(~0ull).GetNarrow(), "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(W(OEventLogBase::FileLogPath(OString(L"Quorvel TCP Library V3"))),
              L"C:\\Log Files\\Quorvel_TCP_Library_V3.txt");
}

}  // namespace
