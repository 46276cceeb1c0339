// Cost of OEventLog::IsEnabled, the test at every logging call site, on an
// enabled and a disabled level. Target: under 20 ns per call.
//
// The mask lives under a scratch key of the current user that is removed at
// the end; clock, registry and outputs are the real ones.
#include <windows.h>

#include <cstdio>
#include <string>

#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"

namespace {

double NsPerCall(const OEventLog& log, uint32_t level, long calls, long& hits) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER stop;
    QueryPerformanceFrequency(&frequency);
    long count = 0;
    QueryPerformanceCounter(&start);
    for (long i = 0; i < calls; ++i) {
        if (log.IsEnabled(level)) {
            ++count;
        }
        // Keeps the compiler from hoisting the call out of the loop.
        asm volatile("" : : : "memory");
    }
    QueryPerformanceCounter(&stop);
    hits = count;
    return (stop.QuadPart - start.QuadPart) * 1e9 / frequency.QuadPart / calls;
}

}  // namespace

int main() {
    const std::wstring scratch =
        L"Software\\QuorvelBench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring maskRoot = L"1:" + scratch + L"\\DebugLogMasks\\";
    int status = 0;
    {
        OEventLogSystem system;
        system.maskRoot = maskRoot.c_str();
        OEventLogSystemOverride useScratch(system);

        OEventLog log(OString(L"Quorvel Bench Source"));
        const long calls = 20000000;
        long hits = 0;
        NsPerCall(log, OEventLog::kErrors, calls / 10, hits);  // warm up
        double enabled = NsPerCall(log, OEventLog::kErrors, calls, hits);
        long enabledHits = hits;
        double disabled = NsPerCall(log, OEventLog::kDetailInfo, calls, hits);
        long disabledHits = hits;
        std::printf("IsEnabled enabled level:  %.2f ns/call (%ld of %ld true)\n", enabled,
                    enabledHits, calls);
        std::printf("IsEnabled disabled level: %.2f ns/call (%ld of %ld true)\n", disabled,
                    disabledHits, calls);
        std::printf("target: < 20 ns/call: %s\n",
                    enabled < 20.0 && disabled < 20.0 ? "met" : "NOT met");
        status = enabledHits == calls && disabledHits == 0 ? 0 : 1;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, scratch.c_str());
    return status;
}
