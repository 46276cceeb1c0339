#include "rfid/epc_encoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "core/clock.h"
#include "rfid/rfid_exports.h"
#include "rfid/epc_digits.h"
#include "support/logged_events.h"

namespace {

using Digits = EpcDigits;

std::wstring Epc(std::wstring_view values, std::wstring_view layout, int mode) {
    return EncodedEpc(values, layout, mode);
}

std::wstring Raw(std::wstring_view value, int mode) {
    Digits digits;
    ConvertValueToHex(value, mode, digits);
    return digits.misused ? L"(room misused)" : digits.text;
}

// Every partition of an SGTIN-96, worked out field by field from the tag data
// standard's partition table: header 30, filter 1, partition p, company prefix
// of 12 - p digits, item reference, serial 123456789 in 38 bits.
TEST(EncodeEpc, Sgtin96EveryPartition) {
    static const struct {
        const wchar_t* values;
        const wchar_t* expected;
        const char* note;
    } kRows[] = {
        {L"1;061414112345;8;123456789", L"3020393243F16600075BCD15", "p0: 40 + 4 bits"},
        {L"1;06141411234;81;123456789", L"30242DC1CFF45440075BCD15", "p1: 37 + 7 bits"},
        {L"1;0614141123;812;123456789", L"3028249B0CC3CB00075BCD15", "p2: 34 + 10 bits"},
        {L"1;061414112;8123;123456789", L"302C3A91AE07EEC0075BCD15", "p3: 30 + 14 bits"},
        {L"1;06141411;81234;123456789", L"30302EDAF1CF5480075BCD15", "p4: 27 + 17 bits"},
        {L"1;0614141;812345;123456789", L"3034257BF7194E40075BCD15", "p5: 24 + 20 bits"},
        {L"1;061414;8123456;123456789", L"30383BF99EFD1000075BCD15", "p6: 20 + 24 bits"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(Epc(row.values, L"8#30;3;3#X;20:P1;44:P2;38", 2), row.expected);
    }
}

// The standard's worked examples where marked; the rest worked out by hand
// from its encoding tables or from the rule each row names.
TEST(EncodeEpc, FollowsTheLayout) {
    static const struct {
        const wchar_t* values;
        const wchar_t* layout;
        int mode;
        const wchar_t* expected;
        const char* note;
    } kRows[] = {
        {L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2, L"3074257BF7194E4000001A85",
         "SGTIN-96 urn:epc:tag:sgtin-96:3.0614141.812345.6789, the standard's worked example"},
        {L"3;0614141;712345;32a/b", L"8#36;3;3#X;20:P1;44:P2;140#EASC7", 2,
         L"3674257BF6B7A659B2C2BF1000000000000000000000000000",
         "SGTIN-198 3.0614141.712345.32a%2Fb, the standard's worked example: serial left-aligned"},
        {L"3;0614141;1234567890", L"8#31;3;3#X;20:P1;58:P2;24#000000", 2,
         L"3174257BF4499602D2000000",
         "SSCC-96 3.0614141.1234567890: 31 | 011 | 101 | 614141/24 | 1234567890/34 | 24 zero bits"},
        {L"3;0614141;5678", L"8#34;3;3#X;20:P1;82:P2", 2, L"3474257BF40000000000162E",
         "GIAI-96 3.0614141.5678: 34 | 011 | 101 | 614141/24 | 5678/58"},
        {L"952056;2718;1", L"8#35;28;24;36", 2, L"3500E86F8000A9E000000001",
         "GID-96 952056.2718.1: 35 | 952056/28 | 2718/24 | 1/36"},
        {L"3;0614141;12345;006847", L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113", 2,
         L"3A74257BF460720000000007AE7F80",
         "GDTI-113 3.0614141.12345.006847: 3A | 011 | 101 | 614141/24 | 12345/17 | 1006847/58"},
        {L"3;4012345;67890;000041", L"8#3F;3;3#X;20:P1;41:P2;41#ESN_SGCN96", 2,
         L"3F74F4E4E6126400000F4269",
         "SGCN-96 3.4012345.67890.000041: 3F | 011 | 101 | 4012345/24 | 67890/17 | 1000041/41"},
        {L"3;35962;PQ7VZ4;M37GXB92", L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", 2,
         L"3B0E0CF5E76C9047759AD00373DC7602E72000",
         "ADI-var 3.35962.PQ7VZ4.M37GXB92: 3B | 000011 | space 35962 | PQ7VZ4 0 | M37GXB92 0"},
        {L"0;W81X9C;3KL984PX1;2WMA52", L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", 2,
         L"3B017E316390F32CCE78D106310325CD075C80",
         "ADI-var with a six-character DoDAAC, no space in front"},
        // Partition from the number of decimal digits.
        {L"12345", L"3#X;20:P1", 2, L"C06072", "5 digits: partition 6 (110), 12345 in 20 bits"},
        {L"1234567890123", L"3#X;20:P1", 2, L"03EE3F609960", "13 digits: partition 0, 40 bits"},
        {L"06-14141", L"3#X;20:P1", 2, L"A12BDFA0", "7 digits kept, the dash not counted: 101"},
        // Partition from the bit length in the other modes.
        {L"FFFFF", L"3#X;20:P1", 1, L"DFFFFE", "20 bits: partition 6"},
        {L"100000", L"3#X;20:P1", 1, L"A2000000", "21 bits: partition 5, 24-bit field"},
        {L"0", L"3#X;20:P1", 1, L"C00000", "zero: partition 6"},
        {L"FFFFFFFFFF1", L"3#X;20:P1", 1, L"1FFFFFFFFE20", "44 bits: p0, the low 40 bits kept"},
        // Fitting each field to its width and padding the tag.
        {L"9", L"3", 2, L"20", "9 in 3 bits keeps 001"},
        {L"abc", L"8", 1, L"BC", "0ABC keeps its low byte"},
        {L"123456789012345678901234567890", L"100", 2, L"18EE90FF6C373E0EE4E3F0AD20", "exactly"},
        {L"123456789012345678901234567890", L"64", 2, L"C373E0EE4E3F0AD2", "its low 64 bits"},
        // Missing and surplus values.
        {L"1", L"4;4", 2, L"10", "the second plain field has no value: zero bits"},
        {L"1;2;3", L"4", 2, L"10", "surplus values are ignored"},
        {L"1;;3", L"4;4;4", 2, L"1030", "an empty piece is a value: zero"},
        {L"", L"8#D", 2, L"0D", "a hash field without a value keeps its type text: D"},
        {L"5", L"12;8#H", 2, L"005000", "H has no hexadecimal digit"},
        {L"", L"8:P2", 2, L"02", "a P2 field without a value keeps its type text: P2"},
        // Widths that are not numbers, separators at index 0, literals.
        {L"5;6", L"x;4", 2, L"60", "x is width 0 but still takes the value 5"},
        {L"1;2", L":8;4", 2, L"20", "':' at index 0: a plain field of width 0 (takes the 1)"},
        {L"7", L"#30;4", 2, L"00", "'#' at index 0: a plain field of width 0 (takes the 7)"},
        {L"CD", L"8:AB;8", 1, L"ABCD", "an unknown colon type is a literal and takes no value"},
        {L"", L"8#EFOO", 1, L"EF", "an E type naming no encoding is a literal: E, F"},
        {L"", L"8#30;8#3:1", 1, L"3001", "':' wins over '#': width 8#3 reads 8, literal 1"},
        {L" 8", L" 8", 1, L"08", "the width may have leading white space"},
        // Hash types take their own mode, whatever the call's mode.
        {L"ff", L"8#H", 2, L"FF", "H is hexadecimal"},
        {L"AB", L"16#A", 2, L"4142", "A is text"},
        {L"255", L"8#D", 1, L"FF", "D is decimal"},
        {L"101", L"8#B", 2, L"05", "B is binary"},
        {L"A1", L"16#EUID64", 2, L"0071", "UID64: 000001 110001 in 16 bits"},
        {L"05", L"8#ESN_SGCN96", 2, L"69", "105 = 0x69"},
        {L"A", L"8#EVAR6UID64", 2, L"01", "UID64 is tested before VAR6"},
        {L"AB", L"28#EASC7", 2, L"83080000", "ASC7 shorter than its field: aligned left"},
        {L"XYZ", L"14#EASC7", 2, L"B368", "ASC7 longer than its field: Y, Z remain"},
        {L"AB", L"0#EVAR6", 2, L"042000", "VAR6: 000001 000010 000000, the given width unused"},
        {L"1;12345", L"40;20:P1", 2, L"0000000006030390", "partition 6 fills a 40-bit field"},
        {L"123456;AB;7", L"20:P1;99:P2VAR6;4", 2, L"1E24004201C0", "P2VAR6 clears the pending 20"},
        // Input modes.
        {L"A", L"8", 0, L"41", "mode 0: the byte of A"},
        // Gaps of the plain reading, given sound behaviour.
        {L"0614141;99;5", L"3#X;20:P1;10:P2;4", 2, L"A12BDFAA", "P2 below the prefix: 0 bits"},
        {L"255;1", L"-8;4", 2, L"10", "plain width -8"},
        {L"1", L"-8:FF;4", 2, L"10", "colon literal of width -8"},
        {L"7;1", L"-99999999999;4", 2, L"10", "a width below the 32-bit range (takes the 7)"},
        {L"0614141;812345", L"20:P1;44:P2", 2, L"095EFDC65390", "P1 first: partition nowhere"},
        {L"", L"3#X;0:P1;44:P2", 2, L"C00000000004", "no P1 value: p6, 20 zero bits; P2 literal"},
        {L"15", L"4;0#EVAR6", 2, L"F000", "VAR6 without value: the terminator alone"},
        {L"1", L"", 2, L"", "empty layout"},
        {L"1", L"65537", 2, L"", "one bit over the limit"},
        {L"1", L"32768;32769", 2, L"", "over the limit in total"},
        {L"1", L"99999999999", 2, L"", "a width that saturates"},
        {L"A", L"2147483647#EASC7", 2, L"", "refused before the padding is allocated"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(::testing::Message() << row.note << " (mode " << row.mode << ")");
        EXPECT_EQ(Epc(row.values, row.layout, row.mode), row.expected);
    }
}

TEST(EncodeEpc, LongInputsStaySafe) {
    EXPECT_EQ(Epc(L"1", L"65536", 2), std::wstring(16383, L'0') + L"1");  // the widest tag
    // 10^4999 + 12345: 10^4999 = 2^4999 * 5^4999 leaves no low-order bits.
    std::wstring big = L"1" + std::wstring(4994, L'0') + L"12345";
    EXPECT_EQ(Epc(big, L"38", 2), L"000000C0E4");              // 12345 in 38 bits, padded to 40
    EXPECT_EQ(Epc(std::wstring(3000, L'9'), L"8", 2), L"FF");  // 10^3000 - 1 is -1 modulo 256
    // 20000 one-bit fields, values 1 and 0 alternating.
    std::wstring layout;
    std::wstring values;
    for (int i = 0; i < 20000; ++i) {
        layout += i == 0 ? L"1" : L";1";
        values += i == 0 ? L"1" : (i % 2 == 0 ? L";1" : L";0");
    }
    EXPECT_EQ(Epc(values, layout, 2), std::wstring(5000, L'A'));
    EXPECT_EQ(Epc(values, layout + L";45537", 2), L"");  // one bit too many
}

TEST(ConvertValueToHex, FollowsTheInputMode) {
    static const struct {
        int mode;
        const wchar_t* value;
        const wchar_t* hex;
        const char* note;
    } kRows[] = {
        {1, L"abc", L"0ABC", "odd length gets a leading 0, upper-cased"},
        {1, L"12-3z4", L"1234", "non-hexadecimal characters dropped"},
        {1, L"xyz", L"", "nothing left"},
        {0, L"AB", L"4142", "bytes of the text"},
        {3, L"101", L"05", "padded to eight binary digits"},
        {3, L"11111111", L"FF", "a whole byte"},
        {3, L"100000000", L"0100", "nine digits: two bytes"},
        {3, L"1 1", L"03", "the space is dropped"},
        // A mode outside 0..3 is hexadecimal, the filter included.
        {4, L"xyz", L"", "not 0XYZ"},
        {-1, L"12g", L"12", "below 0 likewise"},
        // Decimal numbers of any length, exactly.
        {2, L"1-2", L"C", "12 after the filter"},
        {2, L"255", L"FF", "0xFF"},
        {2, L"256", L"100", "0x100, one digit more"},
        {2, L"0", L"", "zero has no bits"},
        {2, L"", L"", "empty"},
        {2, L"00042", L"2A", "leading zeros add nothing"},
        {2, L"9999999999999999999", L"8AC7230489E7FFFF", "19 digits: one whole chunk"},
        {2, L"18446744073709551615", L"FFFFFFFFFFFFFFFF", "2^64 - 1"},
        {2, L"18446744073709551616", L"10000000000000000", "2^64, beyond any machine word"},
        {2, L"123456789012345678901234567890", L"18EE90FF6C373E0EE4E3F0AD2",
         "30 digits; worked by long division by 16"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(std::wstring(row.value))
                                          << " in mode " << row.mode << ": " << row.note);
        EXPECT_EQ(Raw(row.value, row.mode), row.hex);
    }
}

// Every unit alone in each mode, against the C library's own classes.
TEST(ConvertValueToHex, AcceptsExactlyTheCharactersOfEachMode) {
    for (int c = 1; c < 256; ++c) {
        SCOPED_TRACE(c);
        std::wstring unit(1, static_cast<wchar_t>(c));
        wchar_t bytes[3];
        std::swprintf(bytes, 3, L"%02X", c);
        std::wstring upper(1, static_cast<wchar_t>(std::toupper(c)));
        bool hex = std::isxdigit(c) != 0;
        EXPECT_EQ(Raw(unit, 0), bytes);
        EXPECT_EQ(Raw(unit, 1), hex ? L"0" + upper : L"");
        EXPECT_EQ(Raw(unit, 2), c >= '1' && c <= '9' ? unit : L"");
        EXPECT_EQ(Raw(unit, 3), c == '0' || c == '1' ? L"0" + unit : L"");
    }
}

}  // namespace

// A layout without a tag names the field that stopped it, in the result and,
// through the export, in the event log.
TEST(EpcEncoder, ALayoutWithoutATagNamesItsField) {
    QvTest::LoggedEvents log;
    Digits digits;
    const EpcLayoutFault fault = EncodeEpc(L"1;2", L"8;65520;16", 2, digits);
    EXPECT_EQ(fault.field, 3);
    EXPECT_EQ(fault.entry, L"16");
    EXPECT_EQ(EncodeEpc(L"1", L"x", 2, digits).field, 0) << "no bits: no field to blame";
    for (const wchar_t* layout : {L"8;65520;16", L"x"}) {
        EXPECT_EQ(RFID_EncodeEPC_impl(L"1", layout, 2), nullptr);
    }
    EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE,
                                          L"layout field 3 \"16\" makes the tag wider than 65536"),
              1);
    EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE, L"the layout gives no bits"), 1);
}

