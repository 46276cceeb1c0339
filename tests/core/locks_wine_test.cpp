#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/locks.h"
#include "support/print_server.h"
#include "support/process.h"
#include "support/scratch_registry.h"

namespace {

std::wstring UniqueName(const wchar_t* prefix) {
    return UniqueTestName(prefix + std::wstring(L"QuorvelCoreTest-"));
}

double NowMs() {
    return static_cast<double>(::GetTickCount64());
}

bool OtherThreadCanLock(const std::wstring& name, uint32_t waitMs) {
    return LockableFromAnotherThread(name.c_str(), waitMs);
}

// The DACL of a kernel object as SDDL text.
std::wstring DaclOf(HANDLE object) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* sddl = nullptr;
    std::wstring text = L"<none>";
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        text = sddl;
    }
    ::LocalFree(sddl);
    ::LocalFree(descriptor);
    return text;
}

TEST(OCriticalSection, IsReentrantAndExcludesOtherThreads) {
    OCriticalSection section;
    EXPECT_TRUE(section.Lock());
    EXPECT_TRUE(section.Lock());  // the owner enters again without blocking
    std::atomic<bool> entered{false};
    std::thread other([&] {
        OLock lock(section);
        entered = true;
    });
    section.Unlock();
    ::Sleep(100);
    EXPECT_FALSE(entered) << "still held once";
    section.Unlock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(OMutex, FirstLockCreatesTheNamedMutexForEveryone) {
    std::wstring name = UniqueName(L"Global\\");
    OMutex mutex(name.c_str(), 1000);
    EXPECT_EQ(mutex.GetHandle(), nullptr);
    EXPECT_FALSE(OKernelHandle(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str())))
        << "the mutex exists before any Lock";
    ASSERT_TRUE(mutex.Lock());
    EXPECT_TRUE(OKernelHandle(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str())));
    EXPECT_FALSE(OtherThreadCanLock(name, 50)) << "held by this thread";
    HANDLE first = mutex.GetHandle();
    mutex.Unlock();
    EXPECT_TRUE(OtherThreadCanLock(name, 50));
    EXPECT_TRUE(mutex.Lock());
    EXPECT_EQ(mutex.GetHandle(), first) << "the handle is created once and kept";
    mutex.Unlock();

    // Generic all for Everyone, as the system maps it for a mutex.
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, everyone, FALSE};
    OKernelHandle reference(::CreateMutexW(&attributes, FALSE, nullptr));
    ::LocalFree(everyone);
    EXPECT_EQ(DaclOf(mutex.GetHandle()), DaclOf(reference.Get()));
    OMutex unnamed(OString(), 100);
    EXPECT_TRUE(unnamed.Lock());
    EXPECT_TRUE(unnamed.Lock()) << "a mutex is re-entrant for its owner";
    unnamed.Unlock();
    unnamed.Unlock();
}

TEST(OMutex, LockThatTimesOutReturnsAfterTheTimeoutAndTheCallerGoesOn) {
    std::wstring name = UniqueName(L"Global\\");
    OMutex holder(name.c_str(), 1000);
    ASSERT_TRUE(holder.Lock());
    for (uint32_t timeout : {0u, 300u}) {
        SCOPED_TRACE(timeout);
        double elapsed = 0;
        bool held = true;
        std::thread waiter([&] {
            OMutex mutex(name.c_str(), timeout);
            double start = NowMs();
            OLock lock(mutex);  // its Unlock after a time-out must be harmless
            elapsed = NowMs() - start;
            held = lock.IsHeld();
        });
        waiter.join();
        EXPECT_FALSE(held) << "a time-out is not a held lock";
        EXPECT_GE(elapsed + 20, timeout * 0.9);
        EXPECT_LT(elapsed, timeout + 2000.0);
    }
    EXPECT_FALSE(OtherThreadCanLock(name, 0)) << "the holder still owns the mutex";
    holder.Unlock();
    EXPECT_TRUE(OtherThreadCanLock(name, 0));
}

TEST(OMutex, FailedCreationDoesNotWaitAndUnlockDoesNothing) {
    // A name taken by an event: CreateMutexW fails with ERROR_INVALID_HANDLE.
    std::wstring name = UniqueName(L"Local\\");
    OKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event);
    OMutex mutex(name.c_str(), 5000);
    double start = NowMs();
    EXPECT_FALSE(mutex.Lock());
    EXPECT_LT(NowMs() - start, 1000.0) << "no wait without a mutex";
    ::SetLastError(0xDEADBEEF);
    mutex.Unlock();
    EXPECT_EQ(::GetLastError(), 0xDEADBEEFu) << "Unlock without a handle calls nothing";
    event.Reset();
    EXPECT_TRUE(mutex.Lock()) << "once the name is free, the next Lock creates the mutex";
    mutex.Unlock();
}

// A mutex whose owner, core_mutex_holder, ended holding it.
TEST(OMutex, MutexAbandonedByAnEndedProcessIsTakenOver) {
    std::wstring name = UniqueName(L"Global\\");
    ASSERT_EQ(QvTest::RunProgram(L"core_mutex_holder.exe \"" + name + L"\"").exitCode, 0u)
        << "core_mutex_holder.exe must sit beside us and take the mutex";
    OMutex mutex(name.c_str(), 2000);
    {
        OLock lock(mutex);
        EXPECT_TRUE(lock.IsHeld()) << "WAIT_ABANDONED hands the mutex over";
        EXPECT_FALSE(OtherThreadCanLock(name, 0));
    }
    EXPECT_TRUE(OtherThreadCanLock(name, 0)) << "the guard must release an abandoned mutex";
}

}  // namespace
