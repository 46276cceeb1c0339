#include "dal/dal_text.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dal/dal_module.h"

namespace {

TEST(DalText, PipeNameTakesTheAddressBytesInMemoryOrder) {
    const std::tuple<uint64_t, const char*, const char*> rows[] = {
        {0x0123456789ABCDEF, "EFCDAB8967452301-00001A2B-00000007",
         "bytes 01..EF most significant first"},
        {0xFF, "FF00000000000000-00001A2B-00000007", "the low byte comes first"},
    };
    for (const auto& [address, suffix, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(DalProxyPipeName(address, 0x1A2B, 7).GetNarrow(),
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

// A 64-bit image of one section whose export name table has count entries,
// every one pointing at the same name.
std::vector<uint8_t> ImageWithOneName(uint32_t count, const std::string& name) {
    const uint32_t raw = 0x200, names = raw + 0x40, text = names + 4 * count;
    std::vector<uint8_t> file(text + name.size() + 1, 0);
    auto put = [&](size_t at, uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            file[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    const auto rva = [&](uint32_t offset) { return offset - raw + 0x1000; };
    put(0, 0x5A4D, 2), put(0x3C, 0x40, 4), put(0x40, 0x4550, 4);
    put(0x46, 1, 2), put(0x54, 0xF0, 2), put(0x58, 0x20B, 2);  // one section, PE32+
    put(0xC4, 16, 4), put(0xC8, 0x1000, 4);                    // directories, exports
    put(0x148 + 12, 0x1000, 4), put(0x148 + 16, static_cast<uint32_t>(file.size()) - raw, 4);
    put(0x148 + 20, raw, 4);
    put(raw + 24, count, 4), put(raw + 32, rva(names), 4);
    for (uint32_t i = 0; i < count; ++i) {
        put(names + 4 * i, rva(text), 4);
    }
    std::copy(name.begin(), name.end(), file.begin() + text);
    return file;
}

// A name table that points every entry at one long name is read in place: the
// result holds each wanted name once, whatever the table's size.
TEST(DalText, ExportNamesAreComparedWhereTheyLie) {
    const char* const wanted[] = {"DAL_Printer_Close", "DAL_Printer_Action"};
    const std::tuple<uint32_t, std::string, bool, std::vector<std::string>> rows[] = {
        {60000, std::string(511, 'A'), true, {}},
        {60000, "DAL_Printer_Close", true, {"DAL_Printer_Close"}},
        {3, std::string(512, 'A'), false, {}},
        {kDalMaxExportNames + 1, "DAL_Printer_Close", false, {}},
    };
    for (const auto& [count, name, ok, expected] : rows) {
        SCOPED_TRACE(count);
        std::vector<std::string> names;
        EXPECT_EQ(DalImageExportNames(ImageWithOneName(count, name), wanted, names), ok);
        if (ok) {
            EXPECT_EQ(names, expected);
        }
    }
}

}  // namespace
