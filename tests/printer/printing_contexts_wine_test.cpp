#include "printer/printing_contexts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

struct Fill {
    int left, top, width, height;
};

// The filled rectangles, in device pixels, of the PostScript Wine's driver wrote.
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

bool OnePage(const std::string& postscript) {
    size_t first = postscript.find("%%Page:");
    return first != std::string::npos && first == postscript.rfind("%%Page:");
}

// A label driver's private escapes; document and page calls logged by name and
// refused when a row says so.
struct FakeDriver {
    static inline int capabilitySize = 16;
    static inline uint8_t capabilityByte10 = 0x01;
    static inline std::string refused;
    static inline std::string calls;
    static inline std::vector<std::vector<uint8_t>> lines;
    static int WINAPI ExtEscape(HDC dc, int escape, int inSize, LPCSTR in, int outSize, LPSTR out) {
        if (escape == kCapabilityEscape) {
            if (out != nullptr && outSize != 0) {
                std::memset(out, 0, static_cast<size_t>(outSize));
                if (outSize > 10 && capabilitySize > 10) {
                    out[10] = static_cast<char>(capabilityByte10);
                }
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
    static bool Pass(const char* name) {
        calls += calls.empty() ? name : std::string(" ") + name;
        return refused != name;
    }
    static int WINAPI StartDoc(HDC dc, const DOCINFOW* info) {
        return Pass("StartDoc") ? ::StartDocW(dc, info) : SP_ERROR;
    }
    static int WINAPI StartPage(HDC dc) { return Pass("StartPage") ? ::StartPage(dc) : SP_ERROR; }
    static int WINAPI EndPage(HDC dc) { return Pass("EndPage") ? ::EndPage(dc) : SP_ERROR; }
    static int WINAPI EndDoc(HDC dc) { return Pass("EndDoc") ? ::EndDoc(dc) : SP_ERROR; }
};

class PrintingContextWine : public ::testing::Test {
protected:
    void SetUp() override {
        WinePrinter::Options options;
        options.dpi = 203;
        m_printer = std::make_unique<WinePrinter>(L"dpi203", options);
    }
    // Installs the fake driver; capabilitySize 0 leaves Wine's escapes.
    void UseFakeDriver(int capabilitySize, uint8_t byte10, const char* refused = "") {
        FakeDriver::capabilitySize = capabilitySize;
        FakeDriver::capabilityByte10 = byte10;
        FakeDriver::refused = refused;
        FakeDriver::calls.clear();
        FakeDriver::lines.clear();
        PrintingContextApi api;
        if (capabilitySize != 0) {
            api.extEscape = &FakeDriver::ExtEscape;
        }
        api.startDoc = &FakeDriver::StartDoc;
        api.startPage = &FakeDriver::StartPage;
        api.endPage = &FakeDriver::EndPage;
        api.endDoc = &FakeDriver::EndDoc;
        m_api.reset();  // restore before installing again: overrides nest
        m_api = std::make_unique<ScopedPrintingContextApi>(api);
    }
    OString Name() const { return OString(m_printer->Name().c_str()); }
    std::unique_ptr<WinePrinter> m_printer;
    std::unique_ptr<ScopedPrintingContextApi> m_api;
};

TEST_F(PrintingContextWine, ResolutionAndCapabilityBlockDecideTheDrawing) {
    QV_SKIP_WITHOUT_PRINTER(*m_printer);
    PrinterTestContext wine(Name());
    ASSERT_TRUE(wine.HasContext());
    EXPECT_EQ(wine.GetHorizontalResolution(), 203);
    EXPECT_EQ(wine.GetVerticalResolution(), 203);
    EXPECT_FALSE(wine.IsLineEscapeSupported()) << "Wine's driver answers 0 to escape 11002";
    struct Row {
        int size;
        uint8_t byte10;
        bool supported;
        const char* note;
    } rows[] = {
        {10, 0x01, false, "a block too short to hold byte 10"},
        {11, 0x01, true, "exactly 11 bytes, bit 0 set"},
        {11, 0x02, false, "another bit of byte 10"},
        {-1, 0x01, false, "an escape failure"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        UseFakeDriver(row.size, row.byte10);
        EXPECT_EQ(PrinterTestContext(Name()).IsLineEscapeSupported(), row.supported);
    }
}

// The pattern is drawn with PatBlt without the line escape, else with the
// escape alone, each rectangle where the unit-tested mapping puts it.
TEST_F(PrintingContextWine, PagesAreDrawnWithPatBltOrTheLineEscape) {
    QV_SKIP_WITHOUT_PRINTER(*m_printer);
    for (int escape : {0, 16}) {
        for (bool pattern : {true, false}) {
            SCOPED_TRACE(std::string(pattern ? "test page" : "empty page") +
                         (escape != 0 ? " with the line escape" : " with PatBlt"));
            UseFakeDriver(escape, 0x01);
            m_printer->ClearOutput();
            EXPECT_TRUE(PrintTestPage(Name(), pattern));
            std::string output = m_printer->ReadOutput();
            EXPECT_NE(output.find("%%Title: Printer Test"), std::string::npos);
            EXPECT_TRUE(OnePage(output));
            std::vector<Fill> fills = FillsIn(output);
            size_t drawn = pattern ? kTestPattern.size() : 0;
            ASSERT_EQ(fills.size(), escape != 0 ? 0 : drawn);
            ASSERT_EQ(FakeDriver::lines.size(), escape != 0 ? drawn : 0);
            for (size_t i = 0; i < drawn; ++i) {
                SCOPED_TRACE("rectangle " + std::to_string(i + 1));
                const PatternRect& p = kTestPattern[i];
                DeviceRect want = ToDevicePixels(p.x1, p.y1, p.x2, p.y2, 203, 203);
                if (escape != 0) {
                    auto line = LineForRect(want).Encode();
                    EXPECT_EQ(FakeDriver::lines[i], std::vector<uint8_t>(line.begin(), line.end()));
                } else {
                    EXPECT_EQ(fills[i].left, want.left);
                    EXPECT_EQ(fills[i].top, want.top);
                    EXPECT_EQ(fills[i].width, want.right - want.left);
                    EXPECT_EQ(fills[i].height, want.bottom - want.top);
                }
            }
        }
    }
}

TEST_F(PrintingContextWine, NothingIsEndedThatWasNotStarted) {
    QV_SKIP_WITHOUT_PRINTER(*m_printer);
    struct Row {
        const char* refused;
        bool printed;
        const char* calls;
    } rows[] = {
        {"", true, "StartDoc StartPage EndPage EndDoc"},
        {"StartDoc", false, "StartDoc"},
        {"StartPage", false, "StartDoc StartPage EndDoc"},
        {"EndPage", false, "StartDoc StartPage EndPage EndDoc"},
        {"EndDoc", false, "StartDoc StartPage EndPage EndDoc"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("refused: ") + row.refused);
        UseFakeDriver(0, 0, row.refused);
        EXPECT_EQ(PrintTestPage(Name(), true), row.printed);
        EXPECT_EQ(FakeDriver::calls, row.calls);
    }
}

// What reached the event log while a test ran.
struct Captured {
    static inline std::vector<std::pair<WORD, std::wstring>> events;
    static void WINAPI NoDebugOutput(LPCWSTR) {}
    static HANDLE WINAPI Register(LPCWSTR, LPCWSTR) { return reinterpret_cast<HANDLE>(0x1234); }
    static BOOL WINAPI Deregister(HANDLE) { return TRUE; }
    static BOOL WINAPI Report(HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD,
                              LPCWSTR* strings, LPVOID) {
        events.emplace_back(type, count > 0 ? strings[0] : L"");
        return TRUE;
    }
};

TEST(PrintingContextMissingPrinter, PrintsNothingAndReportsTheFailure) {
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
    Captured::events.clear();
    std::wstring name = WinePrinter::UniqueName(L"absent");
    ::SetLastError(0xDEADBEEF);
    ASSERT_EQ(::CreateDCW(L"WINSPOOL", name.c_str(), nullptr, nullptr), nullptr);
    DWORD expectedError = ::GetLastError();
    PrinterTestContext context{OString(name.c_str())};
    EXPECT_FALSE(PrintTestPage(OString(name.c_str()), true));
    EXPECT_FALSE(context.HasContext());
    EXPECT_EQ(context.GetHorizontalResolution(), 0);
    EXPECT_FALSE(context.IsLineEscapeSupported());
    std::wstring logged = L"DrawContext::Create: CreateDC failed on printer " + name +
                          L".  GetLastError = " + std::to_wstring(expectedError);
    ASSERT_EQ(Captured::events.size(), 2u) << "once for the context, once for the test page";
    for (const auto& event : Captured::events) {
        EXPECT_EQ(event.first, EVENTLOG_ERROR_TYPE);
        EXPECT_NE(event.second.find(logged), std::wstring::npos)
            << std::string(event.second.begin(), event.second.end());
    }
}

}  // namespace
