#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <random>
#include <string>

#include "core/bstr.h"
#include "rfid/epc_encoders.h"
#include "rfid/epc_layout.h"
#include "rfid/rfid_exports.h"

namespace {

std::wstring Take(BSTR b) {
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : L"(null)";
    SysFreeString(b);
    return s;
}
std::wstring RefEpc(const std::wstring& v, const std::wstring& l, int mode) {
    std::wstring r = EncodeEpcLayout(OString(v.c_str()), OString(l.c_str()), mode).GetWide();
    return r.empty() ? L"(null)" : r;
}
std::wstring RefRaw(const std::wstring& v, int mode) {
    std::wstring r = ConvertValueToHex(mode, OString(v.c_str())).GetWide();
    return r.empty() ? L"(null)" : r;
}
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
        if (kind == 2) {
            return std::wstring(L"\u00B2") + std::to_wstring(Pick(20));
        }
        if (kind == 1) {
            return std::to_wstring(100 + Pick(400));
        }
        return std::to_wstring(Pick(71));
    }

    std::wstring Entry() {
        static const wchar_t* const kColonTypes[] = {
            L"P1",  L"P2", L"P2VAR6", L"AB",  L"ZZ",       L"",        L"3F",
            L"P1x", L"p1", L"P2VAR",  L"1:2", L"P1\u00E9", L"\u00E9AB"};
        static const wchar_t* const kHashTypes[] = {
            L"H",     L"A",           L"D",           L"B",          L"EUID64",
            L"EASC7", L"ESN_GDTI113", L"ESN_SGCN96",  L"ECAGE6",     L"EVAR6",
            L"30",    L"X",           L"E",           L"EVAR6UID64", L"xASC7",
            L"EFOO",  L"h",           L"EXASC7Y",     L"ECAGE6VAR6", L"",
            L"E#5",   L"\u00E9A",     L"E\u00E9VAR6", L"\u00C9ASC7", L"EASC7\u20AC"};
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
            L"ab1\u00E9\u20AC\u4E00\u00A0\u00FF\u0100\xD800\u00C9\u00B2",
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

TEST(Diff, Epc) {
    for (uint32_t seed : {20240611u, 1u, 2u, 3u}) {
        RandomInput random(seed);
        int nonEmpty = 0, nonAscii = 0;
        for (int i = 0; i < 20000; ++i) {
            std::wstring values = random.Values();
            std::wstring layout = random.Layout();
            int mode = random.Mode();
            std::wstring ref = RefEpc(values, layout, mode);
            ASSERT_EQ(Take(RFID_EncodeEPC_impl(values.c_str(), layout.c_str(), mode)), ref)
                << "values " << ::testing::PrintToString(values) << " layout "
                << ::testing::PrintToString(layout) << " mode " << mode;
            nonEmpty += ref != L"(null)";
            for (wchar_t c : values + layout)
                if (c >= 0x80) {
                    ++nonAscii;
                    break;
                }
        }
        EXPECT_GT(nonEmpty, 15000);
        EXPECT_GT(nonAscii, 2000);
    }
}

TEST(Diff, Standard) {
    static const wchar_t* const kLayouts[] = {L"8#30;3;3#X;20:P1;44:P2;38",
                                              L"8#31;3;3#X;20:P1;58:P2;24#000000",
                                              L"8#34;3;3#X;20:P1;82:P2",
                                              L"8#36;3;3#X;20:P1;44:P2;140#EASC7",
                                              L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113",
                                              L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6"};
    RandomInput random(7);
    for (int i = 0; i < 20000; ++i) {
        std::wstring values;
        for (int v = 0; v < 5; ++v)
            values += (v == 0 ? L"" : L";") + random.Value();
        const wchar_t* layout = random.PickOf(kLayouts);
        int mode = random.Mode();
        ASSERT_EQ(Take(RFID_EncodeEPC_impl(values.c_str(), layout, mode)),
                  RefEpc(values, layout, mode))
            << ::testing::PrintToString(values) << " "
            << ::testing::PrintToString(std::wstring(layout));
    }
}

TEST(Diff, Raw) {
    RandomInput random(99);
    for (int i = 0; i < 50000; ++i) {
        std::wstring value = random.Value();
        int mode = random.Mode();
        ASSERT_EQ(Take(RFID_EncodeRaw_impl(value.c_str(), mode)), RefRaw(value, mode))
            << ::testing::PrintToString(value) << " mode " << mode;
    }
    for (int digits : {1, 2, 18, 19, 20, 21, 38, 39, 40, 57, 58, 77, 200, 1500, 5000}) {
        for (int i = 0; i < 20; ++i) {
            std::wstring value;
            for (int d = 0; d < digits; ++d)
                value += static_cast<wchar_t>(L'0' + random.Pick(10));
            ASSERT_EQ(Take(RFID_EncodeRaw_impl(value.c_str(), 2)), RefRaw(value, 2))
                << ::testing::PrintToString(value);
            std::wstring nines(digits, L'9');
            ASSERT_EQ(Take(RFID_EncodeRaw_impl(nines.c_str(), 2)), RefRaw(nines, 2));
        }
    }
}

TEST(Diff, CodePage) {
    EXPECT_EQ(GetACP(), 0u) << "informational";
}

}  // namespace
