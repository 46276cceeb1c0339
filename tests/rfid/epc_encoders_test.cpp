#include "rfid/epc_encoders.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <functional>
#include <string>

namespace {

void SetBits(EpcBits& bits, const char* text) {
    bits.RemoveAll();
    for (const char* p = text; *p != '\0'; ++p) {
        bits.Add(*p == '1');
    }
}

std::string TextOf(const EpcBits& bits) {
    std::string text;
    for (int32_t i = 0; i < bits.GetCount(); ++i) {
        text += bits[i] ? '1' : '0';
    }
    return text;
}

std::string Narrow(const OString& text) {
    return text.GetNarrow();
}

TEST(DecimalToHex, ConvertsNumbersOfAnyLength) {
    static const struct {
        const char* decimal;
        const char* hex;
        const char* note;
    } kRows[] = {
        {"255", "FF", "0xFF"},
        {"256", "100", "0x100, one digit more"},
        {"10", "A", "a single digit, no leading zero"},
        {"1", "1", ""},
        {"0", "", "zero has no bits"},
        {"000", "", "zeros only"},
        {"", "", "empty"},
        {"00042", "2A", "leading zeros add nothing"},
        {"999999999", "3B9AC9FF", "nine digits: one whole limb"},
        {"1000000000", "3B9ACA00", "ten digits: a second limb"},
        {"4294967295", "FFFFFFFF", "2^32 - 1: one round of 32 bits"},
        {"4294967296", "100000000", "2^32: a second round with one bit"},
        {"1000000000000000001", "DE0B6B3A7640001", "10^18 + 1: inner limbs of zeros"},
        {"18446744073709551615", "FFFFFFFFFFFFFFFF", "2^64 - 1"},
        {"18446744073709551616", "10000000000000000", "2^64, beyond any machine word"},
        {"123456789012345678901234567890", "18EE90FF6C373E0EE4E3F0AD2",
         "30 digits; worked by long division by 16"},
        {"1000000000000000000000000000000", "C9F2C9CD04674EDEA40000000", "10^30 = 2^30 * 5^30"},
        {"12a", "", "not a decimal number"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.decimal);
        EXPECT_EQ(Narrow(DecimalToHex(OString(row.decimal))), row.hex) << row.note;
    }
}

TEST(HalveDecimal, HalvesTextWithAnEvenLastDigit) {
    static const struct {
        const char* before;
        const char* after;
    } kRows[] = {
        {"1000", "500"},
        {"10", "5"},
        {"0", "0"},
        {"0000", "0000"},  // zeros stay as they are
        {"98", "49"},
        {"1234", "617"},
        {"7", "7"},
        {"1001", "1001"},  // odd: untouched
        {"30", "15"},
        {"2", "1"},
        {"999999999999999999999999999998", "499999999999999999999999999999"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.before);
        OString text(row.before);
        HalveDecimal(text);
        EXPECT_EQ(Narrow(text), row.after);
    }
}

TEST(BinaryToHex, PadsToWholeBytes) {
    EXPECT_EQ(Narrow(BinaryToHex(OString("101"))), "05");
    EXPECT_EQ(Narrow(BinaryToHex(OString("11111111"))), "FF");
    EXPECT_EQ(Narrow(BinaryToHex(OString("100000000"))), "0100");
    EXPECT_EQ(Narrow(BinaryToHex(OString(""))), "");
}

TEST(ConvertValueToHex, FollowsTheInputMode) {
    static const struct {
        int mode;
        const char* value;
        const char* hex;
        const char* note;
    } kRows[] = {
        {1, "abc", "0ABC", "odd length gets a leading 0, upper-cased"},
        {1, "fF", "FF", ""},
        {1, "12-3z4", "1234", "non-hexadecimal characters dropped"},
        {1, "xyz", "", "nothing left"},
        {2, "1-2", "C", "12 after the filter"},
        {2, "0", "", "zero has no bits"},
        {2, "4096", "1000", ""},
        {0, "AB", "4142", "bytes of the text"},
        {0, "", "", ""},
        {0, "a;b", "613B62", "every byte, separators too"},
        {3, "101", "05", "padded to eight binary digits"},
        {3, "2", "", "filtered to nothing"},
        {3, "1 1", "03", "the space is dropped"},
        // A mode outside 0..3 is hexadecimal, the filter included, so the
        // result is always hexadecimal text.
        {4, "xyz", "", "not 0XYZ"},
        {4, "abc", "0ABC", ""},
        {-1, "12g", "12", ""},
        {1000, "G1", "01", ""},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(std::string(row.value) + " in mode " + std::to_string(row.mode));
        EXPECT_EQ(Narrow(ConvertValueToHex(row.mode, OString(row.value))), row.hex) << row.note;
    }
}

TEST(ConvertValueToHex, TextModeTakesTheBytesOfTheAnsiCodePage) {
    const wchar_t text[] = L"\u00E9\u20AC\u4E00";  // e acute, euro sign, a CJK ideograph
    char bytes[16] = {};
    int count =
        WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr) - 1;
    ASSERT_GT(count, 0);
    std::string expected;
    for (int i = 0; i < count; ++i) {
        char digits[3];
        wsprintfA(digits, "%02X", static_cast<unsigned char>(bytes[i]));
        expected += digits;
    }
    EXPECT_EQ(Narrow(ConvertValueToHex(0, OString(text))), expected);
}

