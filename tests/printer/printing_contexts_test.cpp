#include "printer/printing_contexts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pattern_203.h"

namespace {

using PrinterTests::kPatternAt203;

std::string Describe(const DeviceRect& r) {
    char text[80];
    std::snprintf(text, sizeof text, "(%d, %d, %d, %d)", r.left, r.top, r.right, r.bottom);
    return text;
}

TEST(TestPattern, EveryRectangleMapsToDevicePixelsAndLinesAt203Dpi) {
    ASSERT_EQ(kTestPattern.size(), 21u);
    for (size_t i = 0; i < kTestPattern.size(); ++i) {
        SCOPED_TRACE("rectangle " + std::to_string(i + 1));
        const PatternRect& p = kTestPattern[i];
        DeviceRect got = ToDevicePixels(p.x1, p.y1, p.x2, p.y2, 203, 203);
        EXPECT_EQ(Describe(got), Describe(kPatternAt203[i].device));
        LineRecord line = LineForRect(got);
        const LineRecord& want = kPatternAt203[i].line;
        EXPECT_EQ(line.x, want.x);
        EXPECT_EQ(line.y, want.y);
        EXPECT_EQ(line.length, want.length);
        EXPECT_EQ(line.thickness, want.thickness);
        EXPECT_EQ(line.vertical, want.vertical);
    }
}

TEST(ToDevicePixels, ScalesEachAxisByItsOwnResolution) {
    struct Row {
        int32_t x1, y1, x2, y2, dpiX, dpiY;
        DeviceRect want;
        const char* note;
    } rows[] = {
        {0, 0, 1000, 1000, 300, 600, {0, 0, 300, 600}, "one inch, anisotropic"},
        {1000,
         500,
         0,
         0,
         203,
         203,
         {0, 0, 203, 102},
         "reversed corners; 500 * 203 / 1000 = 101.5 rounds up"},
        {333, 0, 0, 0, 300, 300, {0, 0, 100, 0}, "99.9 rounds to 100"},
        {1, 1, 2, 2, 203, 203, {0, 0, 0, 0}, "sub-pixel rectangle collapses to an empty one"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(Describe(ToDevicePixels(row.x1, row.y1, row.x2, row.y2, row.dpiX, row.dpiY)),
                  Describe(row.want));
    }
}

TEST(LineForRect, RaisesZeroLengthAndThicknessToOne) {
    struct Row {
        DeviceRect rect;
        LineRecord want;
        const char* note;
    } rows[] = {
        // (0, 0, 1000, 2) thousandths at 203 dpi: 2 * 0.203 rounds to 0 rows high.
        {{0, 0, 203, 0},
         {0, 0, 203, 1, false},
         "zero-thickness horizontal: thickness 1, y = top + 1 / 2 = top"},
        {{7, 3, 7, 50}, {7, 3, 47, 1, true}, "zero-thickness vertical: thickness 1, x = left"},
        {{5, 5, 5, 5}, {5, 5, 1, 1, true}, "empty: a 1 x 1 vertical line (width <= height)"},
        {{10, 10, 20, 20}, {15, 10, 10, 10, true}, "square counts as vertical, x at its centre"},
        {{10, 10, 21, 20},
         {10, 15, 11, 10, false},
         "one wider than high is horizontal, y at its centre"},
        {{10, 10, 13, 40}, {11, 10, 30, 3, true}, "odd thickness: x = left + 3 / 2 = left + 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        LineRecord line = LineForRect(row.rect);
        EXPECT_EQ(line.x, row.want.x);
        EXPECT_EQ(line.y, row.want.y);
        EXPECT_EQ(line.length, row.want.length);
        EXPECT_EQ(line.thickness, row.want.thickness);
        EXPECT_EQ(line.vertical, row.want.vertical);
    }
}

TEST(LineRecord, EncodesTwentyFourLittleEndianBytes) {
    LineRecord line;
    line.x = 0x1234;
    line.y = 0x0506;
    line.length = 406;  // 0x0196
    line.thickness = 2;
    line.vertical = true;
    const uint8_t want[24] = {0x18, 0x00, 0x34, 0x12, 0x06, 0x05, 0x96, 0x01,
                              0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0,    0,
                              0,    0,    0,    0,    0,    0,    0,    0};
    auto got = line.Encode();
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        EXPECT_EQ(got[i], want[i]);
    }
    line.vertical = false;
    EXPECT_EQ(line.Encode()[12], 0) << "horizontal orientation is 0";
}

}  // namespace
