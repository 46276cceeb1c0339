#pragma once

// The test pattern at 203 dots per inch, shared by the unit and the Wine tests.

#include "printer/printing_contexts.h"

namespace PrinterTests {

// The test pattern at 203 dots per inch, worked out by hand: each corner is
// v * 203 / 1000 rounded to the nearest integer, halves away from zero (as
// MulDiv rounds): 10 -> 2.03 -> 2, 200 -> 40.6 -> 41, 250 -> 50.75 -> 51,
// 500 -> 101.5 -> 102, 1500 -> 304.5 -> 305, 2000 -> 406, ... Reversed corners
// (rows 3, 4, 7, 8) come out normalised.
struct PatternRow {
    DeviceRect device;
    LineRecord line;  // x, y, length, thickness, vertical
};

inline const PatternRow kPatternAt203[21] = {
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

}  // namespace PrinterTests
