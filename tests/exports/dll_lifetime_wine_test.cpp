// A host that loads the library, uses it on several threads and frees it, again
// and again, must get back what each round took: TLS slots, handles, memory.

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "net/loopback_server.h"
#include "quorvel_driver_utility.h"
#include "support/files.h"

namespace {

// Slots still free: allocate until none is left, then give them all back.
int FreeTlsSlots() {
    std::vector<DWORD> taken;
    for (DWORD slot = ::TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = ::TlsAlloc()) {
        taken.push_back(slot);
    }
    for (DWORD slot : taken) {
        ::TlsFree(slot);
    }
    return static_cast<int>(taken.size());
}

// Open handles of this process, probed value by value (Wine answers 0 to
// GetProcessHandleCount).
int OpenHandles() {
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
size_t BusyHeapBytes() {
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

struct Exports {
    QV_PFN_DI_OPEN open = nullptr;
    QV_PFN_DI_GET_PRINTER_STATUS_TEXT statusText = nullptr;
    QV_PFN_DI_IS_COMMAND_SUPPORTED isSupported = nullptr;
    QV_PFN_DI_CLOSE close = nullptr;
    QV_PFN_RFID_ENCODE_EPC encodeEpc = nullptr;
    QV_PFN_RFID_ENCODE_RAW encodeRaw = nullptr;
    bool ok = true;  // every result as expected
};

DWORD WINAPI UseTheLibrary(void* parameter) {
    auto* exports = static_cast<Exports*>(parameter);
    for (int i = 0; i < 20; ++i) {
        HDRIVERINTERFACE driver = exports->open(nullptr);
        ::SysFreeString(exports->statusText(driver));
        exports->ok = exports->isSupported(driver, 1) && exports->ok;
        exports->close(driver);
        BSTR tag = exports->encodeEpc(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2);
        exports->ok =
            tag != nullptr && std::wstring(tag) == L"3074257BF7194E4000001A85" && exports->ok;
        ::SysFreeString(tag);
        // Text beyond ASCII takes the other encoder.
        BSTR raw = exports->encodeRaw(L"\u00E9255", 2);
        exports->ok = raw != nullptr && std::wstring(raw) == L"FF" && exports->ok;
        ::SysFreeString(raw);
    }
    return 0;
}

using ProbeExchange = int (*)(const wchar_t* host, int port, int speedup);

struct NetUse {
    ProbeExchange exchange = nullptr;
    int port = 0;
    int refusedPort = 0;
    bool ok = true;
};

// A refused connection (a SocketException thrown and caught inside the
// library) and an exchange whose connection goes idle and is closed by the
// library's close thread (1000 times faster than in life).
DWORD WINAPI UseTheSockets(void* parameter) {
    auto* use = static_cast<NetUse*>(parameter);
    bool refused = use->exchange(L"127.0.0.1", use->refusedPort, 1000) == WSAECONNREFUSED;
    bool answered = use->exchange(L"127.0.0.1", use->port, 1000) == 0;
    use->ok = refused && answered && use->ok;
    return 0;
}

bool WaitUntilUnloaded(const wchar_t* name, DWORD timeoutMs) {
    for (DWORD waited = 0; ::GetModuleHandleW(name) != nullptr; waited += 10) {
        if (waited > timeoutMs) {
            return false;
        }
        ::Sleep(10);
    }
    return true;
}

// The same code built as a probe DLL, with the pool's sockets: load, two
// threads making connections, free; the close thread leaves last.
bool LoadUseSocketsAndFree(const QvTest::LoopbackServer& server) {
    std::wstring path = QvTest::ProgramFolder() + L"\\qv_net_probe.dll";
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (module == nullptr) {
        return false;
    }
    NetUse use;
    use.exchange = reinterpret_cast<ProbeExchange>(::GetProcAddress(module, "QvProbeExchange"));
    use.port = server.Port();
    use.refusedPort = QvTest::RefusedPort();
    if (use.exchange != nullptr) {
        HANDLE threads[2] = {};
        for (HANDLE& thread : threads) {
            thread = ::CreateThread(nullptr, 0, &UseTheSockets, &use, 0, nullptr);
        }
        for (HANDLE thread : threads) {
            ::WaitForSingleObject(thread, INFINITE);
            ::CloseHandle(thread);
        }
    }
    ::FreeLibrary(module);
    return use.exchange != nullptr && use.ok && WaitUntilUnloaded(L"qv_net_probe.dll", 10000) &&
           server.WaitAllClosed(10000);
}

// One round: load, four threads using the exports, free.
bool LoadUseAndFree() {
    std::wstring path = QvTest::ProgramFolder() + L"\\QuorvelDriverUtility.dll";
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (module == nullptr) {
        return false;
    }
    Exports exports;
    exports.open = reinterpret_cast<QV_PFN_DI_OPEN>(::GetProcAddress(module, QV_EXPORT_DI_OPEN));
    exports.statusText = reinterpret_cast<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(
        ::GetProcAddress(module, QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT));
    exports.isSupported = reinterpret_cast<QV_PFN_DI_IS_COMMAND_SUPPORTED>(
        ::GetProcAddress(module, QV_EXPORT_DI_IS_COMMAND_SUPPORTED));
    exports.close = reinterpret_cast<QV_PFN_DI_CLOSE>(::GetProcAddress(module, QV_EXPORT_DI_CLOSE));
    exports.encodeEpc = reinterpret_cast<QV_PFN_RFID_ENCODE_EPC>(
        ::GetProcAddress(module, QV_EXPORT_RFID_ENCODE_EPC));
    exports.encodeRaw = reinterpret_cast<QV_PFN_RFID_ENCODE_RAW>(
        ::GetProcAddress(module, QV_EXPORT_RFID_ENCODE_RAW));
    bool found = exports.open != nullptr && exports.statusText != nullptr &&
                 exports.isSupported != nullptr && exports.close != nullptr &&
                 exports.encodeEpc != nullptr && exports.encodeRaw != nullptr;
    if (found) {
        // Plain Windows threads: the test program's own runtime stays out of
        // the count.
        HANDLE threads[4] = {};
        for (HANDLE& thread : threads) {
            thread = ::CreateThread(nullptr, 0, &UseTheLibrary, &exports, 0, nullptr);
        }
        for (HANDLE thread : threads) {
            if (thread != nullptr) {
                ::WaitForSingleObject(thread, INFINITE);
                ::CloseHandle(thread);
            }
        }
    }
    ::FreeLibrary(module);
    return found && exports.ok;
}

TEST(DllLifetime, EachLoadUseAndFreeGivesBackSlotsHandlesAndMemory) {
    QvTest::LoopbackServer server;
    // The first rounds load what Wine keeps for the process (the spooler's
    // libraries, caches, Winsock); after them a round must cost nothing.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(LoadUseAndFree()) << "QuorvelDriverUtility.dll beside the test program";
        ASSERT_TRUE(LoadUseSocketsAndFree(server)) << "qv_net_probe.dll beside the test program";
    }
    int slots = FreeTlsSlots();
    int handles = OpenHandles();
    size_t heap = BusyHeapBytes();
    constexpr int kRounds = 30;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(LoadUseAndFree()) << "round " << i;
        ASSERT_TRUE(LoadUseSocketsAndFree(server)) << "round " << i;
    }
    EXPECT_EQ(FreeTlsSlots(), slots) << "TLS slots kept by freed copies of the library";
    // Threads that ended a moment ago (the servers' and the close threads)
    // may still hold a handle inside Wine; a kept handle stays.
    int kept = OpenHandles();
    for (int i = 0; i < 10 && kept > handles; ++i) {
        ::Sleep(100);
        kept = OpenHandles();
    }
    EXPECT_EQ(kept, handles) << "handles kept by freed copies of the library";
    // A lost pool of the runtime was 73 KB a round; allow a little for Wine's
    // own caches and heap bookkeeping.
    size_t grown = BusyHeapBytes() - heap;
    EXPECT_LT(static_cast<long long>(grown), 8LL * 1024 * kRounds / 4)
        << "heap bytes kept per round: " << grown / kRounds;
}

// A host that frees the library while a connection is idle: the close thread
// keeps the module loaded until it has closed the connection, then leaves.
TEST(DllLifetime, CloseThreadKeepsTheLibraryLoadedUntilItEnds) {
    QvTest::LoopbackServer server;
    std::wstring path = QvTest::ProgramFolder() + L"\\qv_net_probe.dll";
    HMODULE module = ::LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    auto exchange = reinterpret_cast<ProbeExchange>(::GetProcAddress(module, "QvProbeExchange"));
    ASSERT_NE(exchange, nullptr);
    // 100 times faster: the connection stays idle for 1.2 s.
    ASSERT_EQ(exchange(L"127.0.0.1", server.Port(), 100), 0);
    ::FreeLibrary(module);
    EXPECT_NE(::GetModuleHandleW(L"qv_net_probe.dll"), nullptr) << "unloaded under its thread";
    EXPECT_EQ(server.Open(), 1);
    EXPECT_TRUE(WaitUntilUnloaded(L"qv_net_probe.dll", 20000));
    EXPECT_TRUE(server.WaitAllClosed(5000)) << "the idle connection was closed";
}

}  // namespace