// A value the tag does not hold keeps the tag it always made, and the result
// names its field: bits 1 beyond the width, or characters the field's code
// cannot carry. Leading zeros and a value that just fits lose nothing.
TEST(EpcEncoder, NamesTheFirstValueTheTagDoesNotHold) {
    using enum EpcValueLoss;
    static const struct {
        const wchar_t* values;
        const wchar_t* layout;
        int mode;
        const wchar_t* expected;
        EpcValueLoss loss;
        int64_t field;
        const char* note;
    } kRows[] = {
        {L"1;274877906944", L"8;38", 2, L"010000000000", kCut, 2, "serial 2^38 is the tag of 0"},
        {L"9", L"3", 2, L"20", kCut, 1, "filter 9 is 1 in 3 bits"},
        {L"1C", L"4", 1, L"C0", kCut, 1, "a hexadecimal digit 1 in front of the field"},
        {L"0614141", L"24", 1, L"614141", kNone, 0, "leading zero digits drop zero bits only"},
        {L"274877906943", L"38", 2, L"FFFFFFFFFC", kNone, 0, "2^38 - 1 fits exactly"},
        {L"18446744073709551615", L"64", 2, L"FFFFFFFFFFFFFFFF", kNone, 0, "2^64 - 1 fits"},
        {L"18446744073709551616", L"64", 2, L"0000000000000000", kCut, 1, "2^64 wraps to 0"},
        {L"1180591620717411303423", L"70", 2, L"FFFFFFFFFFFFFFFFFC", kNone, 0, "2^70 - 1 fits"},
        {L"1180591620717411303424", L"70", 2, L"000000000000000000", kCut, 1, "2^70 does not"},
        {L"A@B", L"0#EVAR6", 2, L"040080", kCharacters, 1, "'@' ends a 6-bit string early"},
        {L"ab", L"12#ECAGE6", 2, L"8620", kCharacters, 1, "no lower case in a 6-bit code"},
        {L"A\tB", L"21#EASC7", 2, L"822610", kCharacters, 1, "a control character in 7 bits"},
        {L"AB;9", L"0#EVAR6;3", 2, L"042008", kCut, 2, "a clean 6-bit string, then a cut"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.note);
        Digits digits;
        const EpcLayoutFault fault = EncodeEpc(row.values, row.layout, row.mode, digits);
        EXPECT_EQ(digits.text, row.expected);
        EXPECT_EQ(fault.field, 0);
        EXPECT_EQ(fault.loss, row.loss);
        EXPECT_EQ(fault.lossField, row.field);
    }
}

