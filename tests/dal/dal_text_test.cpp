#include "dal/dal_text.h"

#include <gtest/gtest.h>

#include "dal/dal_module.h"

namespace {

TEST(DalText, PipeNameTakesTheAddressBytesInMemoryOrder) {
    struct Row {
        uint64_t address;
        const char* suffix;
        const char* note;
    };
    const Row rows[] = {
        {0x0123456789ABCDEF, "EFCDAB8967452301", "bytes 01..EF most significant first"},
        {0xFF, "FF00000000000000", "the low byte comes first"},
        {0, "0000000000000000", "all 16 digits are kept"},
        {0x00007FF6A0B1C2D0, "D0C2B1A0F67F0000", "a typical user-mode address"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(DalProxyPipeName(row.address).GetNarrow(),
                     (std::string("\\\\.\\pipe\\Quorvel-DriverDLLProxy-") + row.suffix).c_str());
    }
}

// The plain cases run against printer data in the Wine tests.
TEST(DalText, ModuleFileNameKeepsTheFilePartAndNamesTheClassicTwin) {
    struct Row {
        const wchar_t* value;
        bool classic;
        const wchar_t* expected;
        const char* note;
    };
    const Row rows[] = {
        {L"\\\\srv\\share\\x\\Dal.dll", true, L"Dal.d64", "a UNC path too"},
        {L"C:\\Pkg\\XyzDal.dll", false, L"XyzDal.dll", "package: only the file part"},
        {L"a.dll.dllx", true, L"a.d64.d64x", "every occurrence"},
        {L"folder\\", true, L"", "nothing after the last backslash"},
        {L"", true, L"", "empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(DalModuleFileName(OString(row.value), row.classic).GetWide(), row.expected);
    }
}

TEST(DalText, VersionsPackFourSixteenBitParts) {
    struct Row {
        const char* text;
        uint64_t expected;
        const char* note;
    };
    const Row rows[] = {
        {"7.2.3.0", 0x0007000200030000, "the proxy threshold"},
        {"7.2.2.65535", 0x000700020002FFFF, "just below it"},
        {"7.2", 0x0007000200000000, "missing parts are 0"},
        {"1.2.3.4.5", 0x0001000200030004, "at most four parts"},
        {"65537.1.0.0", 0x0001000100000000, "16 bits per part (65537 = 0x10001)"},
        {"7a.2b", 0x0007000200000000, "leading digits of each part; empty is 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(DalVersionFromText(row.text), row.expected);
    }
    // VS_FIXEDFILEINFO words of 7.2.3.0: MS = 7 << 16 | 2, LS = 3 << 16 | 0.
    EXPECT_EQ(DalVersionFromWords(0x00070002, 0x00030000),
              DalVersionFromText(kDalProxyMinimumVersion));
    EXPECT_EQ(DriverDLLProxy::kProxyMinimumVersion, DalVersionFromText(kDalProxyMinimumVersion));
}

TEST(DalText, CommandLineAndFailureLines) {
    EXPECT_STREQ(
        DalProxyCommandLine(OString(L"C:\\dir a\\X.d64"), OString(L"\\\\.\\pipe\\p")).GetWide(),
        L"RunDLL32.exe \"C:\\dir a\\X.d64\",DAL_Proxy \\\\.\\pipe\\p");
    EXPECT_STREQ(DalPipeFailureText(true, 8, 0, 232).GetNarrow(),
                 "DriverDLLProxy::PutPipeData() failed: bytesToWrite=8;bytesWritten=0;"
                 "GetLastError()=232");
    EXPECT_STREQ(DalPipeFailureText(false, 8, 3, -5).GetNarrow(),
                 "DriverDLLProxy::GetPipeData() failed: bytesToRead=8;bytesRead=3;"
                 "GetLastError()=-5");
}

}  // namespace
