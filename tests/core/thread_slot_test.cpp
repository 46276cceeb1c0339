#include "core/thread_slot.h"

#include <gtest/gtest.h>

#include "core/handles.h"

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// What the cleanups saw, in order: the slot's letter and the value's text.
std::mutex g_seenLock;
std::vector<std::string> g_seen;

void Record(char slot, void* value) {
    std::lock_guard<std::mutex> lock(g_seenLock);
    g_seen.push_back(std::string(1, slot) + static_cast<const char*>(value));
}

std::vector<std::string> TakeSeen() {
    std::lock_guard<std::mutex> lock(g_seenLock);
    return std::exchange(g_seen, {});
}

void CleanA(void* value) noexcept {
    Record('a', value);
}
void CleanB(void* value) noexcept {
    Record('b', value);
}

// Plain system threads: each one's end goes through the library's TLS callback
// before the join returns.
template <typename F>
void OnThread(F body) {
    std::thread(body).join();
}

TEST(OThreadSlot, CleanupsRunOncePerThreadThatSetAValueInSlotOrder) {
    OThreadSlot a(&CleanA);
    OThreadSlot b(&CleanB);
    static char one[] = "1";
    static char two[] = "2";
    static char three[] = "3";
    // Set in the reverse of slot order; replaced values are the caller's.
    OThreadSlot* slots[] = {&b, &a};
    OnThread([&] {
        for (OThreadSlot* slot : slots) {
            EXPECT_TRUE(slot->Set(three));
            EXPECT_TRUE(slot->Set(one));
        }
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(a.Get(), one);
        EXPECT_EQ(::GetLastError(), 0xDEADBEEFu) << "a fault path's last error must survive";
    });
    EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"a1", "b1"}));
    OnThread([&] { EXPECT_TRUE(a.Set(two)); });
    OnThread([&] { EXPECT_EQ(a.Get(), nullptr) << "a new thread starts empty"; });
    // A value set and cleared again leaves nothing to clean.
    OnThread([&] { EXPECT_TRUE(b.Set(three) && b.Set(nullptr)); });
    EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"a2"}));
}

// Unloading closes each slot: the values of threads still running are cleaned
// on the closing thread, and nothing is kept or cleaned afterwards.
TEST(OThreadSlot, CloseCleansLiveThreadsAndNothingRunsAfter) {
    static char live[] = "live";
    static char late[] = "late";
    OThreadSlot a(&CleanA);
    OKernelHandle set(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool setLate = true;
    std::thread running([&] {
        EXPECT_TRUE(a.Set(live));
        ::SetEvent(set.Get());
        ::WaitForSingleObject(go.Get(), INFINITE);
        setLate = a.Set(late);
        EXPECT_EQ(a.Get(), nullptr);
    });
    ::WaitForSingleObject(set.Get(), INFINITE);
    a.Close();
    EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"alive"}));
    ::SetEvent(go.Get());
    running.join();
    a.Close();
    EXPECT_FALSE(setLate) << "a closed slot refuses values";
    EXPECT_EQ(TakeSeen(), std::vector<std::string>{}) << "cleaned once, and never after closing";
}

}  // namespace
