// The owner template's out-parameter slot, with a handle kind that records
// what it closes.
#include "core/handles.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Recorded {
    using Type = int;
    static int Invalid() { return -1; }
    static void Close(int handle) { closed.push_back(handle); }
    static inline std::vector<int> closed;
};

TEST(OUniqueHandle, PutClosesTheOldHandleAndExposesTheSlot) {
    {
        OUniqueHandle<Recorded> owner(7);
        int* slot = owner.Put();
        EXPECT_EQ(Recorded::closed, std::vector<int>{7});
        EXPECT_TRUE(*slot == -1 && !owner) << "the slot reads invalid until the call fills it";
        *slot = 9;  // as an out-parameter is filled
        EXPECT_EQ(owner.Get(), 9);
        EXPECT_EQ(owner.Put(), slot) << "the slot is the owner's own";
        *owner.Put() = 4;  // an empty owner closes nothing
    }
    EXPECT_EQ(Recorded::closed, (std::vector<int>{7, 9, 4})) << "the filled slot is owned";
}

}  // namespace
