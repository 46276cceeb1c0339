#include "rfid/epc_fast_encoder.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <random>
#include <string>

#include "epc_test_helpers.h"
#include "rfid/epc_encoders.h"

namespace {

// Differential tests: the fast encoder must give exactly what the reference
// gives, for layouts and values drawn at random from the pieces the rules
// distinguish (every type, odd widths, separators at index 0, missing and
// surplus values, every mode, characters each mode drops).
class RandomInput {
public:
    explicit RandomInput(uint32_t seed) : m_random(seed) {}

    int Pick(int count) { return static_cast<int>(m_random() % static_cast<uint32_t>(count)); }

    template <size_t N>
    const wchar_t* PickOf(const wchar_t* const (&items)[N]) {
        return items[Pick(static_cast<int>(N))];
    }

    std::wstring Width() {
        static const wchar_t* const kOdd[] = {L"",   L"x",  L" 12", L"+7",          L"-8", L"-0",
                                              L"3x", L"00", L"\t5", L"99999999999", L"-99"};
        int kind = Pick(20);
        if (kind == 0) {
            return PickOf(kOdd);
        }
        if (kind == 1) {
            return std::to_wstring(100 + Pick(400));
        }
        return std::to_wstring(Pick(71));
    }

    std::wstring Entry() {
        static const wchar_t* const kColonTypes[] = {L"P1", L"P2",  L"P2VAR6", L"AB",    L"ZZ", L"",
                                                     L"3F", L"P1x", L"p1",     L"P2VAR", L"1:2"};
        static const wchar_t* const kHashTypes[] = {
            L"H",          L"A",      L"D",     L"B",       L"EUID64",     L"EASC7", L"ESN_GDTI113",
            L"ESN_SGCN96", L"ECAGE6", L"EVAR6", L"30",      L"X",          L"E",     L"EVAR6UID64",
            L"xASC7",      L"EFOO",   L"h",     L"EXASC7Y", L"ECAGE6VAR6", L"",      L"E#5"};
        switch (Pick(8)) {
            case 0:
            case 1:
                return Width();
            case 2:
            case 3:
                return Width() + L":" + PickOf(kColonTypes);
            case 4:
                return (Pick(2) == 0 ? L":" : L"#") + Width() + (Pick(2) == 0 ? L"" : L":P1");
            default:
                return Width() + L"#" + PickOf(kHashTypes);
        }
    }

    std::wstring Layout() {
        std::wstring layout;
        int count = 1 + Pick(10);
        for (int i = 0; i < count; ++i) {
            layout += (i == 0 ? L"" : L";") + Entry();
        }
        if (Pick(10) == 0) {
            layout += L";";
        }
        return layout;
    }

    std::wstring Value() {
        static const wchar_t* const kPools[] = {
            L"0123456789",
            L"0123456789abcdefABCDEF",
            L"01",
            L"0123456789 -/.xX",
            L"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -#/",
            L" !\"#$%&'()*+,-./"
            L"0123456789:<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"
            L"\x7F\x01",
        };
        const wchar_t* pool = PickOf(kPools);
        size_t poolSize = std::wcslen(pool);
        int length = Pick(12) == 0 ? 20 + Pick(280) : Pick(16);
        std::wstring value;
        for (int i = 0; i < length; ++i) {
            value += pool[Pick(static_cast<int>(poolSize))];
        }
        return value;
    }

    std::wstring Values() {
        std::wstring values;
        int count = Pick(11);
        for (int i = 0; i < count; ++i) {
            values += (i == 0 ? L"" : L";") + Value();
        }
        return values;
    }

