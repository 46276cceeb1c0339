#include "rfid/epc_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "rfid/epc_digits.h"

namespace {

std::wstring Encode(std::wstring_view values, std::wstring_view layout, int mode) {
    return EncodedEpc(values, layout, mode);
}

// The tag data standard's examples, with the layouts and values the demo
// encodes, read back.
TEST(EpcDecoder, StandardTagsReadBackTheirValues) {
    const struct {
        const wchar_t* layout;
        const wchar_t* hex;
        const wchar_t* values;
    } rows[] = {
        {L"8#30;3;3#X;20:P1;44:P2;38", L"3074257BF7194E4000001A85", L"3;0614141;812345;6789"},
        {L"8#31;3;3#X;20:P1;58:P2;24#000000", L"3174257BF4499602D2000000", L"3;0614141;1234567890"},
        {L"8#33;3;3#X;20:P1;44:P2;38", L"3374257BF40C0E400000162E", L"3;0614141;12345;5678"},
        {L"8#34;3;3#X;20:P1;82:P2", L"3474257BF40000000000162E", L"3;0614141;5678"},
        {L"8#36;3;3#X;20:P1;44:P2;140#EASC7", L"3674257BF6B7A659B2C2BF1000000000000000000000000000",
         L"3;0614141;712345;32a/b"},
        {L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", L"3B0E0CF5E76C9047759AD00373DC7602E72000",
         L"3;35962;PQ7VZ4;M37GXB92"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.layout)));
        EpcValueText values;
        const EpcDecodeResult result = DecodeEpc(row.hex, row.layout, 2, values);
        EXPECT_EQ(result.error, EpcDecodeError::kNone) << result.reason;
        EXPECT_EQ(values.view(), row.values);
        EXPECT_EQ(Encode(values.view(), row.layout, 2), row.hex);
    }
}

// What the encoder normalises reads back normalised; everything else as given.
TEST(EpcDecoder, ValuesComeBackAsTheEncoderTookThem) {
    const struct {
        const wchar_t* layout;
        int mode;
        const wchar_t* given;
        const wchar_t* read;
    } rows[] = {
        {L"8;16;4", 1, L"0A;00fF;0", L"A;FF;0"},
        {L"24;8", 0, L"AB;", L"AB;"},
        {L"8;3", 3, L"00101;1", L"101;1"},
        {L"8;70", 2, L"007;1180591620717411303423", L"7;1180591620717411303423"},
        {L"3;3#X;20:P1;44:P2", 2, L"1;012345;000001", L"1;012345;1"},
        {L"3;3#X;20:P1;44:P2", 1, L"1;ABC;0", L"1;ABC;0"},
        {L"40#ESN_SGCN96;8#H;8#A;8#D;8#B", 2, L"00123;0F;z;9;11", L"00123;F;z;9;11"},
        {L"36#ECAGE6;36#ECAGE6;24#EUID64;14#EASC7", 2, L"35962;A1B2C3;@A1;a", L"35962;A1B2C3;A1;a"},
        {L"4:P2VAR6;0#EVAR6;8#C0DE", 2, L";X-1/", L";X-1/"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.layout)));
        const std::wstring hex = Encode(row.given, row.layout, row.mode);
        EpcValueText values;
        EXPECT_EQ(DecodeEpc(hex, row.layout, row.mode, values).error, EpcDecodeError::kNone);
        EXPECT_EQ(values.view(), row.read);
        EXPECT_EQ(Encode(values.view(), row.layout, row.mode), hex);
    }
}

// One row per way a tag can fail its layout, with the field blamed.
TEST(EpcDecoder, BitsThatDoNotFitTheLayoutAreRefused) {
    constexpr auto kData = EpcDecodeError::kInvalidData;
    constexpr auto kLayout = EpcDecodeError::kInvalidLayout;
    const wchar_t* sgtin = L"8#30;3;3#X;20:P1;44:P2;38";
    const struct {
        const wchar_t* hex;
        const wchar_t* layout;
        EpcDecodeError error;
        int64_t field;
    } rows[] = {
        {L"3074257BF7194E40", sgtin, kData, 6},            // too short
        {L"3174257BF7194E4000001A85", sgtin, kData, 1},    // another header
        {L"307C257BF7194E4000001A85", sgtin, kData, 4},    // partition 7
        {L"3074257BF7194E4000001A8501", sgtin, kData, 0},  // bits after the tag
        {L"3074257BF7194E4000001A8G", sgtin, kData, 0},    // no digit
        {L"EC00", L"0#EVAR6", kData, 1},                   // ';' in 6 bits
        {L"0E00", L"0#EVAR6", kData, 1},                   // no terminator
        {L"8201", L"16#EASC7", kData, 1},                  // padding not zero
        {L"0005", L"16#ESN_SGCN96", kData, 1},             // no leading 1
        {L"00003B", L"24#A", kData, 1},                    // ';' as text
        {L"00", L"x;0", kLayout, 0},                       // no bits
        {L"00000000", L"20:P1;12", kLayout, 1},            // partition nowhere
        {L"00", L"65537", kLayout, 1},                     // wider than any tag
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.hex)));
        EpcValueText values;
        const EpcDecodeResult result = DecodeEpc(row.hex, row.layout, 2, values);
        EXPECT_EQ(result.error, row.error) << result.reason;
        EXPECT_EQ(result.field, row.field) << result.reason;
    }
    EpcValueText values;
    EXPECT_EQ(DecodeEpc(L" 0x30 74257BF7194E4000001a85\n", sgtin, 2, values).error,
              EpcDecodeError::kNone)
        << "case, 0x and white space";
}

}  // namespace
