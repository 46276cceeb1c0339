#include "core/ostring.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/arrays.h"
#include "core/bstr.h"

namespace {

template <typename Char>
OString In(uint32_t codePage, const Char* text) {
    OString s;
    s.SetCodePage(codePage);
    s = text;
    return s;
}

std::vector<std::string> Pieces(const OStringArray& a) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < a.GetCount(); ++i) {
        out.emplace_back(a[i].GetNarrow());
    }
    return out;
}

TEST(OString, DefaultStringIsEmptyAndLeavesAsNullBstr) {
    OString s;
    EXPECT_STREQ("", s.GetNarrow());
    EXPECT_STREQ(L"", s.GetWide());
    EXPECT_EQ(0, s.GetLength());
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(nullptr, OStringToBstr(s));
    EXPECT_EQ(nullptr, OStringToBstr(OString("")));
    BSTR b = OStringToBstr(OString("x\xE9"));
    ASSERT_NE(nullptr, b);
    EXPECT_STREQ(L"x\u00E9", b);
    ::SysFreeString(b);
}

TEST(OString, CopiesShareUntilOneChanges) {
    OString a("abc");
    OString b(a);
    EXPECT_EQ(a.GetBody(), b.GetBody());
    b.Append("d");
    EXPECT_STREQ("abc", a.GetNarrow());
    EXPECT_STREQ("abcd", b.GetNarrow());
    EXPECT_EQ(1, a.GetBody()->refs.load());
    // Appending to an empty string shares the argument until either changes.
    OString target;
    target.Append(a);
    target.Insert(0, "x", 1);
    a.Delete(0, 1);
    EXPECT_STREQ("bc", a.GetNarrow());
    EXPECT_STREQ("xabc", target.GetNarrow());
    OString self(L"\u00E9");
    self.Append(self);
    EXPECT_STREQ(L"\u00E9\u00E9", self.GetWide());
}