namespace {
uint64_t g_now = 0;
ULONGLONG WINAPI Now() {
    return g_now;
}
}  // namespace

// A host encoding thousands of such tags a second gets one line a minute per
// kind, the next one counting those left out; the tag is returned all along.
TEST(EpcEncoder, ReportsValueLossAtMostOnceAMinute) {
    QvTest::LoggedEvents log;
    OClockOverride clock(OClockApi{&Now});
    g_now = 1ull << 40;  // past any minute the real clock started
    auto encode = [](const wchar_t* values, const wchar_t* layout) {
        BSTR tag = RFID_EncodeEPC_impl(values, layout, 2);
        EXPECT_NE(tag, nullptr);
        SysFreeString(tag);
    };
    for (int i = 0; i < 3; ++i) {
        encode(L"1;9", L"8;3");
        encode(L"a", L"6#ECAGE6");
        encode(L"1;2", L"8;3");
    }
    g_now += 60000;
    encode(L"9", L"3");
    const std::wstring cut = L"was given a value wider than the field";
    EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE, L"layout field 2 \"3\" " + cut),
              1);
    EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE,
                                          L"layout field 1 \"3\" " + cut +
                                              L": the tag holds another number (and 2 more since "
                                              L"the last report)"),
              1);
    EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE,
                                          L"layout field 1 \"6#ECAGE6\" was given characters"),
              1);
}

// A host that tries several layouts per tag, or scans foreign tags, fails by
// the thousand: one line a minute per kind of failure, then one counting the
// rest.
TEST(EpcEncoder, ReportsFailedEncodesAndDecodesAtMostOnceAMinutePerKind) {
    QvTest::LoggedEvents log;
    OClockOverride clock(OClockApi{&Now});
    g_now = 1ull << 40;
    const struct Row {
        BSTR (*call)();
        const wchar_t* line;
    } rows[] = {
        {[] { return RFID_EncodeEPC_impl(L"1", L"", 2); }, L"the layout gives no bits"},
        {[] { return QVRFID_DecodeEPC(L"12", L"32", 2); }, L"the tag is too short for the layout"},
        {[] { return QVRFID_DecodeEPC(L"31", L"8#30", 2); }, L"a literal does not match"},
    };
    for (int round = 0; round < 2; ++round) {
        for (const Row& row : rows) {
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(row.call(), nullptr);
            }
        }
        g_now += 60000;
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.line)));
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE, row.line), 2);
        EXPECT_EQ(QvTest::LoggedEvents::Count(
                      EVENTLOG_WARNING_TYPE,
                      std::wstring(row.line) + L" (and 2 more since the last report)"),
                  1);
    }
}
