#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/locks.h"
#include "support/files.h"
#include "support/scratch_registry.h"

namespace {

// A name no other test (or earlier run) uses.
std::wstring UniqueName(const wchar_t* prefix) {
    return UniqueTestName(prefix + std::wstring(L"QuorvelCoreTest-"));
}

double NowMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Whether another thread can take the named mutex within waitMs.
bool OtherThreadCanLock(const std::wstring& name, uint32_t waitMs) {
    bool held = false;
    std::thread other([&] {
        OMutex mutex(name.c_str(), waitMs);
        held = mutex.Lock();
        mutex.Unlock();
    });
    other.join();
    return held;
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
    ::Sleep(100);
    EXPECT_FALSE(entered) << "held twice by this thread";
    section.Unlock();
    ::Sleep(100);
    EXPECT_FALSE(entered) << "still held once";
    section.Unlock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(OMutex, NeverLockedMakesNoSystemObject) {
    std::wstring name = UniqueName(L"Global\\");
    ::SetLastError(0xDEADBEEF);
    {
        OMutex mutex(name.c_str(), 1000);
        EXPECT_EQ(mutex.GetHandle(), nullptr);
        EXPECT_EQ(mutex.GetTimeout(), 1000u);
        EXPECT_EQ(::GetLastError(), 0xDEADBEEFu) << "construction called the system";
        OKernelHandle probe(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
        EXPECT_FALSE(probe) << "the mutex exists before any Lock";
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        ::SetLastError(0xDEADBEEF);
    }
    EXPECT_EQ(::GetLastError(), 0xDEADBEEFu) << "destruction called the system";
}

TEST(OMutex, FirstLockCreatesTheNamedMutexForEveryone) {
    std::wstring name = UniqueName(L"Global\\");
    OMutex mutex(name.c_str(), 1000);
    ASSERT_TRUE(mutex.Lock());
    ASSERT_NE(mutex.GetHandle(), nullptr);
    OKernelHandle probe(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_TRUE(probe) << "a named system mutex must exist now";
    EXPECT_FALSE(OtherThreadCanLock(name, 50)) << "held by this thread";
    HANDLE first = mutex.GetHandle();
    mutex.Unlock();
    EXPECT_TRUE(OtherThreadCanLock(name, 50));
    EXPECT_TRUE(mutex.Lock());
    EXPECT_EQ(mutex.GetHandle(), first) << "the handle is created once and kept";
    mutex.Unlock();

    // The DACL of the new mutex: generic all for Everyone. The system maps the
    // generic right to the mutex's own rights, so compare against the same
    // entry applied to a mutex made here directly.
    auto daclOf = [](HANDLE object) {
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
    };
    PSECURITY_DESCRIPTOR literal = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1, &literal, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, literal, FALSE};
    OKernelHandle reference(::CreateMutexW(&attributes, FALSE, nullptr));
    ::LocalFree(literal);
    EXPECT_EQ(daclOf(mutex.GetHandle()), daclOf(reference.Get()));
    EXPECT_NE(daclOf(mutex.GetHandle()).find(L"WD"), std::wstring::npos)
        << "Everyone must be granted access";
}

TEST(OMutex, UnnamedMutexWorksWithinTheObject) {
    OMutex mutex(OString(), 100);
    EXPECT_TRUE(mutex.Lock());
    EXPECT_NE(mutex.GetHandle(), nullptr);
    EXPECT_TRUE(mutex.Lock()) << "a mutex is re-entrant for its owner";
    mutex.Unlock();
    mutex.Unlock();
}

TEST(OMutex, LockThatTimesOutReturnsAfterTheTimeoutAndTheCallerGoesOn) {
    std::wstring name = UniqueName(L"Global\\");
    OMutex holder(name.c_str(), 1000);
    ASSERT_TRUE(holder.Lock());
    struct Row {
        uint32_t timeout;
    } rows[] = {{0}, {150}, {400}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.timeout);
        double elapsed = 0;
        bool held = true;
        bool continued = false;
        std::thread waiter([&] {
            OMutex mutex(name.c_str(), row.timeout);
            double start = NowMs();
            {
                OLock lock(mutex);
                elapsed = NowMs() - start;
                held = lock.IsHeld();
            }  // the guard's Unlock after a time-out must be harmless
            continued = true;
        });
        waiter.join();
        EXPECT_FALSE(held);
        EXPECT_TRUE(continued);
        EXPECT_GE(elapsed, row.timeout * 0.9);
        EXPECT_LT(elapsed, row.timeout + 2000.0);
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
    EXPECT_EQ(mutex.GetHandle(), nullptr);
    ::SetLastError(0xDEADBEEF);
    mutex.Unlock();
    EXPECT_EQ(::GetLastError(), 0xDEADBEEFu) << "Unlock without a handle calls nothing";

    // Once the name is free, the next Lock creates the mutex.
    event.Reset();
    EXPECT_TRUE(mutex.Lock());
    EXPECT_NE(mutex.GetHandle(), nullptr);
    mutex.Unlock();
}

// Runs core_mutex_holder beside this program.
class MutexHolderProcess {
public:
    MutexHolderProcess(const std::wstring& mutexName, const wchar_t* mode) {
        m_ready.Reset(
            ::CreateEventW(nullptr, TRUE, FALSE, (m_readyName = UniqueName(L"Local\\")).c_str()));
        m_release.Reset(
            ::CreateEventW(nullptr, TRUE, FALSE, (m_releaseName = UniqueName(L"Local\\")).c_str()));
        std::wstring exe = QvTest::ProgramFolder() + L"\\core_mutex_holder.exe";
        std::wstring command = L"\"" + exe + L"\" \"" + mutexName + L"\" \"" + m_readyName +
                               L"\" \"" + m_releaseName + L"\" " + mode;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info)) {
            m_process.Reset(info.hProcess);
            ::CloseHandle(info.hThread);
        } else {
            m_startError = ::GetLastError();
        }
    }
    ~MutexHolderProcess() {
        if (m_process) {
            ::SetEvent(m_release.Get());
            if (::WaitForSingleObject(m_process.Get(), 10000) != WAIT_OBJECT_0) {
                ::TerminateProcess(m_process.Get(), 99);
            }
        }
    }

    DWORD StartError() const { return m_startError; }
    // True once the helper holds the mutex.
    bool WaitReady() {
        HANDLE both[2] = {m_ready.Get(), m_process.Get()};
        return ::WaitForMultipleObjects(2, both, FALSE, 20000) == WAIT_OBJECT_0;
    }
    void Release() { ::SetEvent(m_release.Get()); }
    // The exit code, or 259 when the helper did not end in time.
    DWORD WaitExit() {
        ::WaitForSingleObject(m_process.Get(), 10000);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(m_process.Get(), &code);
        return code;
    }

private:
    std::wstring m_readyName;
    std::wstring m_releaseName;
    OKernelHandle m_ready;
    OKernelHandle m_release;
    OKernelHandle m_process;
    DWORD m_startError = 0;
};

TEST(OMutex, ExcludesASecondProcessUntilItReleases) {
    std::wstring name = UniqueName(L"Global\\");
    MutexHolderProcess holder(name, L"release");
    ASSERT_EQ(holder.StartError(), 0u) << "core_mutex_holder.exe must sit beside the tests";
    ASSERT_TRUE(holder.WaitReady()) << "exit code " << holder.WaitExit();

    OMutex mutex(name.c_str(), 300);
    double start = NowMs();
    bool held = mutex.Lock();
    double elapsed = NowMs() - start;
    EXPECT_FALSE(held) << "the other process holds the mutex";
    EXPECT_GE(elapsed, 270.0);
    EXPECT_LT(elapsed, 2300.0);
    mutex.Unlock();  // after the time-out: harmless, the holder keeps it
    EXPECT_FALSE(OtherThreadCanLock(name, 0));

    holder.Release();
    EXPECT_EQ(holder.WaitExit(), 0u);
    start = NowMs();
    EXPECT_TRUE(mutex.Lock());
    EXPECT_LT(NowMs() - start, 250.0);
    mutex.Unlock();
}

TEST(OMutex, MutexAbandonedByAnEndedProcessIsTakenOver) {
    std::wstring name = UniqueName(L"Global\\");
    MutexHolderProcess holder(name, L"abandon");
    ASSERT_EQ(holder.StartError(), 0u);
    ASSERT_TRUE(holder.WaitReady());
    EXPECT_EQ(holder.WaitExit(), 0u);
    OMutex mutex(name.c_str(), 2000);
    {
        OLock lock(mutex);
        EXPECT_TRUE(lock.IsHeld()) << "WAIT_ABANDONED hands the mutex over";
        EXPECT_FALSE(OtherThreadCanLock(name, 0));
    }
    EXPECT_TRUE(OtherThreadCanLock(name, 0)) << "the guard must release an abandoned mutex";
}

}  // namespace