// Copies of one body read in both forms on several threads at once: the first
// read of a form converts, and every reader must get the whole text. Before
// conversions were published atomically this failed in six runs of six.
TEST(OString, CopiesOfOneBodyReadBothFormsOnManyThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 8000;
    const std::string narrow(600, 'q');
    const std::wstring wide(600, L'q');
    std::vector<OString> sources;
    for (int round = 0; round < kRounds; ++round) {
        sources.push_back(round % 2 == 0 ? OString(narrow.c_str()) : OString(wide.c_str()));
    }
    std::atomic<int> arrived{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                OString copy(sources[static_cast<size_t>(round)]);
                arrived.fetch_add(1);
                while (arrived.load() < (round + 1) * kThreads) {
                    std::this_thread::yield();
                }
                bool ok = t % 2 == 0 ? narrow == copy.GetNarrow() && wide == copy.GetWide()
                                     : wide == copy.GetWide() && narrow == copy.GetNarrow();
                failures.fetch_add(ok ? 0 : 1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());
    for (const OString& source : sources) {
        ASSERT_EQ(1, source.GetBody()->refs.load()) << "every copy released its reference";
    }
}

// Expected bytes from the published code page tables; the library's UTF-8
// encodes each UTF-16 unit on its own, and a sequence cut by the end decodes to
// one U+FFFD.
TEST(OString, CodePagesConvertBothWays) {
    struct Row {
        uint32_t codePage;
        const char* narrow;
        const wchar_t* wide;
        int ways;  // 1: narrow to wide, 2: wide to narrow, 3: both
        const char* note;
    } rows[] = {
        {OString::kCodePageUtf8, "\xDF\xBF", L"\u07FF", 3, "largest two-byte unit"},
        {OString::kCodePageUtf8, "\xE0\xA0\x80", L"\u0800", 3, "smallest three-byte unit"},
        {OString::kCodePageUtf8, "\xED\xA0\xBD\xED\xB8\x80", L"\xD83D\xDE00", 3, "two halves"},
        {OString::kCodePageUtf8, "a\xC3", L"a\uFFFD", 1, "two-byte sequence cut"},
        {OString::kCodePageUtf8, "xy\xE2\x82", L"xy\uFFFD", 1, "cut after two"},
        {OString::kCodePageBytes, "\xFF\x41", L"\x00FF\x0041", 3, "bytes widen"},
        {OString::kCodePageBytes, "\x34\xE9", L"\x1234\x00E9", 2, "low byte of each unit"},
        {932, "\x93\xFA\x96\x7B", L"\u65E5\u672C", 3, "Shift-JIS: two characters"},
        {1251, "\xE9", L"\u0439", 3, "Cyrillic short i"},
        {OString::kCodePageAnsi, "caf\xE9", L"caf\u00E9", 3, "ANSI is 1252 here"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        if ((row.ways & 2) != 0) {
            EXPECT_STREQ(row.narrow, In(row.codePage, row.wide).GetNarrow());
        }
        if ((row.ways & 1) != 0) {
            OString fromNarrow = In(row.codePage, row.narrow);
            EXPECT_STREQ(row.wide, fromNarrow.GetWide());
            EXPECT_EQ(static_cast<int32_t>(std::wcslen(row.wide)), fromNarrow.GetLength())
                << "multibyte pages count UTF-16 units";
        }
    }
    OString s("\xE9t\xE9");
    s.SetCodePageUtf8();  // the text is kept through its wide form
    EXPECT_STREQ("\xC3\xA9t\xC3\xA9", s.GetNarrow());
    EXPECT_EQ(3, s.GetLength());
}

TEST(OString, WideToNarrowThatOutgrowsTwoBytesPerUnitKeepsTheWholeText) {
    // Windows' own UTF-8 (65001) writes U+20AC as three bytes, more than the two
    // bytes per unit the narrow buffer is sized for.
    std::wstring wide(31, L'\u20AC');
    OString holder = In(65001u, wide.c_str());
    const wchar_t* held = holder.GetWide();
    std::string narrow = holder.GetNarrow();
    ASSERT_EQ(93u, narrow.size());
    EXPECT_EQ("\xE2\x82\xAC", narrow.substr(90));
    EXPECT_EQ(held, holder.GetWide()) << "reading the other form moved the wide one";
    holder.Append("!");
    EXPECT_EQ(narrow + "!", std::string(holder.GetNarrow()));
    EXPECT_EQ(wide + L"!", std::wstring(holder.GetWide()));
}

TEST(OString, CompareIsSignedForNarrowAndUnsignedForWide) {
    struct Row {
        OString a, b;
        int expected, expectedNoCase;
        const char* note;
    } rows[] = {
        {OString("\xE9"), OString("e"), -1, -1, "byte 0xE9 is negative as a signed char"},
        {OString(L"\u00E9"), OString(L"e"), 1, 1, "unit 0xE9 is above 'e'"},
        {OString("abc"), OString("ABD"), 1, -1, "case decides only without folding"},
        {OString("aBc"), OString("AbC"), 1, 0, "folded equal"},
        {OString("abcd"), OString("abc"), 1, 1, "longer sorts after"},
        {OString("["), OString("a"), -1, 1, "'[' lies between 'Z' and 'a'"},
        {OString(L"\u00E9"), OString(L"\u00C9"), 1, 1, "only ASCII letters fold"},
        {OString(), OString(""), 0, 0, "null and empty"},
        {In(1252, "\xE9"), In(1251, "\xE9"), -1, -1, "code pages differ: compared wide"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(row.expected, row.a.Compare(row.b));
        EXPECT_EQ(row.expectedNoCase, row.a.CompareNoCase(row.b));
    }
}

TEST(OString, SearchesClampAndCountInTheWorkingForm) {
    struct Row {
        const char *text, *sub;
        int32_t start, expected;
    } rows[] = {
        {"abc", "", 1, 1},      {"abc", "c", 3, -1}, {"abc", "a", -5, 0}, {"abcabc", "bc", 2, 4},
        {"abc", "abcd", 0, -1}, {"", "", 0, -1},     {"abc", "c", 2, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text) + "/" + row.sub);
        EXPECT_EQ(row.expected, OString(row.text).Find(row.sub, row.start));
    }
    EXPECT_EQ(3, In(OString::kCodePageUtf8, "\xC3\xA9x\xC3\xA9y").Find("y")) << "units, not bytes";
    OString path("C:\\dir\\file.txt");
    EXPECT_EQ(6, path.ReverseFindBackslash());
    EXPECT_EQ(1, path.FindChar(':'));
    EXPECT_EQ(-1, path.FindChar('z'));
    EXPECT_EQ(2, path.FindOneOf("\\."));
    EXPECT_EQ(11, path.ReverseFindOneOf(OString("\\.")));
    EXPECT_EQ(-1, OString().ReverseFindBackslash());
    EXPECT_EQ(1, OString(L"a\u00E9").FindChar('\xE9'));
    EXPECT_EQ(2, OString(L"a\u00E9\\b").ReverseFindBackslash());
}

TEST(OString, MidClampsAndSharesTheWholeString) {
    OString hello("hello");
    struct Row {
        int32_t pos, count;
        const char* expected;
    } rows[] = {{3, 10, "lo"}, {0, 5, "hello"}, {-2, 2, "he"},
                {1, -1, ""},   {5, 1, ""},      {1, 3, "ell"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pos);
        EXPECT_STREQ(row.expected, hello.Mid(row.pos, row.count).GetNarrow());
    }
    EXPECT_EQ(hello.GetBody(), hello.Mid(0, 5).GetBody());
    EXPECT_STREQ("llo", hello.Mid(2).GetNarrow());
    EXPECT_STREQ("hello", hello.Left(99).GetNarrow());
    EXPECT_STREQ("o", hello.LastChar().GetNarrow());
    EXPECT_TRUE(OString().LastChar().IsEmpty());
    OString second = In(OString::kCodePageUtf8, "\xC3\xA9\xC3\xA8").Mid(1, 1);
    EXPECT_EQ(OString::kCodePageUtf8, second.GetCodePage());
    EXPECT_STREQ("\xC3\xA8", second.GetNarrow());
}

TEST(OString, InsertDeleteAndTrimClampPositions) {
    OString s("abc");
    s.Insert(-5, "x", 1);
    s.Insert(100, "yz", 2);
    s.Insert(2, "123", 0);
    EXPECT_STREQ("xabcyz", s.GetNarrow());
    s.Insert(1, L"\u00E9", 1);
    EXPECT_STREQ(L"x\u00E9abcyz", s.GetWide());
    EXPECT_EQ(4, s.Delete(-3, 3));
    EXPECT_EQ(2, s.Delete(2, 100));
    EXPECT_EQ(2, s.Delete(9, 1));
    EXPECT_STREQ("bc", s.GetNarrow());
    s.Truncate(5);
    s.Truncate(1);
    EXPECT_STREQ("b", s.GetNarrow());
    OString own("abc");
    own.Insert(1, own.GetNarrow(), 3);  // from its own buffer
    EXPECT_STREQ("aabcbc", own.GetNarrow());
    own.Insert(0, own);
    EXPECT_STREQ("aabcbcaabcbc", own.GetNarrow());
    OString t(" \t value \r\n");
    t.Trim();
    EXPECT_STREQ("value", t.GetNarrow());
    OString x(L"xx\u00E9xx");
    x.TrimLeft(OString("x"));
    EXPECT_STREQ(L"\u00E9xx", x.GetWide());
    x.TrimRight(OString("x"));
    EXPECT_STREQ(L"\u00E9", x.GetWide());
    OString n("42");
    n.PadLeftZeros(5);
    n.PadLeftZeros(3);
    EXPECT_STREQ("00042", n.GetNarrow());
}

TEST(OString, ReplaceDoesNotRescanInsertedText) {
    struct Row {
        const char *text, *from, *to;
        int32_t count;
        const char* expected;
    } rows[] = {
        {"aaa", "a", "b", 3, "bbb"},  {"aaa", "a", "a", 0, "aaa"},
        {"aaaa", "aa", "b", 2, "bb"}, {"aba", "a", "aa", 2, "aabaa"},
        {"abc", "", "x", 0, "abc"},   {"abc", "x", "y", 0, "abc"},
        {"a.b.c", ".", "", 2, "abc"}, {"xyx", "x", "xyx", 2, "xyxyxyx"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text) + ":" + row.from + "->" + row.to);
        OString s(row.text);
        EXPECT_EQ(row.count, s.Replace(OString(row.from), OString(row.to)));
        EXPECT_STREQ(row.expected, s.GetNarrow());
    }
}

TEST(OString, NumbersHexAndFormatting) {
    EXPECT_STREQ("-2147483648", OString(INT32_MIN).GetNarrow());
    EXPECT_STREQ("-9223372036854775808", OString(INT64_MIN).GetNarrow());
    EXPECT_STREQ("18446744073709551615", OString(UINT64_MAX).GetNarrow());
    OString a("n=");
    a.Append(int32_t{-7}).Append(uint32_t{8});
    EXPECT_STREQ("n=-78", a.GetNarrow());
    const unsigned char bytes[] = {0x12, 0xAB};
    EXPECT_STREQ("12AB", OString::FromBytesHex(bytes, 2).GetNarrow());
    EXPECT_STREQ("AB12", OString::FromBytesHex(bytes, -2).GetNarrow());
    EXPECT_STREQ("00FF", OString::ToHex(uint16_t{0xFF}).GetNarrow());
    EXPECT_STREQ("0123456789ABCDEF", OString::ToHex(uint64_t{0x0123456789ABCDEFull}).GetNarrow());
    EXPECT_STREQ("a=7 b=x 0x1F", OString::Formatted("a=%d b=%s 0x%X", 7, "x", 31).GetNarrow());
    OString s;
    s.Format("%s", std::string(3000, 'q').c_str());
    EXPECT_GE(s.GetLength(), 1023) << "wvsprintf stops at 1024 characters";
    EXPECT_LE(s.GetLength(), 1024);
    OString path;
    wcscpy(path.GetPathBuffer(), L"C:\\x");
    EXPECT_STREQ("C:\\x", path.GetNarrow());
    OString upper("abc\xE9");
    upper.MakeUpper();
    EXPECT_STREQ(L"ABC\u00C9", upper.GetWide());
}

TEST(OString, ToIntStopsAtTheFirstNonDigitAndSaturates) {
    struct Row {
        const char* text;
        int32_t expected;
    } rows[] = {
        {"  \t-17x", -17},
        {"+5", 5},
        {"abc", 0},
        {"", 0},
        {"--1", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999", INT32_MAX},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.expected, OString(row.text).ToInt());
    }
}

// Every change leaving both forms agreeing, whichever was read before, is the
// ostring fuzz target's invariant over every operation; these are the cases it
// cannot reach (its stand-in knows code pages 1252 and 65001 only).
TEST(OString, PositionsAndMixedCodePagesMeetInTheWideForm) {
    // Positions count wide units once the wide form is held: deleting one unit
    // must not cut the two UTF-8 bytes of e-acute in half.
    OString both = In(OString::kCodePageUtf8, "\xC3\xA9old");
    both.GetWide();
    both.Delete(0, 1);
    EXPECT_STREQ("old", both.GetNarrow());
    // Two narrow strings in different code pages meet in the wide form.
    OString mixed = In(1252, "x\xE9");
    mixed.Append(In(1251, "\xE9"));
    EXPECT_STREQ(L"x\u00E9\u0439", mixed.GetWide());
}

TEST(OString, SplitKeepsEmptyPieces) {
    struct Row {
        OString text;
        const char* delimiter;
        std::vector<std::string> pieces;
    } rows[] = {
        {OString("a;;b;"), ";", {"a", "", "b", ""}},
        {OString(""), ";", {}},
        {OString("a;b"), nullptr, {"a;b"}},
        {OString("a::b"), "::", {"a", "b"}},
        {OString(";"), ";", {"", ""}},
        {In(OString::kCodePageUtf8, "\xC3\xA9;x"), ";", {"\xC3\xA9", "x"}},
        // The delimiter is counted in the wide form: one unit there, two bytes here.
        {In(OString::kCodePageUtf8, "a\xC3\xA9\x62\x63\xC3\xA9"), "\xC3\xA9", {"a", "bc", ""}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.GetNarrow());
        OStringArray out;
        out.Add(OString("stale"));
        OString::Split(out, row.text, row.delimiter);
        EXPECT_EQ(row.pieces, Pieces(out));
    }
    OStringArray self;  // the text may be an element of the array that receives the pieces
    self.Add(OString("x;y"));
    OString::Split(self, self[0], ";");
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Pieces(self));
}

}  // namespace
