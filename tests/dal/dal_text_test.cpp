#include "dal/dal_text.h"

#include <gtest/gtest.h>

#include <tuple>

#include "dal/dal_module.h"

namespace {

TEST(DalText, PipeNameTakesTheAddressBytesInMemoryOrder) {
    const std::tuple<uint64_t, const char*, const char*> rows[] = {
        {0x0123456789ABCDEF, "EFCDAB8967452301", "bytes 01..EF most significant first"},
        {0xFF, "FF00000000000000", "the low byte comes first"},
    };
    for (const auto& [address, suffix, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(DalProxyPipeName(address).GetNarrow(),
                     (std::string("\\\\.\\pipe\\Quorvel-DriverDLLProxy-") + suffix).c_str());
    }
}

TEST(DalText, ModuleFileNameKeepsTheFilePartAndNamesTheClassicTwin) {
    const std::tuple<const wchar_t*, bool, const wchar_t*, const char*> rows[] = {
        {L"\\\\srv\\share\\x\\Dal.dll", true, L"Dal.d64", "a UNC path too"},
        {L"C:\\Pkg\\XyzDal.dll", false, L"XyzDal.dll", "package: only the file part"},
        {L"a.dll.dllx", true, L"a.d64.d64x", "every occurrence"},
        {L"folder\\", true, L"", "nothing after the last backslash"},
    };
    for (const auto& [value, classic, expected, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(DalModuleFileName(OString(value), classic).GetWide(), expected);
    }
}

TEST(DalText, VersionsPackFourSixteenBitParts) {
    const std::tuple<const char*, uint64_t, const char*> rows[] = {
        {"7.2.3.0", 0x0007000200030000, "the proxy threshold"},
        {"7.2.2.65535", 0x000700020002FFFF, "just below it"},
        {"7.2", 0x0007000200000000, "missing parts are 0"},
        {"1.2.3.4.5", 0x0001000200030004, "at most four parts"},
        {"65537.1.0.0", 0x0001000100000000, "16 bits per part (65537 = 0x10001)"},
        {"7a.2b", 0x0007000200000000, "leading digits of each part; empty is 0"},
    };
    for (const auto& [text, expected, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_EQ(DalVersionFromText(text), expected);
    }
    // VS_FIXEDFILEINFO words of 7.2.3.0: MS = 7 << 16 | 2, LS = 3 << 16 | 0.
    EXPECT_EQ(DalVersionFromWords(0x00070002, 0x00030000),
              DalVersionFromText(kDalProxyMinimumVersion));
    EXPECT_EQ(DriverDLLProxy::kProxyMinimumVersion, DalVersionFromText(kDalProxyMinimumVersion));
}

TEST(DalText, RunDll32IsNamedByItsFullPathInTheNativeSystemFolder) {
    const std::tuple<const wchar_t*, const wchar_t*, bool, const wchar_t*, const char*> rows[] = {
        {L"C:\\windows\\system32", L"C:\\windows", false, L"C:\\windows\\system32\\rundll32.exe",
         "a native process: its own system folder"},
        {L"C:\\windows\\SysWOW64", L"C:\\windows", true, L"C:\\windows\\Sysnative\\rundll32.exe",
         "WOW64: system32 would redirect to the 32-bit folder"},
        {L"D:\\", L"D:\\", true, L"D:\\Sysnative\\rundll32.exe", "a root keeps one backslash"},
    };
    for (const auto& [system, windows, wow64, expected, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(DalRunDll32Path(OString(system), OString(windows), wow64).GetWide(), expected);
    }
}

TEST(DalText, CommandLineAndFailureLines) {
    EXPECT_STREQ(
        DalProxyCommandLine(OString(L"C:\\w\\system32\\rundll32.exe"), OString(L"C:\\dir a\\X.d64"),
                            OString(L"\\\\.\\pipe\\p"))
            .GetWide(),
        L"\"C:\\w\\system32\\rundll32.exe\" \"C:\\dir a\\X.d64\",DAL_Proxy \\\\.\\pipe\\p");
    EXPECT_STREQ(DalPipeFailureText(true, 8, 0, 232).GetNarrow(),
                 "DriverDLLProxy::PutPipeData() failed: bytesToWrite=8;bytesWritten=0;"
                 "GetLastError()=232");
    EXPECT_STREQ(DalPipeFailureText(false, 8, 3, -5).GetNarrow(),
                 "DriverDLLProxy::GetPipeData() failed: bytesToRead=8;bytesRead=3;"
                 "GetLastError()=-5");
}

}  // namespace
