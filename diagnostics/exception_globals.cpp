// The C++ runtime keeps, per thread, the exceptions being handled. Its own
// record of them is an emulated thread-local variable, made through the
// static thread library the first time a thread throws: that takes a TLS slot,
// keys and thread handles that FreeLibrary never gives back, so every load of
// the library that threw once (a refused connection is enough) cost the host a
// slot and four handles until it ran out of slots.
//
// This file replaces the runtime's two functions for the record (the linker
// then leaves the runtime's out): the record lives in a thread slot of the
// library's own, freed when the thread ends, and every record left is freed
// when the library is unloaded.

#include <windows.h>

#include "core/thread_slot.h"

namespace {

// The runtime's layout: the stack of caught exceptions and the count of those
// thrown and not yet caught.
struct ThreadRecord {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

// For a thread whose record cannot be allocated; never expected in practice.
ThreadRecord g_fallback = {};

void FreeRecord(void* record) noexcept {
    ::HeapFree(::GetProcessHeap(), 0, record);
}

// Made before every other object of the library and closed after them all
// (whose constructors and destructors may throw and catch).
OThreadSlot g_records __attribute__((init_priority(102))){&FreeRecord};

}  // namespace

extern "C" {

void* __cxa_get_globals_fast() noexcept {
    auto* record = static_cast<ThreadRecord*>(g_records.Get());
    return record != nullptr ? record : &g_fallback;
}

// The record is allocated from the process heap, not with new: running out of
// memory here must not throw, which would ask for the record again.
void* __cxa_get_globals() noexcept {
    auto* record = static_cast<ThreadRecord*>(g_records.Get());
    if (record != nullptr) {
        return record;
    }
    DWORD error = ::GetLastError();
    record = static_cast<ThreadRecord*>(
        ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadRecord)));
    if (record != nullptr && !g_records.Set(record)) {
        FreeRecord(record);
        record = nullptr;
    }
    ::SetLastError(error);
    return record != nullptr ? record : &g_fallback;
}

}  // extern "C"
