// A host that loads the library, uses it on several threads and frees it, again
// and again, must get back what each round took: TLS slots, handles, memory.

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <atomic>

#include <string>
#include <vector>

#include "net/loopback_server.h"
#include "quorvel_driver_utility.h"
#include "sim/process_usage.h"
#include "support/files.h"
#include "support/wine_printer.h"

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

template <typename T>
T Find(HMODULE module, const char* name) {
    return reinterpret_cast<T>(::GetProcAddress(module, name));
}

HMODULE LoadBeside(const wchar_t* name) {
    return ::LoadLibraryW((QvTest::ProgramFolder() + L"\\" + name).c_str());
}

// Plain Windows threads: the test program's own runtime stays out of the count.
void OnThreads(int count, LPTHREAD_START_ROUTINE routine, void* parameter) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        threads.push_back(::CreateThread(nullptr, 0, routine, parameter, 0, nullptr));
    }
    for (HANDLE thread : threads) {
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
    }
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

struct Exports {
    QV_PFN_DI_OPEN open;
    QV_PFN_DI_GET_PRINTER_STATUS_TEXT statusText;
    QV_PFN_DI_IS_COMMAND_SUPPORTED isSupported;
    QV_PFN_DI_CLOSE close;
    QV_PFN_RFID_ENCODE_EPC encodeEpc;
    QV_PFN_RFID_ENCODE_RAW encodeRaw;
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

// One round: load, four threads using the exports, free.
bool LoadUseAndFree() {
    HMODULE module = LoadBeside(L"QuorvelDriverUtility.dll");
    Exports exports{
        Find<QV_PFN_DI_OPEN>(module, QV_EXPORT_DI_OPEN),
        Find<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(module, QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT),
        Find<QV_PFN_DI_IS_COMMAND_SUPPORTED>(module, QV_EXPORT_DI_IS_COMMAND_SUPPORTED),
        Find<QV_PFN_DI_CLOSE>(module, QV_EXPORT_DI_CLOSE),
        Find<QV_PFN_RFID_ENCODE_EPC>(module, QV_EXPORT_RFID_ENCODE_EPC),
        Find<QV_PFN_RFID_ENCODE_RAW>(module, QV_EXPORT_RFID_ENCODE_RAW)};
    bool found = exports.open && exports.statusText && exports.isSupported && exports.close &&
                 exports.encodeEpc && exports.encodeRaw;
    if (found) {
        OnThreads(4, &UseTheLibrary, &exports);
    }
    ::FreeLibrary(module);
    return found && exports.ok;
}

using ProbeExchange = int (*)(const wchar_t* host, int port, int speedup);

struct NetUse {
    ProbeExchange exchange;
    int port;
    int refusedPort;
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

// The same code built as a probe DLL, with the pool's sockets: load, two
// threads making connections, free; the close thread leaves last.
bool LoadUseSocketsAndFree(const QvTest::LoopbackServer& server) {
    HMODULE module = LoadBeside(L"qv_net_probe.dll");
    NetUse use{Find<ProbeExchange>(module, "QvProbeExchange"), server.Port(),
               QvTest::RefusedPort()};
    if (use.exchange != nullptr) {
        OnThreads(2, &UseTheSockets, &use);
    }
    ::FreeLibrary(module);
    return use.exchange != nullptr && use.ok && WaitUntilUnloaded(L"qv_net_probe.dll", 10000) &&
           server.WaitAllClosed(10000);
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
    int handles = QvSim::OpenHandles();
    size_t heap = QvSim::BusyHeapBytes();
    constexpr int kRounds = 30;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(LoadUseAndFree()) << "round " << i;
        ASSERT_TRUE(LoadUseSocketsAndFree(server)) << "round " << i;
    }
    EXPECT_EQ(FreeTlsSlots(), slots) << "TLS slots kept by freed copies of the library";
    // Threads that ended a moment ago (the servers' and the close threads)
    // may still hold a handle inside Wine; a kept handle stays.
    int kept = QvSim::OpenHandles();
    for (int i = 0; i < 10 && kept > handles; ++i) {
        ::Sleep(100);
        kept = QvSim::OpenHandles();
    }
    EXPECT_EQ(kept, handles) << "handles kept by freed copies of the library";
    // A lost pool of the runtime was 73 KB a round; allow a little for Wine's
    // own caches and heap bookkeeping.
    size_t grown = QvSim::BusyHeapBytes() - heap;
    EXPECT_LT(static_cast<long long>(grown), 8LL * 1024 * kRounds / 4)
        << "heap bytes kept per round: " << grown / kRounds;
}

// A host that frees the library while a connection is idle: the close thread
// keeps the module loaded until it has closed the connection, then leaves.
TEST(DllLifetime, CloseThreadKeepsTheLibraryLoadedUntilItEnds) {
    QvTest::LoopbackServer server;
    HMODULE module = LoadBeside(L"qv_net_probe.dll");
    auto exchange = Find<ProbeExchange>(module, "QvProbeExchange");
    ASSERT_NE(exchange, nullptr);
    // 100 times faster: the connection stays idle for 1.2 s.
    ASSERT_EQ(exchange(L"127.0.0.1", server.Port(), 100), 0);
    ::FreeLibrary(module);
    EXPECT_NE(::GetModuleHandleW(L"qv_net_probe.dll"), nullptr) << "unloaded under its thread";
    EXPECT_EQ(server.Open(), 1);
    EXPECT_TRUE(WaitUntilUnloaded(L"qv_net_probe.dll", 20000));
    EXPECT_TRUE(server.WaitAllClosed(5000)) << "the idle connection was closed";
}

// Threads of this process, from the system's list.
int Threads() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    }
    ::CloseHandle(snapshot);
    return count;
}

