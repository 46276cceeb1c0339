#include "printer/printing_contexts.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

// The test pattern at 203 dots per inch, worked out by hand: each corner is
// v * 203 / 1000 rounded to the nearest integer, halves away from zero (as
// MulDiv rounds): 10 -> 2.03 -> 2, 200 -> 40.6 -> 41, 250 -> 50.75 -> 51,
// 500 -> 101.5 -> 102, 1500 -> 304.5 -> 305, 2000 -> 406, ... Reversed corners
// (rows 3, 4, 7, 8) come out normalised.
struct PatternRow {
    DeviceRect device;
    LineRecord line;  // x, y, length, thickness, vertical
};

const PatternRow kPatternAt203[21] = {
    {{0, 0, 406, 2}, {0, 1, 406, 2, false}},  // 1 outer top: the example of a 406 x 2 line at y 1
    {{404, 0, 406, 203}, {405, 0, 203, 2, true}},       // 2 outer right
    {{0, 201, 406, 203}, {0, 202, 406, 2, false}},      // 3 outer bottom (reversed x)
    {{0, 0, 2, 203}, {1, 0, 203, 2, true}},             // 4 outer left (reversed y)
    {{6, 6, 400, 8}, {6, 7, 394, 2, false}},            // 5 inner top
    {{398, 6, 400, 197}, {399, 6, 191, 2, true}},       // 6 inner right
    {{6, 195, 400, 197}, {6, 196, 394, 2, false}},      // 7 inner bottom (reversed x)
    {{6, 6, 8, 197}, {7, 6, 191, 2, true}},             // 8 inner left (reversed y)
    {{20, 41, 102, 51}, {20, 46, 82, 10, false}},       // 9 T bar
    {{56, 41, 66, 162}, {61, 41, 121, 10, true}},       // 10 T stem
    {{122, 41, 193, 51}, {122, 46, 71, 10, false}},     // 11 E top
    {{122, 96, 183, 107}, {122, 101, 61, 11, false}},   // 12 E middle
    {{122, 152, 193, 162}, {122, 157, 71, 10, false}},  // 13 E bottom
    {{122, 41, 132, 162}, {127, 41, 121, 10, true}},    // 14 E stem
    {{213, 41, 284, 51}, {213, 46, 71, 10, false}},     // 15 S top
    {{213, 96, 284, 107}, {213, 101, 71, 11, false}},   // 16 S middle
    {{213, 152, 284, 162}, {213, 157, 71, 10, false}},  // 17 S bottom
    {{213, 41, 223, 107}, {218, 41, 66, 10, true}},     // 18 S upper left
    {{274, 96, 284, 162}, {279, 96, 66, 10, true}},     // 19 S lower right
    {{305, 41, 386, 51}, {305, 46, 81, 10, false}},     // 20 second T bar
    {{340, 41, 350, 162}, {345, 41, 121, 10, true}},    // 21 second T stem
};

std::string Describe(const DeviceRect& r) {
    char text[80];
    std::snprintf(text, sizeof text, "(%d, %d, %d, %d)", r.left, r.top, r.right, r.bottom);
    return text;
}

std::string Describe(const LineRecord& l) {
    char text[80];
    std::snprintf(text, sizeof text, "%s at (%u, %u), length %u, thickness %u",
                  l.vertical ? "vertical" : "horizontal", l.x, l.y, l.length, l.thickness);
    return text;
}

TEST(TestPattern, EveryRectangleMapsToDevicePixelsAndLinesAt203Dpi) {
    ASSERT_EQ(kTestPattern.size(), 21u);
    for (size_t i = 0; i < kTestPattern.size(); ++i) {
        SCOPED_TRACE("rectangle " + std::to_string(i + 1));
        const PatternRect& p = kTestPattern[i];
        DeviceRect got = ToDevicePixels(p.x1, p.y1, p.x2, p.y2, 203, 203);
        EXPECT_EQ(Describe(got), Describe(kPatternAt203[i].device));
        EXPECT_EQ(Describe(LineForRect(got)), Describe(kPatternAt203[i].line));
    }
}

TEST(ToDevicePixels, ScalesEachAxisByItsOwnResolution) {
    struct Row {
        int32_t x1, y1, x2, y2, dpiX, dpiY;
        DeviceRect want;
        const char* note;
    } rows[] = {
        {0, 0, 1000, 1000, 300, 600, {0, 0, 300, 600}, "one inch, anisotropic"},
        {1000, 500, 0, 0, 203, 203, {0, 0, 203, 102}, "reversed; 500 * 0.203 = 101.5 -> 102"},
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
        {{0, 0, 203, 0}, {0, 0, 203, 1, false}, "zero-high horizontal: thickness 1, y = top"},
        {{7, 3, 7, 50}, {7, 3, 47, 1, true}, "zero-thickness vertical: thickness 1, x = left"},
        {{5, 5, 5, 5}, {5, 5, 1, 1, true}, "empty: a 1 x 1 vertical line (width <= height)"},
        {{10, 10, 20, 20}, {15, 10, 10, 10, true}, "square counts as vertical, x at its centre"},
        {{10, 10, 21, 20}, {10, 15, 11, 10, false}, "wider than high: horizontal, y at centre"},
        {{10, 10, 13, 40}, {11, 10, 30, 3, true}, "odd thickness: x = left + 3 / 2 = left + 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(Describe(LineForRect(row.rect)), Describe(row.want));
    }
}

TEST(LineRecord, EncodesTwentyFourLittleEndianBytes) {
    LineRecord line;
    line.x = 0x1234;
    line.y = 0x0506;
    line.length = 406;  // 0x0196
    line.thickness = 2;
    line.vertical = true;
    const std::array<uint8_t, 24> want = {0x18, 0x00, 0x34, 0x12, 0x06, 0x05, 0x96, 0x01,
                                          0x02, 0x00, 0x00, 0x00, 0x01, 0x00};  // 10 bytes of 0
    EXPECT_EQ(line.Encode(), want);
    line.vertical = false;
    EXPECT_EQ(line.Encode()[12], 0) << "horizontal orientation is 0";
}

}  // namespace
