// The C++ runtime keeps, per thread, the exceptions being handled. Its own
// record of them is an emulated thread-local variable, made through the
// static thread library the first time a thread throws: that takes a TLS slot,
// keys and thread handles that FreeLibrary never gives back, so every load of
// the library that threw once (a refused connection is enough) cost the host a
// slot and four handles until it ran out of slots.
//
// This file replaces the runtime's two functions for the record (the linker
// then leaves the runtime's out): the record lives in a TLS slot of our own,
// each thread's copy is freed when the thread ends, and the slot and every
// copy left are freed when the library is unloaded.

#include <windows.h>

#include <atomic>

namespace {

// The runtime's layout: the stack of caught exceptions and the count of those
// thrown and not yet caught.
struct ThreadRecord {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
    ThreadRecord* next;
    ThreadRecord* previous;
};

std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};
SRWLOCK g_lock = SRWLOCK_INIT;
ThreadRecord* g_records = nullptr;
// For a thread whose record cannot be allocated; never expected in practice.
ThreadRecord g_fallback = {};

void Forget(ThreadRecord* record) noexcept {
    ::AcquireSRWLockExclusive(&g_lock);
    if (record->previous != nullptr) {
        record->previous->next = record->next;
    } else {
        g_records = record->next;
    }
    if (record->next != nullptr) {
        record->next->previous = record->previous;
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    ::HeapFree(::GetProcessHeap(), 0, record);
}

// Made before every other object of the library and destroyed after them all
// (whose destructors may still throw and catch).
struct RecordsRelease {
    RecordsRelease() { g_slot.store(::TlsAlloc()); }
    RecordsRelease(const RecordsRelease&) = delete;
    RecordsRelease& operator=(const RecordsRelease&) = delete;
    ~RecordsRelease() {
        while (g_records != nullptr) {
            Forget(g_records);
        }
        DWORD slot = g_slot.exchange(TLS_OUT_OF_INDEXES);
        if (slot != TLS_OUT_OF_INDEXES) {
            ::TlsFree(slot);
        }
    }
};
RecordsRelease g_recordsRelease __attribute__((init_priority(102)));

void NTAPI ReleaseThreadRecord(PVOID, DWORD reason, PVOID) {
    DWORD slot = g_slot.load(std::memory_order_acquire);
    if (reason != DLL_THREAD_DETACH || slot == TLS_OUT_OF_INDEXES) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(::TlsGetValue(slot));
    if (record != nullptr) {
        ::TlsSetValue(slot, nullptr);
        Forget(record);
    }
}

// TlsGetValue clears the last error, which a throw must not change.
ThreadRecord* Peek(DWORD slot) noexcept {
    DWORD error = ::GetLastError();
    auto* record = static_cast<ThreadRecord*>(::TlsGetValue(slot));
    ::SetLastError(error);
    return record;
}

}  // namespace

extern "C" {

extern PIMAGE_TLS_CALLBACK qvReleaseThreadExceptionRecord;
__attribute__((section(".CRT$XLQ"), used)) PIMAGE_TLS_CALLBACK qvReleaseThreadExceptionRecord =
    &ReleaseThreadRecord;

void* __cxa_get_globals_fast() noexcept {
    DWORD slot = g_slot.load(std::memory_order_acquire);
    ThreadRecord* record = slot != TLS_OUT_OF_INDEXES ? Peek(slot) : nullptr;
    return record != nullptr ? record : &g_fallback;
}

void* __cxa_get_globals() noexcept {
    DWORD slot = g_slot.load(std::memory_order_acquire);
    if (slot == TLS_OUT_OF_INDEXES) {
        return &g_fallback;
    }
    ThreadRecord* record = Peek(slot);
    if (record != nullptr) {
        return record;
    }
    DWORD error = ::GetLastError();
    record = static_cast<ThreadRecord*>(
        ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadRecord)));
    if (record == nullptr) {
        return &g_fallback;
    }
    ::AcquireSRWLockExclusive(&g_lock);
    record->next = g_records;
    if (g_records != nullptr) {
        g_records->previous = record;
    }
    g_records = record;
    ::ReleaseSRWLockExclusive(&g_lock);
    ::TlsSetValue(slot, record);
    ::SetLastError(error);
    return record;
}

}  // extern "C"