TEST(IsValidModeChar, AcceptsExactlyTheCharactersOfEachMode) {
    for (int c = 1; c < 256; ++c) {
        char ch = static_cast<char>(c);
        SCOPED_TRACE(c);
        EXPECT_TRUE(IsValidModeChar(0, ch));
        EXPECT_EQ(IsValidModeChar(1, ch), std::isxdigit(c) != 0);
        EXPECT_EQ(IsValidModeChar(2, ch), c >= '0' && c <= '9');
        EXPECT_EQ(IsValidModeChar(3, ch), c == '0' || c == '1');
        EXPECT_EQ(IsValidModeChar(9, ch), std::isxdigit(c) != 0);
    }
}

TEST(FilterValueChars, ReportsDroppedCharacters) {
    bool dropped = true;
    EXPECT_EQ(Narrow(FilterValueChars(2, OString("0614141"), &dropped)), "0614141");
    EXPECT_FALSE(dropped);
    EXPECT_EQ(Narrow(FilterValueChars(2, OString("06-14 141"), &dropped)), "0614141");
    EXPECT_TRUE(dropped);
    EXPECT_EQ(Narrow(FilterValueChars(0, OString("a-b"), &dropped)), "a-b");
    EXPECT_FALSE(dropped);
}

TEST(BitStrings, ConvertBetweenHexAndBits) {
    EpcBits bits;
    HexToBits(OString("1-F"), bits);  // '-' is skipped
    EXPECT_EQ(TextOf(bits), "00011111");
    HexToBits(OString("a"), bits);
    EXPECT_EQ(TextOf(bits), "000111111010");
    SetBits(bits, "101");
    EXPECT_EQ(Narrow(BitsToHex(bits)), "5");
    SetBits(bits, "110000");
    EXPECT_EQ(Narrow(BitsToHex(bits)), "30");
    EXPECT_EQ(Narrow(BitsToHex(EpcBits())), "");
}

TEST(BitStrings, FitPadAndStrip) {
    auto fit = [](int32_t width) {
        return [width](EpcBits& bits) { FitBitsToWidth(bits, width); };
    };
    static const auto pad = [](EpcBits& bits) { PadBitsToByte(bits); };
    static const auto strip = [](EpcBits& bits) { StripLeadingZeroBits(bits); };
    const struct {
        const char* bits;
        std::function<void(EpcBits&)> change;
        const char* after;
        const char* note;
    } rows[] = {
        {"1011", fit(2), "11", "fit to 2: the low bits remain"},
        {"1011", fit(6), "001011", "fit to 6: zero bits in front"},
        {"1011", fit(4), "1011", "fit to its own width"},
        {"1011", fit(0), "", "fit to 0"},
        {"1011", fit(-3), "", "fit to -3 counts as 0"},
        {"", fit(3), "000", "fit of nothing"},
        {"1", pad, "10000000", "pad to a byte"},
        {"11111111", pad, "11111111", "a whole byte stays"},
        {"0010", strip, "10", "strip leading zeros"},
        {"000", strip, "", "zeros only"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        EpcBits bits;
        SetBits(bits, row.bits);
        row.change(bits);
        EXPECT_EQ(TextOf(bits), row.after);
    }
}

// Codes of the 6-bit table of the tag data standard: A-Z are 1..26, digits
// 48..57, space 32.
TEST(CharacterEncodings, SixBit) {
    EpcBits bits;
    Encode6Bit(OString("A1"), bits);
    EXPECT_EQ(TextOf(bits), "000001110001");
    EpcBits terminated;
    Encode6BitTerminated(OString("Z"), terminated);
    EXPECT_EQ(TextOf(terminated), "011010000000");
    EXPECT_EQ(Narrow(EncodeUid64(OString("A1"))), "071");
}

TEST(CharacterEncodings, SevenBitAlignsLeftInTheField) {
    EXPECT_EQ(Narrow(Encode7Bit(OString("A"), 16)), "8200");  // 1000001 + nine zero bits
    // 1000001 1000010 in 14 bits, two zero bits in front: 0010 0000 1100 0010.
    EXPECT_EQ(Narrow(Encode7Bit(OString("AB"), 14)), "20C2");
    EXPECT_EQ(Narrow(Encode7Bit(OString("A"), 0)), "41");
    // Longer than the field: every bit stays; the field fitting cuts the front.
    EXPECT_EQ(Narrow(Encode7Bit(OString("AB"), 7)), "20C2");
}

TEST(CharacterEncodings, CageCodesAreAlways36Bits) {
    // 35962: space 100000, then 3 110011, 5 110101, 9 111001, 6 110110, 2 110010.
    OString cage = EncodeCage6(OString("35962"));
    EXPECT_EQ(Narrow(cage), "833D79DB2");
    // A six-character DoDAAC has no space: W 010111, 8 111000, 1 110001,
    // X 011000, 9 111001, C 000011.
    OString dodaac = EncodeCage6(OString("W81X9C"));
    EXPECT_EQ(Narrow(dodaac), "5F8C58E43");
}

}  // namespace
