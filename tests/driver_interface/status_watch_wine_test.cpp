#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dal/sim_dal_printer.h"
#include "driver_interface/di_exports.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "sim/label_printer.h"
#include "sim/xpml_server_process.h"
#include "support/sim_server_test.h"
#include "support/files.h"
#include "support/printer_cache.h"

// The status watch on a real Wine printer whose XPML server is the simulated
// one: its per-printer states, silence and request counters show what the
// watcher asked and when, and the host's side is timed through the exports.

namespace {

using Clock = std::chrono::steady_clock;
using QvTest::SimDalPrinter;

constexpr DWORD kIntervalMs = 200;
constexpr DWORD kTimeoutMs = 300;  // a silent printer's refresh gives up after this

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

QV_STATUS_SNAPSHOT Snapshot(HDRIVERINTERFACE driver) {
    QV_STATUS_SNAPSHOT snapshot = {};
    snapshot.cbSize = sizeof snapshot;
    EXPECT_TRUE(QVDI_GetStatusSnapshot(driver, &snapshot)) << ::GetLastError();
    return snapshot;
}

class StatusWatchTest : public QvTest::SimServerTest {
protected:
    QvTest::FreshPrinterCache m_freshCache;

    void SetUp() override {
        SimServerTest::SetUp();
        if (!Ready()) {
            return;
        }
        if (!m_printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << m_printer.Error();
        }
        ASSERT_TRUE(QvSim::FollowXpmlServer(Name(), s_server->Port()));
        SetNetwork("Connection Timeout", kTimeoutMs);
        SetNetwork("Connection Retries", 0);
        m_handle = m_printer.Open();
        ASSERT_TRUE(m_handle);
        Say({{"status", "Ready"}, {"severity", "1"}, {"flags2", "00000000"}});
    }
    void TearDown() override {
        for (HDRIVERINTERFACE driver : m_drivers) {
            DI_Close_impl(driver);
        }
        Say({{"silent", "0"}});
        QvSim::SetDriverSetting(Name(), L"Status", L"Status Watch Interval", 0);
        QvSim::ForgetXpmlServer(Name());
        m_network.Delete("NETWORK:Connection Timeout", false);
        m_network.Delete("NETWORK:Connection Retries", false);
    }

    const std::wstring& Name() const { return m_printer.Printer().Name(); }
    std::string NarrowName() const { return std::string(Name().begin(), Name().end()); }
    void SetNetwork(const char* name, DWORD value) {
        ASSERT_EQ(m_network.SetValue(OString("NETWORK:") + name, &value, sizeof value, REG_DWORD),
                  4);
    }
    // The printer's own states (the server's other printers keep theirs).
    void Say(std::vector<std::pair<std::string, std::string>> states) {
        states.insert(states.begin(), {"printer", NarrowName()});
        ASSERT_FALSE(s_server->Control(states).empty());
    }
    int64_t Asked() const { return s_server->Counter("printer:" + NarrowName()); }

    HDRIVERINTERFACE Open(DWORD intervalMs = kIntervalMs) {
        HDRIVERINTERFACE driver = DI_Open_impl(m_handle.Get());
        m_drivers.push_back(driver);
        if (intervalMs != 0) {
            EXPECT_TRUE(QVDI_WatchStatus(driver, intervalMs)) << ::GetLastError();
        }
        return driver;
    }
    void Close(HDRIVERINTERFACE driver) {
        DI_Close_impl(driver);
        std::erase(m_drivers, driver);
    }
    // Waits for the first refresh's answer.
    uint64_t Settled(HDRIVERINTERFACE driver) {
        unsigned long long sequence = 0;
        EXPECT_TRUE(QVDI_WaitForStatusChange(driver, &sequence, 5000));
        return sequence;
    }

