#include "diagnostics/log_throttle.h"

#include <gtest/gtest.h>

#include <string>

#include "core/clock.h"

namespace {

uint64_t g_now = 0;
ULONGLONG WINAPI Now() {
    return g_now;
}

// The rules a host's flood meets: one line a minute per kind, the count of the
// ones held back on the next, kinds apart, and a clock set back.
TEST(OLogThrottle, LetsOneLineAMinutePerKindThroughAndCountsTheRest) {
    OClockOverride clock(OClockApi{&Now});
    g_now = 1ull << 40;
    OLogThrottle throttle;
    const struct Row {
        uint64_t advanceMs;
        const wchar_t* key;
        bool due;
        int64_t skipped;  // when due
        const char* note;
    } rows[] = {
        {0, L"a", true, 0, "the first of a kind"},
        {0, L"a", false, 0, "at once again"},
        {0, L"b", true, 0, "another kind is apart"},
        {59999, L"a", false, 0, "one ms short of a minute"},
        {1, L"a", true, 2, "a minute on: the two held back are counted"},
        {1, L"a", false, 0, "the count starts again"},
        {60000, L"a", true, 1, ""},
        {60000, L"b", true, 0, "b's count is its own"},
        {0, L"b", false, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        g_now += row.advanceMs;
        int64_t skipped = -1;
        EXPECT_EQ(throttle.Due(row.key, skipped), row.due);
        if (row.due) {
            EXPECT_EQ(skipped, row.skipped);
        }
    }
    g_now -= 10;
    int64_t skipped = -1;
    EXPECT_TRUE(throttle.Due(L"b", skipped)) << "a clock set back lets a line through";
    EXPECT_EQ(skipped, 1);
    EXPECT_EQ(OLogThrottle::SkippedText(2), " (and 2 more since the last report)");
    EXPECT_EQ(OLogThrottle::SkippedText(0), "");
}

// Ever new kinds (printers, foreign tags) keep the map at its bound; the kind
// met least recently goes first and is due again when it returns.
TEST(OLogThrottle, ForgetsTheKindMetLeastRecentlyBeyondItsBound) {
    OClockOverride clock(OClockApi{&Now});
    g_now = 1ull << 40;
    OLogThrottle throttle(3);
    int64_t skipped = 0;
    for (const wchar_t* key : {L"p1", L"p2", L"p3"}) {
        EXPECT_TRUE(throttle.Due(key, skipped));
    }
    EXPECT_FALSE(throttle.Due(L"p1", skipped)) << "p1 is now the most recent";
    EXPECT_TRUE(throttle.Due(L"p4", skipped));
    EXPECT_EQ(throttle.GetCount(), 3u);
    EXPECT_FALSE(throttle.Due(L"p1", skipped)) << "kept";
    EXPECT_FALSE(throttle.Due(L"p3", skipped)) << "kept";
    EXPECT_TRUE(throttle.Due(L"p2", skipped)) << "forgotten, so due again";
    for (int i = 0; i < 10000; ++i) {
        throttle.Due(L"printer " + std::to_wstring(i), skipped);
    }
    EXPECT_EQ(throttle.GetCount(), 3u);
}

}  // namespace
