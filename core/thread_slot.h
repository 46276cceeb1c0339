#pragma once

#include <windows.h>

// Per-thread state of the library, and what becomes of it when a thread ends
// or the library is unloaded: the one way the library keeps anything per
// thread. (C++ thread_local variables would go through the static thread
// library, whose TLS slot and handles FreeLibrary never gives back.)
//
// Every slot shares one system TLS slot, taken while the library loads and
// given back when it is unloaded. It holds, for each thread that has set a
// value in any slot, a block with one value per slot; each slot has a cleanup
// that receives a value it must dispose of.
//
// When cleanups run:
// - A thread ends (DLL_THREAD_DETACH, through the library's TLS callback, on
//   the ending thread): the cleanup of each slot the thread set runs once for
//   its value, in the order the slots were made. A value set again by a
//   cleanup is cleaned in a further round. Threads that never set a value cost
//   nothing.
// - The library is unloaded (FreeLibrary, DLL_PROCESS_DETACH): a slot's
//   destructor runs its cleanup, on the unloading thread, for the value of
//   every thread that still has one (threads still running); afterwards Get
//   answers null and Set refuses. The blocks and the system slot are given
//   back after every other static object of the library is destroyed.
// - The process exits: nothing runs; the system takes memory back, and threads
//   it ended without notice may have held the locks a cleanup would take.
//
// Both kinds of cleanup run under the loader lock. Hence the one rule: a
// cleanup frees memory or hands work to a thread of the library (a lock-free
// push, as the socket pool does with the connections of an ended thread), and
// nothing else. It never waits for another thread or takes a lock
// another thread may hold while it calls out, never loads or frees a library,
// and never touches sockets, files or the spooler.
//
// Slots are made as static objects while the library loads (the loader lock
// makes that single-threaded); at most kMaxSlots in a process image.
class OThreadSlot {
public:
    // Disposes of one thread's value (never null). Must not throw.
    using Cleanup = void (*)(void* value) noexcept;
    static constexpr int kMaxSlots = 16;

    // Registers the slot; cleanup may be null for values that need none. A
    // slot beyond kMaxSlots, or made when no system slot is to be had, holds
    // nothing: Get answers null and Set refuses.
    explicit OThreadSlot(Cleanup cleanup) noexcept;
    OThreadSlot(const OThreadSlot&) = delete;
    OThreadSlot& operator=(const OThreadSlot&) = delete;
    // Closes the slot.
    ~OThreadSlot();

    // The calling thread's value, null when it has none. Keeps the last
    // error, so fault and throw paths can ask.
    void* Get() const noexcept;

    // Replaces the calling thread's value (the old one is the caller's to
    // dispose of). Setting a value on a thread that has none allocates its
    // block; false when that fails or the slot is closed, with nothing set.
    // Setting null always succeeds. Keeps the last error.
    bool Set(void* value) noexcept;

    // Runs the cleanup for every thread's value and refuses values from now
    // on. Runs once; the destructor calls it.
    void Close() noexcept;

private:
    // The slot's position in each block, plus one: zero until the
    // constructor has run, so a slot used by another static object's
    // constructor before its own holds nothing rather than another's values.
    int m_position;
};