    int Mode() {
        static const int kModes[] = {-3, 0, 1, 2, 2, 2, 3, 4, 17};
        return kModes[Pick(static_cast<int>(std::size(kModes)))];
    }

private:
    std::mt19937 m_random;
};

TEST(EncodeEpcFast, MatchesTheReferenceOnRandomLayouts) {
    RandomInput random(20240611);
    int nonEmpty = 0;
    for (int i = 0; i < 20000; ++i) {
        std::wstring values = random.Values();
        std::wstring layout = random.Layout();
        int mode = random.Mode();
        std::wstring reference = ReferenceEpc(values, layout, mode);
        StringSink sink;
        ASSERT_TRUE(EncodeEpcFast(values.c_str(), layout.c_str(), mode, sink));
        ASSERT_EQ(sink.text, reference)
            << "values " << ::testing::PrintToString(values) << " layout "
            << ::testing::PrintToString(layout) << " mode " << mode;
        ASSERT_LE(sink.reserves, 1);
        nonEmpty += reference.empty() ? 0 : 1;
    }
    EXPECT_GT(nonEmpty, 15000);  // the draw must exercise real tags, not only refusals
}

TEST(EncodeEpcFast, MatchesTheReferenceOnStandardLayouts) {
    static const wchar_t* const kLayouts[] = {L"8#30;3;3#X;20:P1;44:P2;38",
                                              L"8#31;3;3#X;20:P1;58:P2;24#000000",
                                              L"8#34;3;3#X;20:P1;82:P2",
                                              L"8#36;3;3#X;20:P1;44:P2;140#EASC7",
                                              L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113",
                                              L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6"};
    RandomInput random(7);
    for (int i = 0; i < 5000; ++i) {
        std::wstring values;
        for (int v = 0; v < 5; ++v) {
            values += (v == 0 ? L"" : L";") + random.Value();
        }
        const wchar_t* layout = random.PickOf(kLayouts);
        int mode = random.Mode();
        StringSink sink;
        ASSERT_TRUE(EncodeEpcFast(values.c_str(), layout, mode, sink));
        ASSERT_EQ(sink.text, ReferenceEpc(values, layout, mode))
            << ::testing::PrintToString(values) << " "
            << ::testing::PrintToString(std::wstring(layout));
    }
}

TEST(ConvertValueToHexFast, MatchesTheReference) {
    RandomInput random(99);
    for (int i = 0; i < 20000; ++i) {
        std::wstring value = random.Value();
        int mode = random.Mode();
        StringSink sink;
        ASSERT_TRUE(ConvertValueToHexFast(value.c_str(), mode, sink));
        ASSERT_EQ(sink.text,
                  std::wstring(ConvertValueToHex(mode, OString(value.c_str())).GetWide()))
            << ::testing::PrintToString(value) << " mode " << mode;
        ASSERT_LE(sink.reserves, 1);
    }
    // Long decimals: the fast conversion multiplies up 64-bit words, the
    // reference divides nine-digit limbs.
    for (int digits : {19, 20, 38, 39, 40, 77, 200, 1500}) {
        for (int i = 0; i < 3; ++i) {
            std::wstring value;
            for (int d = 0; d < digits; ++d) {
                value += static_cast<wchar_t>(L'0' + random.Pick(10));
            }
            SCOPED_TRACE(value);
            StringSink sink;
            ConvertValueToHexFast(value.c_str(), 2, sink);
            EXPECT_EQ(sink.text, std::wstring(DecimalToHex(OString(value.c_str())).GetWide()));
        }
    }
}

TEST(EncodeEpcFast, DeclinesTextBeyondAsciiWithoutWriting) {
    StringSink sink;
    EXPECT_FALSE(EncodeEpcFast(L"\u00E9", L"8", 0, sink));
    EXPECT_FALSE(EncodeEpcFast(L"1", L"8:\u0100", 2, sink));
    EXPECT_FALSE(ConvertValueToHexFast(L"a\u20AC", 1, sink));
    EXPECT_EQ(sink.reserves, 0);
}

TEST(EncodeEpcFast, EmptyResultsReserveNothing) {
    StringSink sink;
    EXPECT_TRUE(EncodeEpcFast(nullptr, nullptr, 2, sink));
    EXPECT_TRUE(EncodeEpcFast(L"1", L"0;0", 2, sink));
    EXPECT_TRUE(EncodeEpcFast(L"1", L"65537", 2, sink));
    EXPECT_TRUE(ConvertValueToHexFast(L"000", 2, sink));
    EXPECT_TRUE(ConvertValueToHexFast(nullptr, 0, sink));
    EXPECT_EQ(sink.reserves, 0);
}

}  // namespace
