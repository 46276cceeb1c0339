#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

// One object of T per thread, kept in a thread-local storage slot that is
// allocated when the library is loaded (static initialisation) and freed when it
// is unloaded. TLS slots have no per-thread destructor, so the owner calls
// ReleaseThisThread as a thread ends; the slot also remembers every object it
// handed out and destroys those left with itself, so unloading the library
// leaves nothing behind.
template <typename T>
class ThreadLocalSingleton {
public:
    ThreadLocalSingleton() = default;
    ThreadLocalSingleton(const ThreadLocalSingleton&) = delete;
    ThreadLocalSingleton& operator=(const ThreadLocalSingleton&) = delete;
    virtual ~ThreadLocalSingleton() = default;

    // The calling thread's object, created on first use; null when the slot
    // could not be allocated. Allocation failure propagates as std::bad_alloc.
    static T* Get() {
        Slot& slot = s_slot;
        if (slot.index == TLS_OUT_OF_INDEXES) {
            return nullptr;
        }
        T* object = static_cast<T*>(::TlsGetValue(slot.index));
        if (object == nullptr) {
            object = new T();
            slot.Remember(object);
            ::TlsSetValue(slot.index, object);
        }
        return object;
    }

    // The calling thread's object if it has one; never creates it.
    static T* Peek() {
        return s_slot.index == TLS_OUT_OF_INDEXES ? nullptr
                                                  : static_cast<T*>(::TlsGetValue(s_slot.index));
    }

    // Destroys the calling thread's object, if it has one.
    static void ReleaseThisThread() noexcept {
        T* object = Peek();
        if (object == nullptr) {
            return;
        }
        ::TlsSetValue(s_slot.index, nullptr);
        s_slot.Forget(object);
        delete object;
    }

    // Objects alive, of all threads.
    static size_t LiveCount() noexcept {
        Slot& slot = s_slot;
        ::AcquireSRWLockShared(&slot.lock);
        size_t count = slot.objects.size();
        ::ReleaseSRWLockShared(&slot.lock);
        return count;
    }

private:
    struct Slot {
        Slot() : index(::TlsAlloc()) {}
        ~Slot() {
            for (T* object : objects) {
                delete object;
            }
            if (index != TLS_OUT_OF_INDEXES) {
                ::TlsFree(index);
            }
        }
        void Remember(T* object) {
            ::AcquireSRWLockExclusive(&lock);
            try {
                objects.push_back(object);
            } catch (...) {
                ::ReleaseSRWLockExclusive(&lock);
                delete object;
                throw;
            }
            ::ReleaseSRWLockExclusive(&lock);
        }
        void Forget(T* object) noexcept {
            ::AcquireSRWLockExclusive(&lock);
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i] == object) {
                    objects[i] = objects.back();
                    objects.pop_back();
                    break;
                }
            }
            ::ReleaseSRWLockExclusive(&lock);
        }
        DWORD index;
        SRWLOCK lock = SRWLOCK_INIT;
        std::vector<T*> objects;
    };
    inline static Slot s_slot;
};
