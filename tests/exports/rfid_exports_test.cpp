// The exports as a host sees them: the DLL beside this program loaded with
// LoadLibrary, the functions found by their decorated names, every result freed
// with SysFreeString. (The DI_ exports run on a real printer through qvhost in
// the driver interface tests.)

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <thread>
#include <vector>

#include "quorvel_driver_utility.h"
#include "support/files.h"

namespace {

class RfidExports : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_module = LoadLibraryW((QvTest::ProgramFolder() + L"\\QuorvelDriverUtility.dll").c_str());
        if (s_module != nullptr) {
            s_encodeEpc = reinterpret_cast<QV_PFN_RFID_ENCODE_EPC>(
                GetProcAddress(s_module, QV_EXPORT_RFID_ENCODE_EPC));
            s_encodeRaw = reinterpret_cast<QV_PFN_RFID_ENCODE_RAW>(
                GetProcAddress(s_module, QV_EXPORT_RFID_ENCODE_RAW));
        }
    }

    static void TearDownTestSuite() {
        if (s_module != nullptr) {
            FreeLibrary(s_module);
            s_module = nullptr;
        }
    }

    void SetUp() override {
        ASSERT_NE(s_module, nullptr) << "QuorvelDriverUtility.dll beside the test program";
        ASSERT_NE(s_encodeEpc, nullptr);
        ASSERT_NE(s_encodeRaw, nullptr);
    }

    static std::wstring Epc(const wchar_t* values, const wchar_t* layout, int mode) {
        return QvTest::TakeBstr(s_encodeEpc(values, layout, mode));
    }
    static std::wstring Raw(const wchar_t* value, int mode) {
        return QvTest::TakeBstr(s_encodeRaw(value, mode));
    }

    static HMODULE s_module;
    static QV_PFN_RFID_ENCODE_EPC s_encodeEpc;
    static QV_PFN_RFID_ENCODE_RAW s_encodeRaw;
};

HMODULE RfidExports::s_module = nullptr;
QV_PFN_RFID_ENCODE_EPC RfidExports::s_encodeEpc = nullptr;
QV_PFN_RFID_ENCODE_RAW RfidExports::s_encodeRaw = nullptr;

// Every export under the name an MSVC-built host asks for (the decorations of
// the signatures, computed with clang++ --target=x86_64-pc-windows-msvc), the
// public header naming the same; the plain and implementation names hidden.
TEST_F(RfidExports, EveryExportIsFoundOnlyUnderItsDecoratedName) {
    struct Row {
        const char* header;
        const char* decorated;
        const char* plain;
    } rows[] = {
        {QV_EXPORT_DI_OPEN, "?DI_Open@@YAPEAUHDRIVERINTERFACE__@@PEAX@Z", "DI_Open"},
        {QV_EXPORT_DI_CLOSE, "?DI_Close@@YAXPEAUHDRIVERINTERFACE__@@@Z", "DI_Close"},
        {QV_EXPORT_DI_IS_COMMAND_SUPPORTED,
         "?DI_IsCommandSupported@@YA_NPEAUHDRIVERINTERFACE__@@H@Z", "DI_IsCommandSupported"},
        {QV_EXPORT_DI_IS_COMMAND_UI, "?DI_IsCommandUI@@YA_NPEAUHDRIVERINTERFACE__@@H@Z",
         "DI_IsCommandUI"},
        {QV_EXPORT_DI_COMMAND, "?DI_Command@@YAXPEAUHDRIVERINTERFACE__@@H@Z", "DI_Command"},
        {QV_EXPORT_DI_COMMAND_UI, "?DI_CommandUI@@YAXPEAUHDRIVERINTERFACE__@@PEAUHWND__@@H@Z",
         "DI_CommandUI"},
        {QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT,
         "?DI_GetPrinterStatusText@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z", "DI_GetPrinterStatusText"},
        {QV_EXPORT_DI_GET_PRINTER_STATUS_FLAGS,
         "?DI_GetPrinterStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z", "DI_GetPrinterStatusFlags"},
        {QV_EXPORT_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS,
         "?DI_GetPrinterExtendedStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z",
         "DI_GetPrinterExtendedStatusFlags"},
        {QV_EXPORT_DI_GET_PRINTER_DRIVER_VERSION,
         "?DI_GetPrinterDriverVersion@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z",
         "DI_GetPrinterDriverVersion"},
        {QV_EXPORT_DI_GET_PRINTER_DRIVER_DATE,
         "?DI_GetPrinterDriverDate@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z", "DI_GetPrinterDriverDate"},
        {QV_EXPORT_RFID_ENCODE_EPC, "?RFID_EncodeEPC@@YAPEA_WPEB_W0H@Z", "RFID_EncodeEPC"},
        {QV_EXPORT_RFID_ENCODE_RAW, "?RFID_EncodeRaw@@YAPEA_WPEB_WH@Z", "RFID_EncodeRaw"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.plain);
        EXPECT_STREQ(row.header, row.decorated);
        EXPECT_NE(GetProcAddress(s_module, row.decorated), nullptr);
        EXPECT_EQ(GetProcAddress(s_module, row.plain), nullptr);
        EXPECT_EQ(GetProcAddress(s_module, (std::string(row.plain) + "_impl").c_str()), nullptr);
    }
}

