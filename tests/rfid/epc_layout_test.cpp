#include "rfid/epc_layout.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "epc_test_helpers.h"

namespace {

struct Row {
    const wchar_t* values;
    const wchar_t* layout;
    int mode;
    const wchar_t* expected;
    const char* note;
};

template <size_t N>
void CheckRows(const Row (&rows)[N]) {
    for (size_t i = 0; i < N; ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(::testing::Message() << "row " << i << ": " << row.note);
        EXPECT_TRUE(EpcIs(row.values, row.layout, row.mode, row.expected));
    }
}

// Every partition of an SGTIN-96, worked out field by field from the
// partition table of the GS1 EPC Tag Data Standard (company prefix of 12 - p
// digits in the bits of p, item reference of p + 1 digits in the remaining 44
// bits): header 00110000, filter 1 (001), partition p, company prefix, item
// reference, serial 123456789 in 38 bits (...075BCD15).
TEST(EncodeEpcLayout, Sgtin96EveryPartition) {
    CheckRows({
        {L"1;061414112345;8;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"3020393243F16600075BCD15", "p0: 61414112345 in 40 bits, 8 in 4"},
        {L"1;06141411234;81;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"30242DC1CFF45440075BCD15", "p1: 6141411234 in 37 bits, 81 in 7"},
        {L"1;0614141123;812;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"3028249B0CC3CB00075BCD15", "p2: 614141123 in 34 bits, 812 in 10"},
        {L"1;061414112;8123;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"302C3A91AE07EEC0075BCD15", "p3: 61414112 in 30 bits, 8123 in 14"},
        {L"1;06141411;81234;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"30302EDAF1CF5480075BCD15", "p4: 6141411 in 27 bits, 81234 in 17"},
        {L"1;0614141;812345;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"3034257BF7194E40075BCD15", "p5: 614141 in 24 bits, 812345 in 20"},
        {L"1;061414;8123456;123456789", L"8#30;3;3#X;20:P1;44:P2;38", 2,
         L"30383BF99EFD1000075BCD15", "p6: 61414 in 20 bits, 8123456 in 24"},
    });
}

// The standard schemes as a layout describes them. Sources: the tag data
// standard's own worked examples where marked; the rest worked out by hand
// from its encoding tables, the fields listed in the note.
TEST(EncodeEpcLayout, StandardSchemes) {
    CheckRows({
        {L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2, L"3074257BF7194E4000001A85",
         "SGTIN-96 urn:epc:tag:sgtin-96:3.0614141.812345.6789, the standard's worked example"},
        {L"3;0614141;712345;32a/b", L"8#36;3;3#X;20:P1;44:P2;140#EASC7", 2,
         L"3674257BF6B7A659B2C2BF1000000000000000000000000000",
         "SGTIN-198 urn:epc:tag:sgtin-198:3.0614141.712345.32a%2Fb, the standard's worked example: "
         "7-bit serial left-aligned in 140 bits, 198 bits padded to 200"},
        {L"3;0614141;1234567890", L"8#31;3;3#X;20:P1;58:P2;24#000000", 2,
         L"3174257BF4499602D2000000",
         "SSCC-96 3.0614141.1234567890: 31 | 011 | 101 | 614141/24 | 1234567890/34 | 24 zero bits"},
        {L"3;0614141;12345;400", L"8#32;3;3#X;20:P1;41:P2;41", 2, L"3274257BF460720000000190",
         "SGLN-96 3.0614141.12345.400: 32 | 011 | 101 | 614141/24 | 12345/17 | 400/41"},
        {L"3;0614141;12345;5678", L"8#33;3;3#X;20:P1;44:P2;38", 2, L"3374257BF40C0E400000162E",
         "GRAI-96 3.0614141.12345.5678: 33 | 011 | 101 | 614141/24 | 12345/20 | 5678/38"},
        {L"3;0614141;5678", L"8#34;3;3#X;20:P1;82:P2", 2, L"3474257BF40000000000162E",
         "GIAI-96 3.0614141.5678: 34 | 011 | 101 | 614141/24 | 5678/58"},
        {L"952056;2718;1", L"8#35;28;24;36", 2, L"3500E86F8000A9E000000001",
         "GID-96 952056.2718.1: 35 | 952056/28 | 2718/24 | 1/36"},
        {L"3;0614141;12345;006847", L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113", 2,
         L"3A74257BF460720000000007AE7F80",
         "GDTI-113 3.0614141.12345.006847: 3A | 011 | 101 | 614141/24 | 12345/17 | 1006847/58 "
         "(serial with a leading 1 keeps its zeros), 113 bits padded to 120"},
        {L"3;4012345;67890;000041", L"8#3F;3;3#X;20:P1;41:P2;41#ESN_SGCN96", 2,
         L"3F74F4E4E6126400000F4269",
         "SGCN-96 3.4012345.67890.000041: 3F | 011 | 101 | 4012345/24 | 67890/17 | 1000041/41"},
        {L"3;35962;PQ7VZ4;M37GXB92", L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", 2,
         L"3B0E0CF5E76C9047759AD00373DC7602E72000",
         "ADI-var 3.35962.PQ7VZ4.M37GXB92: 3B | 000011 | space+35962 in 6-bit | PQ7VZ4 000000 | "
         "M37GXB92 000000; 146 bits padded to 152"},
        {L"0;W81X9C;3KL984PX1;2WMA52", L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", 2,
         L"3B017E316390F32CCE78D106310325CD075C80",
         "ADI-var with a six-character DoDAAC, no space in front"},
    });
}

// The layout rules; expected values worked out by hand from the rule each
// row names.
TEST(EncodeEpcLayout, LayoutRules) {
    CheckRows({
        // Partition from the number of decimal digits.
        {L"12345", L"3#X;20:P1", 2, L"C06072", "5 digits: partition 6 (110), 12345 in 20 bits"},
        {L"1234567890123", L"3#X;20:P1", 2, L"03EE3F609960", "13 digits: partition 0, 40 bits"},
        {L"06-14141", L"3#X;20:P1", 2, L"A12BDFA0",
         "the partition counts the 7 digits the filter keeps, not the dash: 101, 614141 in 24 "
         "bits"},
        // Partition from the bit length in the other modes.
        {L"FFFFF", L"3#X;20:P1", 1, L"DFFFFE", "20 bits: partition 6"},
        {L"100000", L"3#X;20:P1", 1, L"A2000000", "21 bits: partition 5, 24-bit field"},
        {L"0", L"3#X;20:P1", 1, L"C00000", "zero: partition 6"},
        {L"FFFFFFFFFF1", L"3#X;20:P1", 1, L"1FFFFFFFFE20",
         "44 bits: partition 0, the 40 low-order bits kept"},
        // Fitting each field to its width and padding the tag.
        {L"9", L"3", 2, L"20", "9 in 3 bits keeps 001"},
        {L"1", L"4", 2, L"10", "4 bits padded to a byte"},
        {L"abc", L"8", 1, L"BC", "0ABC keeps its low byte"},
        {L"0", L"8", 2, L"00", "zero converts to no bits: all zero"},
        {L"123456789012345678901234567890", L"100", 2, L"18EE90FF6C373E0EE4E3F0AD20",
         "a 30-digit number exactly, 100 bits padded to 104"},
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
        {L"", L"8:ZZ", 1, L"00", "a literal without hexadecimal digits"},
        {L"", L"8#EFOO", 1, L"EF", "an E type naming no encoding is a literal: E, F"},
        {L"", L"4#E", 1, L"E0", ""},
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
        {L"XYZ", L"14#EASC7", 2, L"B368", "ASC7 longer than its field: the last 14 bits (of Y, Z)"},
        {L"AB", L"0#EVAR6", 2, L"042000", "VAR6: 000001 000010 000000, the given width unused"},
        {L"123456;AB;7", L"20:P1;99:P2VAR6;4", 2, L"1E24004201C0",
         "P2VAR6 is as wide as its bits and clears the pending 20 bits: the 4 stays whole"},
        {L"35962", L"36#ECAGE6", 2, L"833D79DB20", "CAGE6 with 5 characters: space in front"},
        {L"W81X9C", L"36#ECAGE6", 2, L"5F8C58E430", "CAGE6 with 6 characters"},
        // Input modes.
        {L"A", L"8", 0, L"41", "mode 0: the byte of A"},
        {L"1 0 1", L"8", 3, L"05", "mode 3: binary digits only"},
        {L"xyz1", L"8", 7, L"01", "mode 7 is hexadecimal with its filter"},
        {L"xyz1", L"8", -5, L"01", ""},
    });
}

// Faults and gaps of the plain reading, given sound behaviour: negative widths
// count as zero, a first-position prefix writes its partition nowhere, fields
// whose width depends on a missing value encode the empty value, and an empty
// or oversized tag gives no result.
TEST(EncodeEpcLayout, DecidedCases) {
    CheckRows({
        {L"0614141;99;5", L"3#X;20:P1;10:P2;4", 2, L"A12BDFAA",
         "P2 narrower than the 24-bit prefix: no bits (it still takes 99); 101 | 614141/24 | 5/4"},
        {L"0614141;99;5", L"3#X;20:P1;10#D;4", 2, L"A12BDFAA", "the same for a hash-form field"},
        {L"255;1", L"-8;4", 2, L"10", "plain width -8"},
        {L"1", L"-8:FF;4", 2, L"10", "colon literal of width -8"},
        {L"1", L"-8#30;4", 2, L"10", "hash literal of width -8"},
        {L"7;1", L"-99999999999;4", 2, L"10", "a width below the 32-bit range (takes the 7)"},
        {L"0614141;812345", L"20:P1;44:P2", 2, L"095EFDC65390",
         "P1 first: 614141 in 24 bits, 812345 in 20 bits, padded to 48"},
        {L"", L"3#X;0:P1;44:P2", 2, L"C00000000004",
         "P1 without value: partition 6 (110), 20 zero bits, P2 24 bits of its type text 2"},
        {L"", L"3#X;0:P1;44:P2", 1, L"C00000000004", "the same in mode 1"},
        {L"15", L"4;0#EVAR6", 2, L"F000", "VAR6 without value: the terminator alone, 1111 000000"},
        {L"15", L"4;0:P2VAR6", 2, L"F000", "P2VAR6 likewise"},
        {L"1", L"", 2, L"", "empty layout"},
        {L"1;2", L"0;0", 2, L"", "every field of width 0"},
        {L"1", L"65537", 2, L"", "one bit over the limit"},
        {L"1", L"32768;32769", 2, L"", "over the limit in total"},
        {L"1", L"99999999999", 2, L"", "a width that saturates"},
        {L"A", L"2147483647#EASC7", 2, L"", "refused before the padding is allocated"},
    });
    std::wstring full = ReferenceEpc(L"1", L"65536", 2);
    EXPECT_EQ(full.size(), 16384u);
    EXPECT_EQ(full.back(), L'1');
}

TEST(EncodeEpcLayout, LongInputsStaySafe) {
    // 10^4999 + 12345: 10^4999 = 2^4999 * 5^4999 leaves no low-order bits.
    std::wstring big = L"1" + std::wstring(4994, L'0') + L"12345";
    EXPECT_TRUE(EpcIs(big, L"38", 2, L"000000C0E4"));  // 12345 in 38 bits, padded to 40
    // 10^3000 - 1 is -1 modulo 256.
    EXPECT_TRUE(EpcIs(std::wstring(3000, L'9'), L"8", 2, L"FF"));
    // 20000 one-bit fields, values 1 and 0 alternating.
    std::wstring layout;
    std::wstring values;
    for (int i = 0; i < 20000; ++i) {
        layout += i == 0 ? L"1" : L";1";
        values += i == 0 ? L"1" : (i % 2 == 0 ? L";1" : L";0");
    }
    EXPECT_TRUE(EpcIs(values, layout, 2, std::wstring(5000, L'A')));
    EXPECT_TRUE(EpcIs(values, layout + L";45537", 2, L""));  // one bit too many
}

TEST(EncodeEpcLayout, NonAsciiTextUsesTheAnsiCodePage) {
    char bytes[4] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u00E9", 1, bytes, 1, nullptr, nullptr), 1);
    wchar_t expected[3];
    wsprintfW(expected, L"%02X", static_cast<unsigned char>(bytes[0]));
    EXPECT_TRUE(EpcIs(L"\u00E9", L"8", 0, expected));
    // The layout may hold such characters too; they are no hexadecimal digit.
    EXPECT_TRUE(EpcIs(L"1", L"8:\u00E9A;4", 2, L"0A10"));
}

}  // namespace
