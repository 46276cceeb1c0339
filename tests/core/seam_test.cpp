// Seam overrides nest and restore in order; the library's clock is one.
#include "core/seam.h"

#include <gtest/gtest.h>

#include "core/clock.h"

namespace {

struct TestApi {
    int (*value)() = [] { return 0; };
};
using TestSeam = ScopedApi<TestApi>;

TEST(ScopedApi, OverridesNestAndRestoreInOrder) {
    EXPECT_EQ(TestSeam::Current().value(), 0);
    {
        TestSeam outer(TestApi{[] { return 1; }});  // a temporary: the override keeps a copy
        {
            TestSeam inner(TestApi{[] { return 2; }});
            EXPECT_EQ(TestSeam::Current().value(), 2);
            EXPECT_EQ(TestSeam::Real().value(), 0);
        }
        EXPECT_EQ(TestSeam::Current().value(), 1) << "the outer override is back";
    }
    EXPECT_EQ(TestSeam::Current().value(), 0);
    OClockOverride clock(OClockApi{[]() -> ULONGLONG { return 1234567; }});
    EXPECT_EQ(OTickCount(), 1234567u);
}

}  // namespace