    SimDalPrinter m_printer{L"watch", L"qvsimdal"};
    PrinterRegistry m_network{RegistryFactsOf(OString(m_printer.Printer().Name().c_str()))};
    OPrinterHandle m_handle;
    std::vector<HDRIVERINTERFACE> m_drivers;
};

TEST_F(StatusWatchTest, ManyInterfacesAndThreadsShareOneRefreshPerInterval) {
    std::vector<HDRIVERINTERFACE> drivers;
    for (int i = 0; i < 4; ++i) {
        drivers.push_back(Open());
    }
    Settled(drivers[0]);
    const int64_t before = Asked();
    const int64_t flagsBefore = s_server->Counter("state:Status Flags 2");
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            while (!stop.load()) {
                ::SysFreeString(DI_GetPrinterStatusText_impl(drivers[i % 4]));
                ++calls;
                // A host asks often, not in a spin: sixteen spinning threads on
                // two cores would measure the scheduler, not the watcher.
                ::Sleep(1);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    const int64_t asked = Asked() - before;
    EXPECT_NEAR(asked, 25, 3) << calls.load() << " status calls";
    EXPECT_EQ(s_server->Counter("state:Status Flags 2") - flagsBefore, asked)
        << "every refresh asks all four states at once";
}

TEST_F(StatusWatchTest, SilentPrinterAnswersAtOnceBacksOffAndRecovers) {
    HDRIVERINTERFACE driver = Open();
    uint64_t sequence = Settled(driver);
    EXPECT_EQ(Snapshot(driver).provenance, 0);
    Say({{"silent", "1"}});
    const int64_t before = Asked();
    const auto outage = Clock::now();
    std::vector<int64_t> callsUs;
    while (MsSince(outage) < 4000) {
        const auto start = Clock::now();
        ::SysFreeString(DI_GetPrinterStatusText_impl(driver));
        QVDI_GetPrinterStatusSeverity(driver);
        DI_GetPrinterExtendedStatusFlags_impl(driver);
        callsUs.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        ::Sleep(5);
    }
    // A call that waited for the network would take the time-out; one the
    // scheduler set aside on a busy machine takes a few ms at most.
    std::sort(callsUs.begin(), callsUs.end());
    EXPECT_LT(callsUs[callsUs.size() / 2], 1000) << "three status calls during the outage";
    EXPECT_LT(callsUs.back(), kTimeoutMs * 1000 / 2) << "the slowest three";
    const QV_STATUS_SNAPSHOT silent = Snapshot(driver);
    EXPECT_EQ(silent.provenance, 4) << "timed out";
    EXPECT_NE(silent.unreachableSince, 0u);
    EXPECT_EQ(QVDI_GetStatusProvenance(driver, nullptr), 4);
    // Without backing off: one refresh per interval plus time-out, about 8.
    // Doubling from 400 ms: refreshes at about 0, 0.7, 1.8 and 3.7 s.
    EXPECT_LE(Asked() - before, 5);
    sequence = silent.sequence;
    Say({{"silent", "0"}, {"status", "Back"}});
    const auto back = Clock::now();
    // The longest back-off (8 intervals), plus a refresh held at its time-out.
    ASSERT_TRUE(QVDI_WaitForStatusChange(driver, reinterpret_cast<unsigned long long*>(&sequence),
                                         8 * kIntervalMs + kTimeoutMs + 500));
    EXPECT_LE(MsSince(back), 8 * kIntervalMs + kTimeoutMs + 500);
    const QV_STATUS_SNAPSHOT answered = Snapshot(driver);
    EXPECT_EQ(answered.provenance, 0);
    EXPECT_EQ(answered.unreachableSince, 0u);
    EXPECT_STREQ(answered.text, L"Back");
}

// A host that hears of changes by one of the four routes.
struct Listener {
    std::atomic<uint64_t> heard{0};
    std::atomic<int> calls{0};
    static void __stdcall OnChange(HDRIVERINTERFACE, unsigned long long sequence, void* self) {
        auto* listener = static_cast<Listener*>(self);
        listener->heard = sequence;
        ++listener->calls;
    }
};

enum class Route { Wait, Callback, Message, Snapshot };

TEST_F(StatusWatchTest, EveryRouteHearsEachChangeOnceWithinAnInterval) {
    const UINT kMessage = WM_APP + 7;
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    const struct {
        Route route;
        const char* note;
    } rows[] = {{Route::Wait, "long poll"},
                {Route::Callback, "callback"},
                {Route::Message, "window message"},
                {Route::Snapshot, "snapshot"}};
    int round = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        HDRIVERINTERFACE driver = Open(0);
        Listener listener;
        ASSERT_TRUE(QVDI_SetStatusCallback(driver, &Listener::OnChange, &listener));
        ASSERT_TRUE(QVDI_SetStatusMessage(driver, window, kMessage));
        ASSERT_TRUE(QVDI_WatchStatus(driver, kIntervalMs));
        const uint64_t first = Settled(driver);
        ::Sleep(2 * kIntervalMs);  // a refresh without a change changes nothing
        ASSERT_EQ(Snapshot(driver).sequence, first);
        EXPECT_EQ(listener.calls.load(), 1) << "the first answer";
        MSG message;
        while (::PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
        }
        const std::wstring text = L"Change " + std::to_wstring(++round);
        Say({{"status", std::string(text.begin(), text.end())}});
        const auto start = Clock::now();
        uint64_t heard = 0;
        while (heard == 0 && MsSince(start) < 2000) {
            switch (row.route) {
                case Route::Wait: {
                    unsigned long long sequence = first;
                    heard = QVDI_WaitForStatusChange(driver, &sequence, 2000) ? sequence : 0;
                    break;
                }
                case Route::Callback:
                    heard = listener.heard != first ? listener.heard.load() : 0;
                    break;
                case Route::Message:
                    if (::PeekMessageW(&message, window, kMessage, kMessage, PM_REMOVE)) {
                        EXPECT_EQ(message.lParam, reinterpret_cast<LPARAM>(driver));
                        heard = message.wParam;
                    }
                    break;
                case Route::Snapshot:
                    heard = Snapshot(driver).sequence != first ? Snapshot(driver).sequence : 0;
                    break;
            }
            if (heard == 0) {
                ::Sleep(1);
            }
        }
        EXPECT_LE(MsSince(start), kIntervalMs + 100);
        EXPECT_EQ(heard, first + 1);
        QvTest::TakeBstr(DI_GetPrinterStatusText_impl(driver));
        EXPECT_EQ(QvTest::TakeBstr(DI_GetPrinterStatusText_impl(driver)), text);
        ::Sleep(2 * kIntervalMs);
        EXPECT_EQ(Snapshot(driver).sequence, first + 1) << "no change, no new sequence";
        EXPECT_EQ(listener.calls.load(), 2) << "the first answer and the change";
        Close(driver);
    }
    ::DestroyWindow(window);
}

// A callback that uses its own handle, and one that another thread (or the
// callback itself, or DI_Close) unregisters while it runs.
struct Reentrant {
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> finished{false};
    std::atomic<bool> answered{false};
    bool unregisterInside = false;
    DWORD holdMs = 0;
    ~Reentrant() { ::CloseHandle(started); }
    static void __stdcall OnChange(HDRIVERINTERFACE driver, unsigned long long, void* context) {
        auto* self = static_cast<Reentrant*>(context);
        self->finished = false;
        ::SetEvent(self->started);
        BSTR text = DI_GetPrinterStatusText_impl(driver);
        QV_STATUS_SNAPSHOT snapshot = {};
        snapshot.cbSize = sizeof snapshot;
        self->answered = text != nullptr && QVDI_GetStatusSnapshot(driver, &snapshot) &&
                         std::wstring(text) == snapshot.text;
        ::SysFreeString(text);
        if (self->unregisterInside) {
            QVDI_SetStatusCallback(driver, nullptr, nullptr);
        }
        ::Sleep(self->holdMs);
        self->finished = true;
    }
};

TEST_F(StatusWatchTest, CallbackRules) {
    const struct {
        const char* note;
        bool unregisterInside;
        bool close;
    } rows[] = {{"unregistered from another thread", false, false},
                {"unregistered from inside", true, false},
                {"DI_Close while it runs", false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        HDRIVERINTERFACE driver = Open(0);
        Reentrant callback;
        callback.unregisterInside = row.unregisterInside;
        callback.holdMs = 400;
        ASSERT_TRUE(QVDI_SetStatusCallback(driver, &Reentrant::OnChange, &callback));
        ASSERT_TRUE(QVDI_WatchStatus(driver, kIntervalMs));
        ASSERT_EQ(::WaitForSingleObject(callback.started, 5000), WAIT_OBJECT_0);
        if (row.close) {
            Close(driver);
        } else {
            EXPECT_TRUE(QVDI_SetStatusCallback(driver, nullptr, nullptr));
        }
        EXPECT_TRUE(callback.finished) << "returned before the running callback ended";
        EXPECT_TRUE(callback.answered) << "the handle answered inside its callback";
        ::ResetEvent(callback.started);
        if (!row.close) {
            Say({{"status", row.note}});
            EXPECT_EQ(::WaitForSingleObject(callback.started, 3 * kIntervalMs), WAIT_TIMEOUT)
                << "called after unregistering";
            Close(driver);
        }
    }
}

TEST_F(StatusWatchTest, DriverSettingWatchesFromOpenSoDecoratedExportsNeverWait) {
    ASSERT_TRUE(QvSim::SetDriverSetting(Name(), L"Status", L"Status Watch Interval", kIntervalMs));
    Say({{"silent", "1"}});
    HDRIVERINTERFACE driver = Open(0);
    const auto start = Clock::now();
    int64_t slowestUs = 0;
    std::vector<int> provenances;
    while (MsSince(start) < 1500) {
        const auto call = Clock::now();
        ::SysFreeString(DI_GetPrinterStatusText_impl(driver));
        slowestUs = std::max<int64_t>(
            slowestUs,
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - call).count());
        const int provenance = QVDI_GetStatusProvenance(driver, nullptr);
        if (provenances.empty() || provenances.back() != provenance) {
            provenances.push_back(provenance);
        }
        ::Sleep(10);
    }
    EXPECT_LT(slowestUs, 50000) << "a call waited for the silent printer";
    EXPECT_EQ(provenances, (std::vector<int>{16, 4})) << "no answer yet, then timed out";
}

// Printers that stop answering together wait out their deadlines without
// holding the refreshes of one that still answers.
TEST_F(StatusWatchTest, PrintersGoneSilentDoNotDelayOneThatAnswers) {
    SetNetwork("Connection Retries", 2);  // a silent refresh: 3 x kTimeoutMs
    std::vector<std::unique_ptr<SimDalPrinter>> quiet;
    std::vector<OPrinterHandle> handles;
    std::vector<HDRIVERINTERFACE> drivers;
    for (int i = 0; i < 12; ++i) {
        quiet.push_back(
            std::make_unique<SimDalPrinter>(L"quiet" + std::to_wstring(i), L"qvsimdal"));
        ASSERT_TRUE(quiet.back()->Ok()) << i;
        ASSERT_TRUE(QvSim::FollowXpmlServer(quiet.back()->Printer().Name(), s_server->Port()));
        handles.push_back(quiet.back()->Open());
        drivers.push_back(DI_Open_impl(handles.back().Get()));
        EXPECT_TRUE(QVDI_WatchStatus(drivers.back(), kIntervalMs));
    }
    HDRIVERINTERFACE driver = Open();
    for (HDRIVERINTERFACE other : drivers) {
        Settled(other);
    }
    Settled(driver);
    for (const auto& printer : quiet) {
        const std::wstring& name = printer->Printer().Name();
        ASSERT_FALSE(
            s_server->Control({{"printer", std::string(name.begin(), name.end())}, {"silent", "1"}})
                .empty());
    }
    const int64_t before = Asked();
    const auto start = Clock::now();
    unsigned long oldestMs = 0;
    while (MsSince(start) < 3000) {
        oldestMs = std::max(oldestMs, Snapshot(driver).ageMs);
        ::Sleep(20);
    }
    EXPECT_LT(oldestMs, 2 * kIntervalMs + 1000) << "the answering printer's snapshot aged";
    EXPECT_GE(Asked() - before, 12) << "refreshes of the answering printer in 3 s";
    for (size_t i = 0; i < quiet.size(); ++i) {
        DI_Close_impl(drivers[i]);
        QvSim::ForgetXpmlServer(quiet[i]->Printer().Name());
    }
}

}  // namespace
