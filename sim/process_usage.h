#pragma once

// What a long-running host of the library can watch of its own process to
// tell a leak: open handles, heap bytes in use and private bytes. For the
// load/free test and the soak.

#include <windows.h>
#include <psapi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QvSim {

// Open handles of this process, probed value by value (Wine answers 0 to
// GetProcessHandleCount).
inline int OpenHandles() {
    int count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
        }
    }
    return count;
}

// Bytes of busy blocks in every heap of the process.
inline size_t BusyHeapBytes() {
    std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    size_t busy = 0;
    for (HANDLE heap : heaps) {
        if (!::HeapLock(heap)) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry = {};
        while (::HeapWalk(heap, &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                busy += entry.cbData;
            }
        }
        ::HeapUnlock(heap);
    }
    return busy;
}

// The process's private bytes (committed memory no other process shares).
// Wine answers 0 for PrivateUsage, so there they are summed from the address
// space's committed private regions instead.
inline size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (::K32GetProcessMemoryInfo(::GetCurrentProcess(),
                                  reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                  sizeof counters) &&
        counters.PrivateUsage != 0) {
        return counters.PrivateUsage;
    }
    size_t bytes = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            bytes += region.RegionSize;
        }
    }
    return bytes;
}

}  // namespace QvSim