std::atomic<int> g_changes{0};
void __stdcall CountChange(HDRIVERINTERFACE, unsigned long long, void*) {
    ++g_changes;
}

// A host that frees the library while interfaces watch, their callbacks
// registered and never closed: the watchers stop with it and no thread of
// the library is left behind.
TEST(DllLifetime, UnloadStopsWatchersAndLeavesNoThread) {
    QvTest::WinePrinter printer(L"unload");
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    // The first round starts what Wine keeps for the process (the spooler's
    // and the thread pool's own threads); after it a round must leave none.
    int before = 0;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        HMODULE module = LoadBeside(L"QuorvelDriverUtility.dll");
        auto open = Find<QV_PFN_DI_OPEN>(module, QV_EXPORT_DI_OPEN);
        auto watch = Find<QV_PFN_QVDI_WATCH_STATUS>(module, "QVDI_WatchStatus");
        auto callback = Find<QV_PFN_QVDI_SET_STATUS_CALLBACK>(module, "QVDI_SetStatusCallback");
        ASSERT_TRUE(open && watch && callback);
        g_changes = 0;
        for (int i = 0; i < 3; ++i) {
            HDRIVERINTERFACE driver = open(handle.Get());
            ASSERT_TRUE(callback(driver, &CountChange, nullptr));
            ASSERT_TRUE(watch(driver, 100));
        }
        for (int waited = 0; g_changes.load() == 0 && waited < 5000; waited += 10) {
            ::Sleep(10);
        }
        // Interfaces that joined after the first refresh wait for a change.
        ASSERT_GE(g_changes.load(), 1) << "the first refresh was heard";
        ::FreeLibrary(module);
        EXPECT_EQ(::GetModuleHandleW(L"QuorvelDriverUtility.dll"), nullptr);
        const int heard = g_changes.load();
        int left = Threads();
        // Wine's pool threads leave 5 s after their last work.
        for (int waited = 0; (round == 0 || left > before) && waited < 7000; waited += 100) {
            ::Sleep(100);
            left = Threads();
        }
        if (round == 0) {
            before = left;
        }
        EXPECT_EQ(left, before) << "threads left after the library went";
        EXPECT_EQ(g_changes.load(), heard) << "a callback after the unload";
    }
}

}  // namespace
