#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "core/handles.h"
#include "core/ostring.h"
#include "core/seam.h"

// The driver escapes the test page uses, and the calls that open and close its
// document and page. The escapes are private to the printer driver (Wine's
// driver answers 0 to both), and Wine's driver never refuses a document or a
// page, so tests install their own functions through ScopedPrintingContextApi.
// Every other GDI call goes to the system directly.
struct PrintingContextApi {
    decltype(&::ExtEscape) extEscape = ::ExtEscape;
    decltype(&::StartDocW) startDoc = ::StartDocW;
    decltype(&::EndDoc) endDoc = ::EndDoc;
    decltype(&::StartPage) startPage = ::StartPage;
    decltype(&::EndPage) endPage = ::EndPage;

    static const PrintingContextApi& Current() { return ScopedApi<PrintingContextApi>::Current(); }
};

using ScopedPrintingContextApi = ScopedApi<PrintingContextApi>;

// Escape numbers and the capability bit.
constexpr int kCapabilityEscape = 11002;
constexpr int kLineEscape = 11010;
constexpr int kCapabilityLineByte = 10;  // bit 0 of this byte: line escape supported

// One line for the line escape, in device pixels. x is the left edge of a
// horizontal line or the centre of a vertical one; y the centre of a horizontal
// line or the top of a vertical one.
struct LineRecord {
    static constexpr uint16_t kSize = 24;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t length = 1;
    uint16_t thickness = 1;
    bool vertical = false;

    // The 24-byte little-endian record the driver expects: size, x, y,
    // length, thickness, 0, orientation (1 vertical), 10 bytes of 0.
    std::array<uint8_t, kSize> Encode() const;
};

// A rectangle in device pixels, normalised (left <= right, top <= bottom).
struct DeviceRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// Corners in thousandths of an inch (either order) to device pixels with
// MulDiv at the given dots per inch, normalised.
DeviceRect ToDevicePixels(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t dpiX,
                          int32_t dpiY);

// The line drawing a device rectangle: vertical when it is at most as wide as
// high; length and thickness raised to 1 when 0.
LineRecord LineForRect(const DeviceRect& rect);

// The test pattern: a double frame 2 by 1 inches and the word TEST, as 21
// rectangles (x1, y1, x2, y2) in thousandths of an inch, in drawing order.
struct PatternRect {
    int32_t x1, y1, x2, y2;
};
extern const std::array<PatternRect, 21> kTestPattern;

// A device context and its life: the destructor deletes it. Results of the
// drawing calls are handed back unexamined.
class DrawContext {
public:
    DrawContext() = default;
    DrawContext(const DrawContext&) = delete;
    DrawContext& operator=(const DrawContext&) = delete;
    virtual ~DrawContext() = default;

    // Deletes the current context, then CreateDCW(driver, device) (an empty
    // text passes null). A failure is sent to the debugger output and, when
    // enabled, logged as an error of "Quorvel Printer Driver V3". Returns
    // whether a context exists.
    bool Create(const OString& driver, const OString& device);

    HDC GetHandle() const { return m_dc.Get(); }
    bool HasContext() const { return static_cast<bool>(m_dc); }

    // StartDocW with the document name and the output file (null when empty).
    int StartDocument(const OString& documentName, const OString& outputName);
    int StartPage();
    int EndPage();
    int EndDocument();
    // ExtEscape 11010 with the 24-byte record.
    int LineEscape(const LineRecord& line);
    // ExtEscape 11002: with outSize 0 and a null block it answers the size of
    // the capability block.
    int CapabilityEscape(int outSize, void* block);
    // PatBlt BLACKNESS in device pixels.
    bool FillDevicePixels(int32_t left, int32_t top, int32_t width, int32_t height);

private:
    ODeviceContext m_dc;
};

// A device context on a spooler printer ("WINSPOOL" and the printer name).
class PrinterContext : public DrawContext {
public:
    explicit PrinterContext(const OString& printerName);
    ~PrinterContext() override = default;

    // Creates the context again; whether one exists.
    bool Recreate(const OString& printerName);
};

// A printer context that knows its resolution and whether the driver draws
// lines itself (capability escape), for the test page.
class PrinterTestContext : public PrinterContext {
public:
    explicit PrinterTestContext(const OString& printerName);
    ~PrinterTestContext() override = default;

    int32_t GetHorizontalResolution() const { return m_dpiX; }
    int32_t GetVerticalResolution() const { return m_dpiY; }
    bool IsLineEscapeSupported() const { return m_lineEscape; }

    // Fills a rectangle given in thousandths of an inch: through the line
    // escape when supported, else PatBlt.
    void FillRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2);

private:
    int32_t m_dpiX = 0;
    int32_t m_dpiY = 0;
    bool m_lineEscape = false;
};

// Commands 1 and 2: prints the document "Printer Test" with one page on the
// printer, with the test pattern or empty. Nothing is printed when no device
// context can be created or the document cannot be started; a page that
// cannot be started is not ended, but its document is. True when the
// document and its page were started and ended; the drawing results are not
// examined.
bool PrintTestPage(const OString& printerName, bool drawPattern);
