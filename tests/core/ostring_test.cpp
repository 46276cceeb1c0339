#include "core/ostring.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/arrays.h"
#include "core/bstr.h"

namespace {

OString NarrowIn(uint32_t codePage, const char* bytes) {
    OString s;
    s.SetCodePage(codePage);
    s = bytes;
    return s;
}

OString WideIn(uint32_t codePage, const wchar_t* text) {
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

TEST(OString, DefaultStringHasNoBodyAndLeavesAsNullBstr) {
    OString s;
    EXPECT_EQ(nullptr, s.GetBody());
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
    EXPECT_EQ(2, a.GetBody()->refs.load());
    b.Append("d");
    EXPECT_NE(a.GetBody(), b.GetBody());
    EXPECT_STREQ("abc", a.GetNarrow());
    EXPECT_STREQ("abcd", b.GetNarrow());
    EXPECT_EQ(1, a.GetBody()->refs.load());
}

TEST(OString, AppendToEmptySharesTheArgumentThenClonesOnChange) {
    OString source("tail");
    OString target;
    target.Append(source);
    EXPECT_EQ(source.GetBody(), target.GetBody());
    target.Insert(0, "x", 1);
    EXPECT_STREQ("tail", source.GetNarrow());
    EXPECT_STREQ("xtail", target.GetNarrow());
    source.Delete(0, 1);
    EXPECT_STREQ("ail", source.GetNarrow());
    EXPECT_STREQ("xtail", target.GetNarrow());
}

TEST(OString, AppendToItselfDoublesTheText) {
    OString s("ab");
    s.Append(s);
    EXPECT_STREQ("abab", s.GetNarrow());
    OString w(L"\u00E9");
    w.Append(w);
    EXPECT_STREQ(L"\u00E9\u00E9", w.GetWide());
}

TEST(OString, SharedBodiesSurviveCopiesOnManyThreads) {
    OString shared("shared text");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                OString copy(shared);
                OString again = copy;
                (void)again;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(1, shared.GetBody()->refs.load());
    EXPECT_STREQ("shared text", shared.GetNarrow());
}

TEST(OString, CapacityGrowsInStepsOf32) {
    struct Row {
        int chars;
        uint64_t capacity;
    } rows[] = {{0, 32}, {1, 32}, {31, 32}, {32, 64}, {63, 64}, {64, 96}, {100, 128}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.chars);
        OString s(std::string(static_cast<size_t>(row.chars), 'x').c_str());
        ASSERT_NE(nullptr, s.GetBody());
        EXPECT_EQ(row.capacity, s.GetBody()->capacity);
    }
    OString grown("x");
    for (int i = 1; i < 40; ++i) {
        grown.Append('y');
    }
    EXPECT_EQ(40, grown.GetLength());
    EXPECT_EQ(64u, grown.GetBody()->capacity);
}

TEST(OString, FormatAndPathBuffersHaveTheirRoom) {
    OString f;
    f.GetFormatBuffer();
    EXPECT_EQ(4128u, f.GetBody()->capacity);
    OString p;
    wchar_t* path = p.GetPathBuffer();
    EXPECT_EQ(288u, p.GetBody()->capacity);
    wcscpy(path, L"C:\\x");
    EXPECT_STREQ(L"C:\\x", p.GetWide());
    EXPECT_STREQ("C:\\x", p.GetNarrow());
}

TEST(OString, Utf8ConvertsBothWays) {
    struct Row {
        const char* utf8;
        const wchar_t* wide;
        const char* note;
    } rows[] = {
        {"a", L"a", "ASCII"},
        {"\xC3\xA9", L"\u00E9", "two bytes"},
        {"\xE2\x82\xAC", L"\u20AC", "three bytes"},
        {"\xDF\xBF", L"\u07FF", "largest two-byte unit"},
        {"\xE0\xA0\x80", L"\u0800", "smallest three-byte unit"},
        // A surrogate pair is encoded half by half, three bytes each.
        {"\xED\xA0\xBD\xED\xB8\x80", L"\xD83D\xDE00", "U+1F600 as two halves"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(row.wide, NarrowIn(OString::kCodePageUtf8, row.utf8).GetWide());
        EXPECT_STREQ(row.utf8, WideIn(OString::kCodePageUtf8, row.wide).GetNarrow());
    }
}

TEST(OString, Utf8SequenceCutByTheEndBecomesOneReplacementCharacter) {
    struct Row {
        const char* utf8;
        const wchar_t* wide;
    } rows[] = {
        {"a\xC3", L"a\uFFFD"},
        {"\xE2", L"\uFFFD"},
        {"\xE2\x82", L"\uFFFD"},
        {"xy\xE2\x82", L"xy\uFFFD"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.utf8);
        OString s = NarrowIn(OString::kCodePageUtf8, row.utf8);
        EXPECT_STREQ(row.wide, s.GetWide());
        EXPECT_EQ(OString::StrLen(row.wide), s.GetLength());
    }
}

TEST(OString, CodePage64999KeepsTheLowByteOfEachUnit) {
    EXPECT_STREQ("\x34\xE9", WideIn(OString::kCodePageBytes, L"\x1234\x00E9").GetNarrow());
    EXPECT_STREQ(L"\x00FF\x0041", NarrowIn(OString::kCodePageBytes, "\xFF\x41").GetWide());
}

TEST(OString, MultibyteCodePageCountsUtf16Units) {
    // "Nihon" in Shift-JIS: 93 FA 96 7B (four bytes, two characters).
    OString s = NarrowIn(932, "\x93\xFA\x96\x7B");
    EXPECT_TRUE(s.PrefersWide());
    EXPECT_EQ(2, s.GetLength());
    EXPECT_STREQ(L"\u65E5\u672C", s.GetWide());
    EXPECT_STREQ("\x93\xFA\x96\x7B", WideIn(932, L"\u65E5\u672C").GetNarrow());
}

TEST(OString, WideToNarrowThatOutgrowsTwoBytesPerUnitKeepsTheWholeText) {
    // Windows' own UTF-8 (65001) writes U+20AC as three bytes, more than the two
    // bytes per unit the narrow buffer is sized for.
    constexpr uint32_t kWindowsUtf8 = 65001;
    std::wstring wide(31, L'\u20AC');
    OString s = WideIn(kWindowsUtf8, wide.c_str());
    std::string narrow = s.GetNarrow();
    ASSERT_EQ(93u, narrow.size());
    EXPECT_EQ("\xE2\x82\xAC", narrow.substr(90));
    OString back = NarrowIn(kWindowsUtf8, narrow.c_str());
    EXPECT_EQ(wide, std::wstring(back.GetWide()));

    // Reading is no change: the wide form a sharer holds stays where it is, and
    // both keep their text through later growth and copies.
    OString holder = WideIn(kWindowsUtf8, wide.c_str());
    OString sharer(holder);
    const wchar_t* held = sharer.GetWide();
    EXPECT_EQ(narrow, std::string(holder.GetNarrow()));
    EXPECT_EQ(held, sharer.GetWide());
    EXPECT_EQ(wide, std::wstring(held));
    holder.Append("!");
    EXPECT_EQ(narrow + "!", std::string(holder.GetNarrow()));
    EXPECT_EQ(wide + L"!", std::wstring(holder.GetWide()));
    OString copy(sharer);
    copy.Append(L"?");
    EXPECT_EQ(narrow + "?", std::string(copy.GetNarrow()));
    EXPECT_EQ(narrow, std::string(sharer.GetNarrow()));
}

TEST(OString, SetCodePageKeepsTheTextThroughItsWideForm) {
    OString s("\xE9t\xE9");  // ANSI 1252
    s.SetCodePageUtf8();
    EXPECT_STREQ(L"\u00E9t\u00E9", s.GetWide());
    EXPECT_STREQ("\xC3\xA9t\xC3\xA9", s.GetNarrow());
    EXPECT_EQ(3, s.GetLength());
}

TEST(OString, CompareIsSignedForNarrowAndUnsignedForWide) {
    struct Row {
        OString a;
        OString b;
        int expected;
        const char* note;
    } rows[] = {
        {OString("\xE9"), OString("e"), -1, "byte 0xE9 is negative as a signed char"},
        {OString(L"\u00E9"), OString(L"e"), 1, "unit 0xE9 is above 'e'"},
        {OString("abc"), OString("abd"), -1, "ordinal"},
        {OString("abc"), OString("abc"), 0, "equal"},
        {OString("abcd"), OString("abc"), 1, "longer sorts after"},
        {OString("abc"), OString("ABC"), 1, "case-sensitive"},
        {OString(), OString(""), 0, "null and empty"},
        {OString(L"\xFFFF"), OString(L"a"), 1, "magnitude never leaks"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(row.expected, row.a.Compare(row.b));
    }
}

TEST(OString, CompareNoCaseFoldsOnlyAsciiLetters) {
    EXPECT_EQ(-1, OString("abc").CompareNoCase(OString("ABD")));
    EXPECT_EQ(0, OString("aBc").CompareNoCase(OString("AbC")));
    // '[' (0x5B) lies between 'Z' and 'a': folding turns the order around.
    EXPECT_EQ(-1, OString("[").Compare(OString("a")));
    EXPECT_EQ(1, OString("[").CompareNoCase(OString("a")));
    EXPECT_NE(0, OString(L"\u00E9").CompareNoCase(OString(L"\u00C9")));
}

TEST(OString, FindClampsItsStart) {
    struct Row {
        const char* text;
        const char* sub;
        int32_t start;
        int32_t expected;
    } rows[] = {
        {"abc", "", 1, 1},      {"abc", "c", 3, -1}, {"abc", "a", -5, 0}, {"abcabc", "bc", 2, 4},
        {"abc", "abcd", 0, -1}, {"", "", 0, -1},     {"abc", "c", 2, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text) + "/" + row.sub);
        EXPECT_EQ(row.expected, OString(row.text).Find(row.sub, row.start));
    }
    // Wide text is searched in units, not bytes.
    OString utf8 = NarrowIn(OString::kCodePageUtf8, "\xC3\xA9x\xC3\xA9y");
    EXPECT_EQ(3, utf8.Find("y"));
}

TEST(OString, SearchesForSingleCharactersAndSets) {
    OString path("C:\\dir\\file.txt");
    EXPECT_EQ(6, path.ReverseFindBackslash());
    EXPECT_EQ(1, path.FindChar(':'));
    EXPECT_EQ(-1, path.FindChar('z'));
    EXPECT_EQ(2, path.FindOneOf("\\."));
    EXPECT_EQ(11, path.ReverseFindOneOf(OString("\\.")));
    EXPECT_EQ(-1, OString().FindChar('a'));
    EXPECT_EQ(-1, OString().ReverseFindBackslash());
    EXPECT_EQ(1, OString(L"a\u00E9").FindChar('\xE9'));
}

TEST(OString, MidClampsAndSharesTheWholeString) {
    OString hello("hello");
    struct Row {
        int32_t pos;
        int32_t count;
        const char* expected;
    } rows[] = {{3, 10, "lo"}, {0, 5, "hello"}, {-2, 2, "he"}, {1, -1, ""},
                {5, 1, ""},    {9, 1, ""},      {1, 3, "ell"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pos);
        EXPECT_STREQ(row.expected, hello.Mid(row.pos, row.count).GetNarrow());
    }
    EXPECT_EQ(hello.GetBody(), hello.Mid(0, 5).GetBody());
    EXPECT_STREQ("llo", hello.Mid(2).GetNarrow());
    EXPECT_STREQ("he", hello.Left(2).GetNarrow());
    EXPECT_STREQ("hello", hello.Left(99).GetNarrow());
    EXPECT_STREQ("o", hello.LastChar().GetNarrow());
    EXPECT_TRUE(OString().LastChar().IsEmpty());
    OString utf8 = NarrowIn(OString::kCodePageUtf8, "\xC3\xA9\xC3\xA8");
    OString second = utf8.Mid(1, 1);
    EXPECT_EQ(OString::kCodePageUtf8, second.GetCodePage());
    EXPECT_STREQ("\xC3\xA8", second.GetNarrow());
}

TEST(OString, InsertAndDeleteClampPositions) {
    OString s("abc");
    s.Insert(-5, "x", 1);
    EXPECT_STREQ("xabc", s.GetNarrow());
    s.Insert(100, "yz", 2);
    EXPECT_STREQ("xabcyz", s.GetNarrow());
    s.Insert(2, "123", 0);
    EXPECT_STREQ("xabcyz", s.GetNarrow());
    s.Insert(1, L"\u00E9", 1);
    EXPECT_STREQ(L"x\u00E9abcyz", s.GetWide());
    EXPECT_EQ(4, s.Delete(-3, 3));
    EXPECT_STREQ(L"bcyz", s.GetWide());
    EXPECT_EQ(2, s.Delete(2, 100));
    EXPECT_STREQ("bc", s.GetNarrow());
    EXPECT_EQ(2, s.Delete(9, 1));
    s.Truncate(1);
    EXPECT_STREQ("b", s.GetNarrow());
    s.Truncate(5);
    EXPECT_STREQ("b", s.GetNarrow());
    s.Empty();
    EXPECT_TRUE(s.IsEmpty());
    OString own("abc");
    own.Insert(1, own.GetNarrow(), 3);  // from its own buffer
    EXPECT_STREQ("aabcbc", own.GetNarrow());
}

TEST(OString, ReplaceDoesNotRescanInsertedText) {
    struct Row {
        const char* text;
        const char* from;
        const char* to;
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

TEST(OString, TrimAndPad) {
    OString s(" \t value \r\n");
    s.Trim();
    EXPECT_STREQ("value", s.GetNarrow());
    OString t("xxaxx");
    t.TrimLeft(OString("x"));
    EXPECT_STREQ("axx", t.GetNarrow());
    t.TrimRight(OString("x"));
    EXPECT_STREQ("a", t.GetNarrow());
    OString all("   ");
    all.Trim();
    EXPECT_TRUE(all.IsEmpty());
    OString n("42");
    n.PadLeftZeros(5);
    EXPECT_STREQ("00042", n.GetNarrow());
    n.PadLeftZeros(3);
    EXPECT_STREQ("00042", n.GetNarrow());
}

TEST(OString, MakeUpperAndLowerMapTheWideText) {
    OString s("abc\xE9");
    s.MakeUpper();
    EXPECT_STREQ(L"ABC\u00C9", s.GetWide());
    s.MakeLower();
    EXPECT_STREQ(L"abc\u00E9", s.GetWide());
}

TEST(OString, NumbersInDecimal) {
    EXPECT_STREQ("0", OString(int32_t{0}).GetNarrow());
    EXPECT_STREQ("-2147483648", OString(INT32_MIN).GetNarrow());
    EXPECT_STREQ("4294967295", OString(UINT32_MAX).GetNarrow());
    EXPECT_STREQ("-9223372036854775808", OString(INT64_MIN).GetNarrow());
    EXPECT_STREQ("18446744073709551615", OString(UINT64_MAX).GetNarrow());
    OString s;
    s.SetInt(INT32_MIN);
    EXPECT_STREQ("-2147483648", s.GetNarrow());
    OString a("n=");
    a.Append(int32_t{-7}).Append(uint32_t{8});
    EXPECT_STREQ("n=-78", a.GetNarrow());
}

TEST(OString, ToIntStopsAtTheFirstNonDigitAndSaturates) {
    struct Row {
        const char* text;
        int32_t expected;
    } rows[] = {
        {"42", 42},
        {"  \t-17x", -17},
        {"+5", 5},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999", INT32_MAX},
        {"--1", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.expected, OString(row.text).ToInt());
    }
}

TEST(OString, HexDigitsOfBytes) {
    const unsigned char bytes[] = {0x12, 0xAB};
    EXPECT_STREQ("12AB", OString::FromBytesHex(bytes, 2).GetNarrow());
    EXPECT_STREQ("AB12", OString::FromBytesHex(bytes, -2).GetNarrow());
    EXPECT_TRUE(OString::FromBytesHex(bytes, 0).IsEmpty());
    EXPECT_STREQ("00FF", OString::ToHex(uint16_t{0xFF}).GetNarrow());
    EXPECT_STREQ("0000BEEF", OString::ToHex(uint32_t{0xBEEF}).GetNarrow());
    EXPECT_STREQ("0123456789ABCDEF", OString::ToHex(uint64_t{0x0123456789ABCDEFull}).GetNarrow());
}

TEST(OString, FormatIsCutByWvsprintf) {
    EXPECT_STREQ("a=7 b=x 0x1F", OString::Formatted("a=%d b=%s 0x%X", 7, "x", 31).GetNarrow());
    std::string big(3000, 'q');
    OString s;
    s.Format("%s", big.c_str());
    EXPECT_GE(s.GetLength(), 1023);
    EXPECT_LE(s.GetLength(), 1024);
}

// A change writes one form and empties the other, so whichever form was read
// before, both forms read after the change give the new text.
TEST(OString, EveryChangeLeavesBothFormsAgreeing) {
    using Change = void (*)(OString&);
    struct Row {
        const char* note;
        Change change;
        const char* expected;
    } rows[] = {
        {"assign narrow", [](OString& s) { s = "new"; }, "new"},
        {"assign wide", [](OString& s) { s = L"new"; }, "new"},
        {"append narrow", [](OString& s) { s.Append("er"); }, "older"},
        {"append wide", [](OString& s) { s.Append(L"er"); }, "older"},
        {"append char", [](OString& s) { s.Append('y'); }, "oldy"},
        {"insert narrow", [](OString& s) { s.Insert(0, "b", 1); }, "bold"},
        {"insert wide", [](OString& s) { s.Insert(0, L"b", 1); }, "bold"},
        {"delete", [](OString& s) { s.Delete(0, 1); }, "ld"},
        {"replace", [](OString& s) { s.Replace(OString("d"), OString("k")); }, "olk"},
        {"trim", [](OString& s) { s.Trim(OString("o")); }, "ld"},
        {"truncate", [](OString& s) { s.Truncate(2); }, "ol"},
        {"upper", [](OString& s) { s.MakeUpper(); }, "OLD"},
    };
    struct Start {
        const char* note;
        void (*make)(OString&);
    } starts[] = {
        {"narrow only", [](OString& s) { s = "old"; }},
        {"wide only", [](OString& s) { s = L"old"; }},
        {"both read",
         [](OString& s) {
             s = "old";
             s.GetWide();
         }},
    };
    for (uint32_t codePage : {OString::kCodePageAnsi, OString::kCodePageUtf8, 932u}) {
        for (const Start& start : starts) {
            for (const Row& row : rows) {
                SCOPED_TRACE(::testing::Message()
                             << "code page " << codePage << ", " << start.note << ", " << row.note);
                OString s;
                s.SetCodePage(codePage);
                start.make(s);
                row.change(s);
                EXPECT_STREQ(row.expected, s.GetNarrow());
                EXPECT_EQ(std::wstring(row.expected, row.expected + std::strlen(row.expected)),
                          s.GetWide());
            }
        }
    }
    // Positions count wide units once the wide form is held: deleting one unit
    // must not cut the two UTF-8 bytes of e-acute in half.
    OString both = NarrowIn(OString::kCodePageUtf8, "\xC3\xA9old");
    both.GetWide();
    both.Delete(0, 1);
    EXPECT_STREQ("old", both.GetNarrow());
    // Two narrow strings in different code pages meet in the wide form: byte
    // 0xE9 is e-acute in 1252 and short i in 1251.
    OString mixed = NarrowIn(1252, "x\xE9");
    mixed.Append(NarrowIn(1251, "\xE9"));
    EXPECT_STREQ(L"x\u00E9\u0439", mixed.GetWide());
    EXPECT_NE(0, NarrowIn(1252, "\xE9").Compare(NarrowIn(1251, "\xE9")));
}

TEST(OString, SplitKeepsEmptyPieces) {
    struct Row {
        const char* text;
        const char* delimiter;
        std::vector<std::string> pieces;
    } rows[] = {
        {"a;;b;", ";", {"a", "", "b", ""}},
        {"", ";", {}},
        {"a;b", "", {"a;b"}},
        {"a;b", nullptr, {"a;b"}},
        {"a::b", "::", {"a", "b"}},
        {";", ";", {"", ""}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        OStringArray out;
        out.Add(OString("stale"));
        OString::Split(out, OString(row.text), row.delimiter);
        EXPECT_EQ(row.pieces, Pieces(out));
    }
    OStringArray wide;
    OString::Split(wide, NarrowIn(OString::kCodePageUtf8, "\xC3\xA9;x"), ";");
    ASSERT_EQ(2, wide.GetCount());
    EXPECT_STREQ(L"\u00E9", wide[0].GetWide());
    EXPECT_STREQ(L"x", wide[1].GetWide());
    // The delimiter is counted in the wide form too: one unit there, two bytes here.
    OString::Split(wide,
                   NarrowIn(OString::kCodePageUtf8,
                            "a\xC3\xA9"
                            "bc\xC3\xA9"),
                   "\xC3\xA9");
    EXPECT_EQ((std::vector<std::string>{"a", "bc", ""}), Pieces(wide));
    // The text may be an element of the array that receives the pieces.
    OStringArray self;
    self.Add(OString("x;y"));
    OString::Split(self, self[0], ";");
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Pieces(self));
}

TEST(OString, StaticRoutinesAcceptNull) {
    EXPECT_EQ(0, OString::StrLen(static_cast<const char*>(nullptr)));
    EXPECT_EQ(nullptr, OString::StrChr(static_cast<const char*>(nullptr), 'a'));
    EXPECT_EQ(-1, OString::StrCmp(static_cast<const char*>(nullptr), "a"));
    EXPECT_EQ(-1, OString::StrNCmp(L"a", static_cast<const wchar_t*>(nullptr), 1));
    EXPECT_EQ(0, OString::StrNCmp("abX", "abY", 2));
    EXPECT_EQ(0, OString::StrCmpNoCase("MiXeD", "mixed"));
    EXPECT_STREQ("cd", OString::StrStr("abcd", "cd"));
    EXPECT_STREQ("\\c", OString::StrRChrBackslash("a\\b\\c"));
    EXPECT_STREQ(L"b;c", OString::StrPBrk(L"a,b;c", L";b"));
    EXPECT_STREQ(";c", OString::StrRPBrk("a;b;c", ";"));
    EXPECT_EQ('A', OString::ToUpperAscii('a'));
    EXPECT_EQ(static_cast<wchar_t>(0xE9), OString::ToUpperAscii(static_cast<wchar_t>(0xE9)));
}

}  // namespace

namespace {

// Copies of one body read in both forms on several threads at once: the first
// read of a form converts, and every reader must get the whole text, never a
// half-made or freed buffer. Before conversions were published atomically this
// failed in six runs of six, with 17 to 199 bad reads a run.
TEST(OString, CopiesOfOneBodyReadBothFormsOnManyThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 8000;
    std::string narrow;
    for (int i = 0; i < 600; ++i) {
        narrow += static_cast<char>('a' + i % 26);
    }
    const std::wstring wide(narrow.begin(), narrow.end());
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
    sources.clear();
}

}  // namespace
