// The resolver's bounds: lookups of one name are shared, failures are
// remembered for a while, and no more than kMaxResolverThreads run at once.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "net/sockets.h"

namespace {

// A name server that stalls for stallMs and then knows no name; lookups are
// counted while they run.
struct StalledResolver {
    static inline std::atomic<int> running{0};
    static inline std::atomic<int> most{0};
    static inline std::atomic<int> calls{0};
    static inline DWORD stallMs = 0;

    static INT WSAAPI GetAddrInfo(PCWSTR, PCWSTR, const ADDRINFOW*, PADDRINFOW* results) {
        *results = nullptr;
        ++calls;
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        ::Sleep(stallMs);
        --running;
        return WSAHOST_NOT_FOUND;
    }
};

// The library's clock stands still unless a test moves it.
struct FakeClock {
    static inline std::atomic<uint64_t> now{5000000};
    static ULONGLONG WINAPI Tick() { return now.load(); }
};

int ResolveError(const std::string& host, int32_t timeoutMs) {
    sockaddr_in address;
    try {
        ResolveAddress(OString(host.c_str()), 80, address, OSocketDeadline(timeoutMs));
        return 0;
    } catch (const SocketException& e) {
        return e.GetErrorCode();
    }
}

class Resolver : public ::testing::Test {
protected:
    Resolver() {
        StalledResolver::running = 0;
        StalledResolver::most = 0;
        StalledResolver::calls = 0;
        OSocketApi api = OSocketApi::Current();
        api.getAddrInfoW = &StalledResolver::GetAddrInfo;
        m_api = std::make_unique<OSocketApiOverride>(api);
    }
    // Abandoned lookups end on their own; the next test must not meet them.
    ~Resolver() override {
        for (int i = 0; i < 500 && ResolverThreadCount() > 0; ++i) {
            ::Sleep(10);
        }
        EXPECT_EQ(ResolverThreadCount(), 0);
    }

    OClockOverride m_clock{OClockApi{&FakeClock::Tick}};
    std::unique_ptr<OSocketApiOverride> m_api;
};

}  // namespace

// A host polling many printers while the name server is down: the threads
// stuck in the resolver stay at the cap, and the calls beyond it end at once.
TEST_F(Resolver, ManyNamesNeverHoldMoreThanTheCapAndTheRestFailAtOnce) {
    StalledResolver::stallMs = 400;
    std::atomic<int> busy{0};
    std::atomic<int> unknown{0};
    std::atomic<int64_t> slowestBusyMs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 50; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const ULONGLONG start = ::GetTickCount64();
                const int error = ResolveError(
                    "cap-" + std::to_string(t) + "-" + std::to_string(i) + ".invalid", 5000);
                const auto ms = static_cast<int64_t>(::GetTickCount64() - start);
                if (error == WSATRY_AGAIN) {
                    ++busy;
                    for (int64_t seen = slowestBusyMs.load();
                         ms > seen && !slowestBusyMs.compare_exchange_weak(seen, ms);) {
                    }
                } else if (error == WSAHOST_NOT_FOUND) {
                    ++unknown;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(StalledResolver::most.load(), kMaxResolverThreads);
    EXPECT_LE(ResolverThreadCount(), kMaxResolverThreads);
    EXPECT_GT(busy.load(), 0) << "50 callers of 8 threads must meet a full resolver";
    EXPECT_EQ(busy.load() + unknown.load(), 500) << "no other answer, no time-out";
    EXPECT_EQ(StalledResolver::calls.load(), unknown.load()) << "every other call had a lookup";
    // Half the stall: a busy answer waits for no lookup, even on a loaded machine.
    EXPECT_LT(slowestBusyMs.load(), 200) << "a busy resolver is said at once";
}

TEST_F(Resolver, CallersOfOneNameShareItsLookupAndItsFailureIsRemembered) {
    StalledResolver::stallMs = 300;
    EXPECT_EQ(ResolveError("shared.invalid", 50), WSAETIMEDOUT) << "the first caller gives up";
    std::vector<std::thread> threads;
    std::atomic<int> unknown{0};
    for (int t = 0; t < 20; ++t) {
        threads.emplace_back([&] { unknown += ResolveError("Shared.INVALID", 2000) == 11001; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unknown.load(), 20);
    EXPECT_EQ(StalledResolver::calls.load(), 1) << "one lookup, whatever the case of the name";

    const struct {
        uint64_t advanceMs;
        int calls;
        const char* note;
    } rows[] = {
        {0, 1, "remembered"},
        {kResolverMemoryMs - 1, 1, "still remembered"},
        {1, 2, "forgotten: asked again"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        FakeClock::now += row.advanceMs;
        EXPECT_EQ(ResolveError("shared.invalid", 2000), WSAHOST_NOT_FOUND);
        EXPECT_EQ(StalledResolver::calls.load(), row.calls);
    }
}
