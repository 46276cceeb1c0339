#include "printer/printing_contexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "pattern_203.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"

using PrinterTests::kPatternAt203;
using QvTest::WinePrinter;

namespace {

struct Fill {
    int left, top, width, height;
};

// The filled rectangles in the PostScript that Wine's driver wrote. Its
// PatBlt path draws each one in device pixels as
//   <left> <top> moveto / <width> 0 rlineto / 0 <height> rlineto / ... fill
// under a page transform that scales device pixels to points.
std::vector<Fill> FillsIn(const std::string& postscript) {
    static const std::regex kRect(
        R"((-?\d+) (-?\d+) moveto\r?\n(-?\d+) 0 rlineto\r?\n0 (-?\d+) rlineto)");
    std::vector<Fill> fills;
    for (std::sregex_iterator it(postscript.begin(), postscript.end(), kRect), end; it != end;
         ++it) {
        fills.push_back(
            {std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]), std::stoi((*it)[4])});
    }
    return fills;
}

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// The driver's private escapes as a label driver would answer them.
struct FakeDriver {
    static inline int capabilitySize = 16;
    static inline uint8_t capabilityByte10 = 0x01;
    static inline std::vector<std::vector<uint8_t>> lines;

    static int WINAPI ExtEscape(HDC dc, int escape, int inSize, LPCSTR in, int outSize, LPSTR out) {
        if (escape == kCapabilityEscape) {
            if (out == nullptr || outSize == 0) {
                return capabilitySize;
            }
            std::memset(out, 0, static_cast<size_t>(outSize));
            if (outSize > 10 && capabilitySize > 10) {
                out[10] = static_cast<char>(capabilityByte10);
            }
            return capabilitySize;
        }
        if (escape == kLineEscape) {
            lines.emplace_back(reinterpret_cast<const uint8_t*>(in),
                               reinterpret_cast<const uint8_t*>(in) + inSize);
            return 1;
        }
        return ::ExtEscape(dc, escape, inSize, in, outSize, out);
    }
};

class PrintingContextWine : public ::testing::Test {
protected:
    void UseFakeDriver(int capabilitySize, uint8_t byte10) {
        FakeDriver::capabilitySize = capabilitySize;
        FakeDriver::capabilityByte10 = byte10;
        FakeDriver::lines.clear();
        PrintingContextApi api;
        api.extEscape = &FakeDriver::ExtEscape;
        m_api.reset();  // restore before installing again: overrides nest
        m_api = std::make_unique<ScopedPrintingContextApi>(api);
    }
    std::unique_ptr<ScopedPrintingContextApi> m_api;
};

WinePrinter::Options At(int dpi) {
    WinePrinter::Options options;
    options.dpi = dpi;
    return options;
}

TEST_F(PrintingContextWine, TestContextReadsTheResolutionAndWineHasNoLineEscape) {
    WinePrinter at203(L"dpi203", At(203));
    WinePrinter plain(L"dpi300");
    if (!at203.Ok() || !plain.Ok()) {
        GTEST_SKIP() << "no Wine printer";
    }
    PrinterTestContext label(OString(at203.Name().c_str()));
    ASSERT_TRUE(label.HasContext());
    EXPECT_EQ(label.GetHorizontalResolution(), 203);
    EXPECT_EQ(label.GetVerticalResolution(), 203);
    EXPECT_FALSE(label.IsLineEscapeSupported()) << "Wine's driver answers 0 to escape 11002";

    PrinterTestContext standard(OString(plain.Name().c_str()));
    ASSERT_TRUE(standard.HasContext());
    EXPECT_EQ(standard.GetHorizontalResolution(), 300) << "wineps.drv as data file: Wine's default";
}

