#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/handles.h"
#include "core/ostring.h"

// A lock that one thread takes and the same thread releases.
//
// Lock never blocks forever on a failure and never throws: callers go on after
// it returns whatever happened. Its result says whether the caller really holds
// the lock (false after a time-out, a failed wait or a mutex that could not be
// created) for the rare caller that wants to know; everyone else ignores it.
// Unlock is safe to call after a Lock that returned false.
class OSynchronizer {
public:
    OSynchronizer() = default;
    OSynchronizer(const OSynchronizer&) = delete;
    OSynchronizer& operator=(const OSynchronizer&) = delete;
    virtual ~OSynchronizer() = default;

    virtual bool Lock() = 0;
    virtual void Unlock() = 0;
};

// Lock of the threads of one process; re-entrant for the owning thread (each
// Lock needs its Unlock). Construction allocates, and throws std::bad_alloc
// when that fails.
class OCriticalSection : public OSynchronizer {
public:
    OCriticalSection();
    ~OCriticalSection() override;

    // EnterCriticalSection; always true.
    bool Lock() override;
    void Unlock() override;

private:
    // On the heap, so the section never moves while a thread waits on it.
    std::unique_ptr<CRITICAL_SECTION> m_section;
};

// Named system mutex shared by every process (and every OMutex object) that
// uses the same name; an empty name makes a private, unnamed mutex. Its
// descriptor grants everyone full access, so services and users meet on it.
//
// Construction makes no system call: the mutex is created, or the existing one
// opened, at the first Lock, and again at the next Lock if that failed. Lock
// waits at most the time-out; after a time-out, an abandoned mutex or a failed
// wait the caller goes on as if it held the lock. An abandoned mutex is in fact
// owned (its last owner died holding it) and Lock returns true for it.
//
// The lazy creation is not itself guarded: lock the object once on one thread
// (or before sharing it) before several threads use it.
class OMutex : public OSynchronizer {
public:
    // The descriptor given to a newly created mutex: everyone, generic all,
    // inherited by objects and containers.
    static constexpr const wchar_t* kEveryoneEntry = L"(A;OICI;GA;;;WD)";

    OMutex(const OString& name, uint32_t timeoutMs);
    ~OMutex() override = default;

    // True when the wait ended with the mutex owned (signalled or abandoned).
    bool Lock() override;
    // The same wait for at most timeoutMs, telling a time-out from a failure.
    enum class Wait { Owned, TimedOut, Failed };
    Wait Acquire(uint32_t timeoutMs);
    // ReleaseMutex when a handle exists; harmless (ERROR_NOT_OWNER) after a
    // Lock that timed out.
    void Unlock() override;

    HANDLE GetHandle() const noexcept { return m_handle.Get(); }
    const OString& GetName() const noexcept { return m_name; }
    uint32_t GetTimeout() const noexcept { return m_timeoutMs; }

private:
    bool Create();

    OKernelHandle m_handle;
    uint32_t m_timeoutMs;
    OString m_name;
};

// Takes a lock for one scope and releases it at the end, whatever the wait
// returned: after WAIT_ABANDONED the mutex is owned and must be released, and
// after a time-out the release is a harmless no-op.
class OLock {
public:
    explicit OLock(OSynchronizer& lock) : m_lock(lock), m_held(lock.Lock()) {}
    OLock(const OLock&) = delete;
    OLock& operator=(const OLock&) = delete;
    ~OLock() { m_lock.Unlock(); }

    // Whether the lock is really held (false after a time-out or failure).
    bool IsHeld() const noexcept { return m_held; }

private:
    OSynchronizer& m_lock;
    bool m_held;
};

// Holds a slim reader/writer lock for one scope, shared or exclusive. For
// state touched briefly by several threads where a wait on a condition
// variable (SleepConditionVariableSRW) needs the lock itself.
class OSrwHold {
public:
    OSrwHold(SRWLOCK& lock, bool exclusive) : m_lock(lock), m_exclusive(exclusive) {
        exclusive ? ::AcquireSRWLockExclusive(&lock) : ::AcquireSRWLockShared(&lock);
    }
    OSrwHold(const OSrwHold&) = delete;
    OSrwHold& operator=(const OSrwHold&) = delete;
    ~OSrwHold() {
        m_exclusive ? ::ReleaseSRWLockExclusive(&m_lock) : ::ReleaseSRWLockShared(&m_lock);
    }

private:
    SRWLOCK& m_lock;
    bool m_exclusive;
};
