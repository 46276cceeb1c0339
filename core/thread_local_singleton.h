#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "core/thread_slot.h"

// One object of T per thread, created on the thread's first Get and destroyed
// when the thread ends, or when the library is unloaded for threads still
// running (see OThreadSlot). T's destructor therefore runs under the loader
// lock: it may free memory and nothing more.
template <typename T>
class ThreadLocalSingleton {
public:
    ThreadLocalSingleton() = default;
    ThreadLocalSingleton(const ThreadLocalSingleton&) = delete;
    ThreadLocalSingleton& operator=(const ThreadLocalSingleton&) = delete;
    virtual ~ThreadLocalSingleton() = default;

    // The calling thread's object, created on first use; null when the
    // thread cannot hold one (no TLS slot, or the library is unloading).
    // Allocation failure of the object propagates as std::bad_alloc.
    static T* Get() {
        T* object = Peek();
        if (object == nullptr) {
            auto made = std::make_unique<T>();
            if (!s_slot.Set(made.get())) {
                return nullptr;
            }
            s_live.fetch_add(1, std::memory_order_relaxed);
            object = made.release();
        }
        return object;
    }

    // The calling thread's object if it has one; never creates it.
    static T* Peek() noexcept { return static_cast<T*>(s_slot.Get()); }

    // Destroys the calling thread's object, if it has one.
    static void ReleaseThisThread() noexcept {
        T* object = Peek();
        if (object != nullptr) {
            s_slot.Set(nullptr);
            Destroy(object);
        }
    }

    // Objects alive, of all threads.
    static size_t LiveCount() noexcept { return s_live.load(std::memory_order_relaxed); }

private:
    static void Destroy(void* object) noexcept {
        delete static_cast<T*>(object);
        s_live.fetch_sub(1, std::memory_order_relaxed);
    }

    inline static std::atomic<size_t> s_live{0};
    inline static OThreadSlot s_slot{&Destroy};
};