TEST_F(RfidExports, EncodeEpcGivesTheStandardsExamples) {
    // The worked examples of the GS1 EPC Tag Data Standard.
    EXPECT_EQ(Epc(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2),
              L"3074257BF7194E4000001A85");
    EXPECT_EQ(Epc(L"3;0614141;712345;32a/b", L"8#36;3;3#X;20:P1;44:P2;140#EASC7", 2),
              L"3674257BF6B7A659B2C2BF1000000000000000000000000000");
}

TEST_F(RfidExports, EncodeRawFollowsTheInputMode) {
    static const struct {
        const wchar_t* value;
        int mode;
        const wchar_t* expected;
    } kRows[] = {
        {L"abc", 1, L"0ABC"}, {L"255", 2, L"FF"},     {L"0", 2, L"(null)"}, {L"101", 3, L"05"},
        {L"AB", 0, L"4142"},  {L"xyz", 4, L"(null)"}, {L"xyz1", -1, L"01"}, {L"", 1, L"(null)"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(::testing::Message()
                     << ::testing::PrintToString(std::wstring(row.value)) << " mode " << row.mode);
        EXPECT_EQ(Raw(row.value, row.mode), row.expected);
    }
}

TEST_F(RfidExports, NullArgumentsCountAsEmptyText) {
    EXPECT_EQ(Epc(nullptr, L"8", 2), L"00");
    EXPECT_EQ(Epc(L"1", nullptr, 2), L"(null)");
    EXPECT_EQ(Epc(nullptr, nullptr, 0), L"(null)");
    EXPECT_EQ(Raw(nullptr, 0), L"(null)");
}

TEST_F(RfidExports, ResultsAreProperBstrs) {
    BSTR tag = s_encodeEpc(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(SysStringLen(tag), 24u);
    EXPECT_EQ(SysStringByteLen(tag), 48u);
    EXPECT_EQ(tag[24], L'\0');
    SysFreeString(tag);
}

TEST_F(RfidExports, TextModeUsesTheAnsiCodePage) {
    char byte = 0;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u00E9", 1, &byte, 1, nullptr, nullptr), 1);
    wchar_t expected[3];
    wsprintfW(expected, L"%02X", static_cast<unsigned char>(byte));
    EXPECT_EQ(Raw(L"\u00E9", 0), expected);
    EXPECT_EQ(Epc(L"\u00E9", L"8#A", 1), expected);
}

TEST_F(RfidExports, OversizedLayoutsGiveNull) {
    EXPECT_EQ(Epc(L"1", L"65537", 2), L"(null)");
    EXPECT_EQ(Epc(L"1", L"2147483647#EASC7", 2), L"(null)");
    // A long value: 4096 binary digits, a 1 and then zeros, are 1024 digits 8000...
    std::wstring binary = L"1" + std::wstring(4095, L'0');
    EXPECT_EQ(Raw(binary.c_str(), 3), L"8" + std::wstring(1023, L'0'));
}

TEST_F(RfidExports, RunOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (unsigned n = 1; n <= 3000; ++n) {
                unsigned number = n * 7919u + static_cast<unsigned>(t);
                wchar_t decimal[16];
                wchar_t hex[16];
                wsprintfW(decimal, L"%u", number);
                wsprintfW(hex, L"%X", number);  // the system's own hexadecimal
                if (Raw(decimal, 2) != hex ||
                    Epc(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2) !=
                        L"3074257BF7194E4000001A85") {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
