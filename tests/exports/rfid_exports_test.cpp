// The RFID_ exports as a host sees them: the DLL beside this program loaded
// with LoadLibrary, the functions found by their decorated names, every result
// freed with SysFreeString. (That the export table holds those names and no
// others, tests/rfid/check_host_linking.sh checks.) Running on many threads is
// in the load and free rounds of the lifetime test.

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <string>

#include "quorvel_driver_utility.h"
#include "support/files.h"

namespace {

FARPROC Export(const char* name) {
    static HMODULE module =
        LoadLibraryW((QvTest::ProgramFolder() + L"\\QuorvelDriverUtility.dll").c_str());
    return GetProcAddress(module, name);
}

// The digits of the text's bytes in the ANSI code page, as the system converts.
std::wstring AnsiHex(const wchar_t* text) {
    char bytes[16] = {};
    int count = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
    std::wstring hex;
    for (int i = 0; i + 1 < count; ++i) {
        wchar_t digits[3];
        wsprintfW(digits, L"%02X", static_cast<unsigned char>(bytes[i]));
        hex += digits;
    }
    return hex;
}

// The shell's own duties: null arguments as empty text, an empty or refused
// result as null with its reason in the last error (0 with a result), and
// text beyond ASCII as the bytes of the ANSI code page.
TEST(RfidExports, EncodeEpc) {
    const struct {
        const wchar_t* values;
        const wchar_t* layout;
        int mode;
        std::wstring expected;
        const char* note;
        DWORD error = ERROR_SUCCESS;
    } rows[] = {
        {L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2, L"3074257BF7194E4000001A85",
         "the tag data standard's SGTIN-96 example"},
        {nullptr, L"8", 2, L"00", "null values"},
        {L"1", nullptr, 2, L"(null)", "null layout", ERROR_INVALID_PARAMETER},
        {L"1", L"65537", 2, L"(null)", "too wide: no result", ERROR_INVALID_PARAMETER},
        {L"1", L"x;0", 2, L"(null)", "no bits", ERROR_INVALID_PARAMETER},
        {L"\u00E9", L"8#A", 1, AnsiHex(L"\u00E9"), "text field"},
        {L"1", L"8:\u4E00A;4", 2, L"0A10", "in a literal the bytes are no digit, the A is"},
    };
    auto encode = reinterpret_cast<QV_PFN_RFID_ENCODE_EPC>(Export(QV_EXPORT_RFID_ENCODE_EPC));
    ASSERT_NE(encode, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        SetLastError(ERROR_GEN_FAILURE);
        BSTR result = encode(row.values, row.layout, row.mode);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(QvTest::TakeBstr(result), row.expected);
    }
}

TEST(RfidExports, EncodeRaw) {
    const struct {
        const wchar_t* value;
        int mode;
        std::wstring expected;
        const char* note;
        DWORD error = ERROR_INVALID_DATA;
    } rows[] = {
        {L"0", 2, L"(null)", "zero has no digits"},
        {nullptr, 0, L"(null)", "null value"},
        {L"\u00E9\u20AC\u4E00", 0, AnsiHex(L"\u00E9\u20AC\u4E00"), "e acute, euro, CJK",
         ERROR_SUCCESS},
        {L"\u0141\u0131", 1, L"(null)", "no digit: the units are not cut to A and 1"},
    };
    auto encode = reinterpret_cast<QV_PFN_RFID_ENCODE_RAW>(Export(QV_EXPORT_RFID_ENCODE_RAW));
    ASSERT_NE(encode, nullptr);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        SetLastError(ERROR_GEN_FAILURE);
        BSTR result = encode(row.value, row.mode);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(QvTest::TakeBstr(result), row.expected);
    }
}

// The exports by name: the shell's result and last error for each kind of
// input; the names themselves are tested on the catalogue.
TEST(RfidExports, ByName) {
    const auto encodeUri =
        reinterpret_cast<QV_PFN_QVRFID_ENCODE_TAG_URI>(Export("QVRFID_EncodeTagURI"));
    const auto toTagUri =
        reinterpret_cast<QV_PFN_QVRFID_DECODE_TO_TAG_URI>(Export("QVRFID_DecodeToTagURI"));
    const auto toIdUri =
        reinterpret_cast<QV_PFN_QVRFID_DECODE_TO_ID_URI>(Export("QVRFID_DecodeToIdURI"));
    const auto encodeElement =
        reinterpret_cast<QV_PFN_QVRFID_ENCODE_ELEMENT_STRING>(Export("QVRFID_EncodeElementString"));
    const auto toElement = reinterpret_cast<QV_PFN_QVRFID_DECODE_TO_ELEMENT_STRING>(
        Export("QVRFID_DecodeToElementString"));
    ASSERT_TRUE(encodeUri && toTagUri && toIdUri && encodeElement && toElement);
    const wchar_t* tag = L"3074257BF7194E4000001A85";
    const struct {
        std::function<BSTR()> call;
        std::wstring expected;
        DWORD error;
    } rows[] = {
        {[&] { return encodeUri(L"urn:epc:tag:sgtin-96:3.0614141.812345.6789"); }, tag, 0},
        {[&] { return toTagUri(tag); }, L"urn:epc:tag:sgtin-96:3.0614141.812345.6789", 0},
        {[&] { return toIdUri(tag); }, L"urn:epc:id:sgtin:0614141.812345.6789", 0},
        {[&] { return encodeElement(L"sgtin-96", 3, 7, L"(01)80614141123458(21)6789"); }, tag, 0},
        {[&] { return toElement(tag); }, L"(01)80614141123458(21)6789", 0},
        {[&] { return encodeUri(nullptr); }, L"(null)", ERROR_INVALID_PARAMETER},
        {[&] { return toTagUri(L""); }, L"(null)", ERROR_INVALID_PARAMETER},
        {[&] { return encodeUri(L"urn:epc:tag:sgtin-96:3.0614141.812345.274877906944"); },
         L"(null)", ERROR_INVALID_DATA},
        {[&] { return encodeElement(L"sgtin-96", 3, 7, L"(01)80614141123457(21)6789"); }, L"(null)",
         ERROR_INVALID_DATA},
        {[&] { return encodeElement(nullptr, 3, 7, L"(01)80614141123458(21)6789"); }, L"(null)",
         ERROR_NOT_SUPPORTED},
        {[&] { return toIdUri(L"FF74257BF7194E4000001A85"); }, L"(null)", ERROR_NOT_SUPPORTED},
        {[&] { return toTagUri(L"307C257BF7194E4000001A85"); }, L"(null)", ERROR_INVALID_DATA},
        {[&] { return toElement(L"350007AB70425D4000000586"); }, L"(null)", ERROR_NOT_SUPPORTED},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(index++);
        SetLastError(ERROR_GEN_FAILURE);
        BSTR result = row.call();
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(QvTest::TakeBstr(result), row.expected);
    }
}

}  // namespace
