#include "printer/printing_contexts.h"

#include <utility>
#include <vector>

#include "diagnostics/event_log.h"

namespace {

// A driver claiming a bigger capability block is not believed: the block is
// read into this much room (the driver then fails the call and the line
// escape counts as unsupported).
constexpr int kMaxCapabilityBytes = 64 * 1024;

const wchar_t* NullWhenEmpty(const OString& text) {
    return text.IsEmpty() ? nullptr : text.GetWide();
}

void PutLittleEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

const std::array<PatternRect, 21> kTestPattern = {{
    {0, 0, 2000, 10},        // outer frame, top
    {1990, 0, 2000, 1000},   // outer frame, right
    {2000, 990, 0, 1000},    // outer frame, bottom
    {0, 1000, 10, 0},        // outer frame, left
    {30, 30, 1970, 40},      // inner frame, top
    {1960, 30, 1970, 970},   // inner frame, right
    {1970, 960, 30, 970},    // inner frame, bottom
    {30, 970, 40, 30},       // inner frame, left
    {100, 200, 500, 250},    // T, bar
    {275, 200, 325, 800},    // T, stem
    {600, 200, 950, 250},    // E, top
    {600, 475, 900, 525},    // E, middle
    {600, 750, 950, 800},    // E, bottom
    {600, 200, 650, 800},    // E, stem
    {1050, 200, 1400, 250},  // S, top
    {1050, 475, 1400, 525},  // S, middle
    {1050, 750, 1400, 800},  // S, bottom
    {1050, 200, 1100, 525},  // S, upper left
    {1350, 475, 1400, 800},  // S, lower right
    {1500, 200, 1900, 250},  // second T, bar
    {1675, 200, 1725, 800},  // second T, stem
}};

std::array<uint8_t, LineRecord::kSize> LineRecord::Encode() const {
    std::array<uint8_t, kSize> record{};
    PutLittleEndian16(&record[0], kSize);
    PutLittleEndian16(&record[2], x);
    PutLittleEndian16(&record[4], y);
    PutLittleEndian16(&record[6], length);
    PutLittleEndian16(&record[8], thickness);
    PutLittleEndian16(&record[12], vertical ? 1 : 0);
    return record;
}

DeviceRect ToDevicePixels(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t dpiX,
                          int32_t dpiY) {
    DeviceRect rect;
    rect.left = ::MulDiv(x1, dpiX, 1000);
    rect.right = ::MulDiv(x2, dpiX, 1000);
    rect.top = ::MulDiv(y1, dpiY, 1000);
    rect.bottom = ::MulDiv(y2, dpiY, 1000);
    if (rect.left > rect.right) {
        std::swap(rect.left, rect.right);
    }
    if (rect.top > rect.bottom) {
        std::swap(rect.top, rect.bottom);
    }
    return rect;
}

LineRecord LineForRect(const DeviceRect& rect) {
    int32_t width = rect.right - rect.left;
    int32_t height = rect.bottom - rect.top;
    LineRecord line;
    if (width <= height) {
        int32_t length = height > 0 ? height : 1;
        int32_t thickness = width > 0 ? width : 1;
        line.vertical = true;
        line.length = static_cast<uint16_t>(length);
        line.thickness = static_cast<uint16_t>(thickness);
        line.x = static_cast<uint16_t>(rect.left + thickness / 2);
        line.y = static_cast<uint16_t>(rect.top);
    } else {
        int32_t length = width > 0 ? width : 1;
        int32_t thickness = height > 0 ? height : 1;
        line.vertical = false;
        line.length = static_cast<uint16_t>(length);
        line.thickness = static_cast<uint16_t>(thickness);
        line.x = static_cast<uint16_t>(rect.left);
        line.y = static_cast<uint16_t>(rect.top + thickness / 2);
    }
    return line;
}

bool DrawContext::Create(const OString& driver, const OString& device) {
    m_dc.Reset();
    m_dc.Reset(::CreateDCW(NullWhenEmpty(driver), NullWhenEmpty(device), nullptr, nullptr));
    if (!m_dc) {
        DWORD error = ::GetLastError();
        OString debug = OString("DrawContext::CreateDC failed with GetLastError = ") +
                        OString(uint32_t{error}) + "\n";
        ::OutputDebugStringW(debug.GetWide());
        OEventLog log(OString(OEventLog::kSourcePrinterDriver));
        if (log.IsEnabled(OEventLog::kErrors)) {
            log.Write(OLogLine("DrawContext::Create",
                               OString("CreateDC failed on printer ") + device +
                                   ".  GetLastError = " + OString(uint32_t{error})),
                      OEventLog::kErrors);
        }
    }
    return HasContext();
}

int DrawContext::StartDocument(const OString& documentName, const OString& outputName) {
    DOCINFOW info = {};
    info.cbSize = sizeof info;
    info.lpszDocName = documentName.GetWide();
    info.lpszOutput = NullWhenEmpty(outputName);
    return PrintingContextApi::Current().startDoc(m_dc.Get(), &info);
}

int DrawContext::StartPage() {
    return PrintingContextApi::Current().startPage(m_dc.Get());
}

int DrawContext::EndPage() {
    return PrintingContextApi::Current().endPage(m_dc.Get());
}

int DrawContext::EndDocument() {
    return PrintingContextApi::Current().endDoc(m_dc.Get());
}

int DrawContext::LineEscape(const LineRecord& line) {
    std::array<uint8_t, LineRecord::kSize> record = line.Encode();
    return PrintingContextApi::Current().extEscape(m_dc.Get(), kLineEscape, LineRecord::kSize,
                                                   reinterpret_cast<LPCSTR>(record.data()), 0,
                                                   nullptr);
}

int DrawContext::CapabilityEscape(int outSize, void* block) {
    return PrintingContextApi::Current().extEscape(m_dc.Get(), kCapabilityEscape, 0, nullptr,
                                                   outSize, static_cast<LPSTR>(block));
}

bool DrawContext::FillDevicePixels(int32_t left, int32_t top, int32_t width, int32_t height) {
    return ::PatBlt(m_dc.Get(), left, top, width, height, BLACKNESS) != FALSE;
}

PrinterContext::PrinterContext(const OString& printerName) {
    Create(OString("WINSPOOL"), printerName);
}

bool PrinterContext::Recreate(const OString& printerName) {
    return Create(OString("WINSPOOL"), printerName);
}

PrinterTestContext::PrinterTestContext(const OString& printerName) : PrinterContext(printerName) {
    if (!HasContext()) {
        return;
    }
    m_dpiX = ::GetDeviceCaps(GetHandle(), LOGPIXELSX);
    m_dpiY = ::GetDeviceCaps(GetHandle(), LOGPIXELSY);
    int size = CapabilityEscape(0, nullptr);
    if (size > kCapabilityLineByte) {
        if (size > kMaxCapabilityBytes) {
            size = kMaxCapabilityBytes;
        }
        // Zero-filled, so a driver that fails the second call leaves the bit clear.
        std::vector<uint8_t> block(static_cast<size_t>(size), 0);
        CapabilityEscape(size, block.data());
        m_lineEscape = (block[kCapabilityLineByte] & 0x01) != 0;
    }
}

void PrinterTestContext::FillRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    DeviceRect rect = ToDevicePixels(x1, y1, x2, y2, m_dpiX, m_dpiY);
    if (m_lineEscape) {
        LineEscape(LineForRect(rect));
    } else {
        FillDevicePixels(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    }
}

bool PrintTestPage(const OString& printerName, bool drawPattern) {
    PrinterTestContext context(printerName);
    if (!context.HasContext()) {
        return false;
    }
    if (context.StartDocument(OString("Printer Test"), OString()) <= 0) {
        return false;
    }
    // A started document is ended whether or not its page could be started.
    // The drawing results are not examined: a page that fails half-way is
    // still closed, and there is nobody to tell.
    bool printed = context.StartPage() > 0;
    if (printed) {
        if (drawPattern) {
            for (const PatternRect& rect : kTestPattern) {
                context.FillRectangle(rect.x1, rect.y1, rect.x2, rect.y2);
            }
        }
        printed = context.EndPage() > 0;
    }
    return context.EndDocument() > 0 && printed;
}
