#pragma once

#include <windows.h>

#include <cstdint>

#include "core/seam.h"

// The one clock of the library: every rule that reads the time (the printer
// cache's refresh, idle connections, the log mask refresh, the dump interval)
// reads it here, so a test moves time for all of them with one override.
// Deadlines of single socket calls keep std::chrono::steady_clock: they bound
// real waits and must not stand still under a test clock.
struct OClockApi {
    decltype(&::GetTickCount64) tickCount64 = ::GetTickCount64;
};

using OClockOverride = ScopedApi<OClockApi>;

// Milliseconds since the system started, through the clock in force.
inline uint64_t OTickCount() {
    return ScopedApi<OClockApi>::Current().tickCount64();
}