TEST_F(PrintingContextWine, CapabilityBlockDecidesTheLineEscape) {
    WinePrinter printer(L"capability", At(203));
    QV_SKIP_WITHOUT_PRINTER(printer);
    struct Row {
        int size;
        uint8_t byte10;
        bool supported;
        const char* note;
    } rows[] = {
        {0, 0x01, false, "no answer"},
        {10, 0x01, false, "a block too short to hold byte 10"},
        {11, 0x01, true, "exactly 11 bytes, bit 0 set"},
        {11, 0x02, false, "another bit of byte 10"},
        {64, 0xFF, true, "a longer block"},
        {-1, 0x01, false, "an escape failure"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        UseFakeDriver(row.size, row.byte10);
        PrinterTestContext context(OString(printer.Name().c_str()));
        ASSERT_TRUE(context.HasContext());
        EXPECT_EQ(context.IsLineEscapeSupported(), row.supported);
    }
}

TEST_F(PrintingContextWine, TestAndEmptyPagesAreDrawnWithPatBltAt203Dpi) {
    WinePrinter printer(L"patblt", At(203));
    QV_SKIP_WITHOUT_PRINTER(printer);
    for (bool pattern : {true, false}) {
        SCOPED_TRACE(pattern ? "test page" : "empty page");
        printer.ClearOutput();
        PrintTestPage(OString(printer.Name().c_str()), pattern);
        std::string output = printer.ReadOutput();
        ASSERT_FALSE(output.empty()) << "nothing reached the file port";
        EXPECT_NE(output.find("%%Title: Printer Test"), std::string::npos);
        EXPECT_EQ(Count(output, "%%Page:"), 1);
        std::vector<Fill> fills = FillsIn(output);
        ASSERT_EQ(fills.size(), pattern ? 21u : 0u);
        for (size_t i = 0; i < fills.size(); ++i) {
            SCOPED_TRACE("rectangle " + std::to_string(i + 1));
            const DeviceRect& want = kPatternAt203[i].device;
            EXPECT_EQ(fills[i].left, want.left);
            EXPECT_EQ(fills[i].top, want.top);
            EXPECT_EQ(fills[i].width, want.right - want.left);
            EXPECT_EQ(fills[i].height, want.bottom - want.top);
        }
    }
}

TEST_F(PrintingContextWine, TestPageIsDrawnWithTheLineEscapeWhenTheDriverHasIt) {
    WinePrinter printer(L"escape", At(203));
    QV_SKIP_WITHOUT_PRINTER(printer);
    UseFakeDriver(16, 0x01);
    PrintTestPage(OString(printer.Name().c_str()), true);

    ASSERT_EQ(FakeDriver::lines.size(), 21u);
    for (size_t i = 0; i < FakeDriver::lines.size(); ++i) {
        SCOPED_TRACE("rectangle " + std::to_string(i + 1));
        // The hand-worked line, in the byte layout LineRecord.Encode is held to
        // by the unit tests.
        auto want = kPatternAt203[i].line.Encode();
        EXPECT_EQ(FakeDriver::lines[i], std::vector<uint8_t>(want.begin(), want.end()));
    }
    std::string output = printer.ReadOutput();
    EXPECT_EQ(Count(output, "%%Page:"), 1) << "the page is still printed";
    EXPECT_TRUE(FillsIn(output).empty()) << "no GDI fill besides the escape";
}

// What reached the debugger and the event log while a test ran.
struct Captured {
    static inline std::vector<std::wstring> debug;
    static inline std::vector<std::pair<WORD, std::wstring>> events;

    static LONG CALLBACK Vectored(EXCEPTION_POINTERS* pointers) {
        // OutputDebugStringW raises one of these with the length and the text
        // (Wine passes the text on in its narrow form).
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */) {
            debug.emplace_back(reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]));
        } else if (record->ExceptionCode == 0x40010006 /* DBG_PRINTEXCEPTION_C */) {
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            debug.emplace_back(text, text + std::strlen(text));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static void WINAPI NoDebugOutput(LPCWSTR) {}
    static HANDLE WINAPI Register(LPCWSTR, LPCWSTR) { return reinterpret_cast<HANDLE>(0x1234); }
    static BOOL WINAPI Deregister(HANDLE) { return TRUE; }
    static BOOL WINAPI Report(HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD,
                              LPCWSTR* strings, LPVOID) {
        events.emplace_back(type, count > 0 ? strings[0] : L"");
        return TRUE;
    }
};

TEST_F(PrintingContextWine, MissingPrinterPrintsNothingAndReportsTheFailure) {
    ScratchRegistryKey masks;
    ASSERT_TRUE(masks.IsValid());
    std::wstring maskRoot = masks.Path() + L"\\";
    OEventLogSystem system;
    system.outputDebugString = &Captured::NoDebugOutput;
    system.registerEventSource = &Captured::Register;
    system.deregisterEventSource = &Captured::Deregister;
    system.reportEvent = &Captured::Report;
    system.maskRoot = maskRoot.c_str();
    OEventLogSystemOverride logOverride(system);
    Captured::debug.clear();
    Captured::events.clear();

    std::wstring name = WinePrinter::UniqueName(L"absent");
    ::SetLastError(0xDEADBEEF);
    HDC direct = ::CreateDCW(L"WINSPOOL", name.c_str(), nullptr, nullptr);
    DWORD expectedError = ::GetLastError();
    ASSERT_EQ(direct, nullptr);

    PVOID handler = ::AddVectoredExceptionHandler(1, &Captured::Vectored);
    PrinterTestContext context{OString(name.c_str())};
    PrintTestPage(OString(name.c_str()), true);
    ::RemoveVectoredExceptionHandler(handler);

    EXPECT_FALSE(context.HasContext());
    EXPECT_EQ(context.GetHorizontalResolution(), 0);
    EXPECT_FALSE(context.IsLineEscapeSupported());

    std::wstring debugLine = L"DrawContext::CreateDC failed with GetLastError = " +
                             std::to_wstring(expectedError) + L"\n";
    EXPECT_EQ(std::count(Captured::debug.begin(), Captured::debug.end(), debugLine), 2)
        << "once for the context, once for the test page";
    std::wstring logged = L"DrawContext::Create: CreateDC failed on printer " + name +
                          L".  GetLastError = " + std::to_wstring(expectedError);
    ASSERT_EQ(Captured::events.size(), 2u);
    for (const auto& event : Captured::events) {
        EXPECT_EQ(event.first, EVENTLOG_ERROR_TYPE);
        EXPECT_NE(event.second.find(logged), std::wstring::npos)
            << std::string(event.second.begin(), event.second.end());
    }
}

}  // namespace
