#include "driver_interface/status_watch.h"

#include <winspool.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "core/locks.h"
#include "driver_interface/basic_interface.h"
#include "driver_interface/status_refresh.h"
#include "printer/printer_call_context.h"
#include "printer/printer_info_cache.h"
#include "xpml/xpml_mux.h"

namespace {

constexpr uint32_t kBackoffFactor = 8;
constexpr uint32_t kLongestBackoffMs = 60000;
// The first refresh comes within this spread (or the interval, if shorter),
// so printers opened together do not refresh in step from then on.
constexpr uint32_t kFirstRefreshSpreadMs = 1000;
// Refreshes due this close together go out on one timer tick.
constexpr uint64_t kGatherMs = 2;
constexpr DWORD kRefreshThreads = 6;

// Refresh steps, and the one long callback that runs the exchanges.
enum Lane { kRefresh = 0, kExchange = 1, kLanes = 2 };

uint64_t NowFileTime() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::atomic<uint32_t> g_jitterState{0x9E3779B9u};

// Spreads first refreshes; quality is of no concern.
uint32_t Jitter(uint32_t range) {
    uint32_t x =
        g_jitterState.load(std::memory_order_relaxed) ^ static_cast<uint32_t>(::GetTickCount64());
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    g_jitterState.store(x, std::memory_order_relaxed);
    return range == 0 ? 0 : x % range;
}

// A failed refresh is one the printer was to answer and did not; a closed
// monitoring gate is an answer (the spooler's), not a failure.
bool Answered(const StatusReading& reading) {
    return reading.answered;
}

bool SameStatus(const StatusReading& a, const StatusReading& b) {
    return a.text == b.text && a.severity == b.severity && a.flags == b.flags &&
           a.extendedFlags == b.extendedFlags && a.provenance.code == b.provenance.code;
}

}  // namespace

OString Detached(const OString& text) {
    return OString(text.GetWide(), text.GetLength());
}

StatusProvenance Detached(const StatusProvenance& provenance) {
    return {provenance.code, Detached(provenance.text)};
}

StatusReading Detached(const StatusReading& reading) {
    StatusReading copy = reading;
    copy.text = Detached(reading.text);
    copy.provenance = Detached(reading.provenance);
    return copy;
}

// One printer's watcher. The schedule and subscribers belong to the hub's
// lock; the snapshot to its own.
class PrinterWatcher {
public:
    PrinterWatcher(OString key, OPrinterHandle printer, DriverInterfacePtr reader)
        : m_key(std::move(key)), m_printer(std::move(printer)), m_reader(std::move(reader)) {}

    const OString m_key;
    OPrinterHandle m_printer;
    DriverInterfacePtr m_reader;  // reads through m_printer: destroyed first
    // The refresh under way's thread only.
    StatusRefresh m_refresh;

    // Hub lock.
    struct Subscriber {
        const InterfaceWatch* watch;
        std::weak_ptr<InterfaceWatch> link;
        uint32_t intervalMs;
    };
    std::vector<Subscriber> m_subscribers;
    uint32_t m_baseMs = 0;      // the least interval asked for
    uint32_t m_intervalMs = 0;  // the base, or more while backing off
    uint64_t m_due = 0;
    bool m_queued = false;  // waiting for or inside a refresh
    bool m_stopped = false;
    // Presumed of a new printer until a refresh finds it silent.
    bool m_answering = true;

    void RecomputeBase() {
        uint32_t least = 0;
        for (const Subscriber& subscriber : m_subscribers) {
            least = least == 0 ? subscriber.intervalMs : std::min(least, subscriber.intervalMs);
        }
        m_baseMs = least;
        if (m_answering || m_intervalMs < least) {
            m_intervalMs = least;
        }
    }

    // Publishes a refresh's reading; the new sequence when it changed, else 0.
    // Only one refresh of a printer runs at a time, so the read of the old
    // snapshot and the swap need not be one step.
    uint64_t Publish(const StatusReading& reading, uint64_t tick) {
        const std::shared_ptr<const WatchSnapshot> old = Current();
        auto next = std::make_shared<WatchSnapshot>(*old);
        const uint64_t now = NowFileTime();
        uint64_t changed = 0;
        if (old->sequence == 0 || !SameStatus(reading, old->reading)) {
            changed = ++next->sequence;
            next->changedAt = now;
        }
        if (Answered(reading)) {
            next->unreachableSince = 0;
        } else if (next->unreachableSince == 0) {
            next->unreachableSince = now;
        }
        next->reading = Detached(reading);
        next->takenTick = tick;
        {
            OSrwHold hold(m_snapshotLock, true);
            m_current = std::move(next);
        }
        if (changed != 0) {
            ::WakeAllConditionVariable(&m_changed);
        }
        return changed;
    }

    void Seed(const StatusReading& reading) {
        auto seed = std::make_shared<WatchSnapshot>();
        seed->reading = Detached(reading);
        seed->reading.provenance = ProvenanceOf(kStatusWatchingNoAnswer);
        seed->takenTick = ::GetTickCount64();
        OSrwHold hold(m_snapshotLock, true);
        m_current = std::move(seed);
    }

    bool Wait(uint64_t& sequence, uint32_t timeoutMs) {
        const uint64_t deadline = ::GetTickCount64() + timeoutMs;
        OSrwHold hold(m_snapshotLock, true);
        for (;;) {
            if (m_current->sequence != sequence) {
                sequence = m_current->sequence;
                return true;
            }
            const uint64_t now = ::GetTickCount64();
            if (now >= deadline) {
                return false;
            }
            ::SleepConditionVariableSRW(&m_changed, &m_snapshotLock,
                                        static_cast<DWORD>(deadline - now), 0);
        }
    }

    // A snapshot, once published, is never written again, and its texts
    // already hold their wide form, so any number of threads read it at once
    // without converting; the lock is held only to copy or swap the pointer.
    std::shared_ptr<const WatchSnapshot> Current() const {
        OSrwHold hold(m_snapshotLock, false);
        return m_current;
    }

private:
    mutable SRWLOCK m_snapshotLock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
    std::shared_ptr<const WatchSnapshot> m_current = std::make_shared<WatchSnapshot>();
};

namespace {

// Every watcher of the process, their schedule and the pools that refresh
// them. Made on the first watch, stopped when the library unloads.
class WatchHub {
public:
    WatchHub() = default;
    WatchHub(const WatchHub&) = delete;
    WatchHub& operator=(const WatchHub&) = delete;

    bool Start();
    std::shared_ptr<PrinterWatcher> Join(const OString& key, const InterfaceWatch* watch,
                                         const std::weak_ptr<InterfaceWatch>& link,
                                         uint32_t intervalMs, DWORD& error);
    void ChangeInterval(PrinterWatcher& watcher, const InterfaceWatch* watch, uint32_t intervalMs);
    void Leave(const std::shared_ptr<PrinterWatcher>& watcher, const InterfaceWatch* watch);
    // At unload; true when every callback had returned in time.
    bool Shutdown();

private:
    struct LaneState {
        WatchHub* hub = nullptr;
        Lane lane = kRefresh;
        PTP_POOL pool = nullptr;
        TP_CALLBACK_ENVIRON environment;
        PTP_WORK work = nullptr;
    };
    struct Step {
        std::shared_ptr<PrinterWatcher> watcher;
        std::optional<XpmlResult> result;
        uint64_t sequence = 0;  // a change to tell listeners of
        std::vector<std::shared_ptr<InterfaceWatch>> listeners;
        std::function<void()> read;  // an answer to read, for the exchanges
    };

    static VOID CALLBACK OnTimer(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER);
    static VOID CALLBACK OnWork(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK);
    // Counts a callback in; false, counted out again, while the library
    // unloads. Leave counts it out.
    bool Enter();
    void Leave();
    void DispatchDue();
    // One step of one refresh: its listeners to tell, an exchange's result,
    // else a refresh due.
    void RefreshStep();
    // An attempt's result: an answer, read on a refresh thread, completes the
    // refresh there; anything else (a failure may come on the exchanges'
    // own thread) goes to a refresh thread as the next step.
    void Exchanged(const std::shared_ptr<PrinterWatcher>& watcher, XpmlResult result);
    // A printer that answers, or an answer, goes before the work of silent
    // printers, whose attempts each end at a deadline.
    void Queue(Step step);
    static bool Urgent(const Step& step) {
        if (step.watcher == nullptr || step.sequence != 0) {
            return true;
        }
        // A printer whose attempt just went unanswered is silent for now.
        return step.watcher->m_answering && !step.result;
    }
    // The next attempt of the watcher's request, else its reading.
    void Continue(const std::shared_ptr<PrinterWatcher>& watcher);
    // Publishes the reading and schedules the next; the listeners of a
    // change are told here when mayBlock, else on a refresh thread.
    void Complete(const std::shared_ptr<PrinterWatcher>& watcher, bool mayBlock);
    void Notify(PrinterWatcher& watcher, const Step& step);
    // The watcher's refresh is over: it may be scheduled again.
    void Reschedule(PrinterWatcher& watcher);
    // The same for a refresh given up on, without publishing.
    void Abandon(PrinterWatcher& watcher) {
        watcher.m_refresh.request.reset();
        Reschedule(watcher);
    }
    // Arms the timer for the earliest refresh due; hub lock held.
    void ArmLocked(uint64_t now);

    SRWLOCK m_lock = SRWLOCK_INIT;
    std::map<std::wstring, std::shared_ptr<PrinterWatcher>> m_watchers;
    // By urgency: [0] answers and printers that answer, [1] silent ones.
    std::deque<std::shared_ptr<PrinterWatcher>> m_ready[2];
    std::deque<Step> m_steps[2];
    LaneState m_lanes[kLanes];
    PTP_CLEANUP_GROUP m_group = nullptr;
    PTP_TIMER m_timer = nullptr;
    uint64_t m_armedFor = 0;
    // Callbacks inside the library's code; the last out while it unloads
    // sets m_idle.
    std::atomic<LONG> m_inside{0};
    OKernelHandle m_idle;
    std::atomic<bool> m_stopping{false};
    XpmlExchangeMux m_mux{[this](std::function<void()> read) {
        Step step;
        step.read = std::move(read);
        Queue(std::move(step));
    }};
};

// Constant-initialized: a function-local static would need a guard, which
// the static runtime pays for with a TLS slot never given back.
SRWLOCK g_hubLock = SRWLOCK_INIT;
WatchHub* g_hub = nullptr;

WatchHub* Hub() {
    OSrwHold hold(g_hubLock, true);
    if (g_hub == nullptr) {
        auto* hub = new WatchHub();
        if (!hub->Start()) {
            hub->Shutdown();
            delete hub;
            throw std::bad_alloc();
        }
        g_hub = hub;
    }
    return g_hub;
}

bool WatchHub::Start() {
    m_idle.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_group = ::CreateThreadpoolCleanupGroup();
    if (!m_idle || m_group == nullptr) {
        return false;
    }
    const DWORD threads[kLanes] = {kRefreshThreads, 1};
    for (int lane = 0; lane < kLanes; ++lane) {
        LaneState& state = m_lanes[lane];
        state.hub = this;
        state.lane = static_cast<Lane>(lane);
        ::InitializeThreadpoolEnvironment(&state.environment);
        state.pool = ::CreateThreadpool(nullptr);
        if (state.pool == nullptr) {
            return false;
        }
        ::SetThreadpoolThreadMaximum(state.pool, threads[lane]);
        ::SetThreadpoolCallbackPool(&state.environment, state.pool);
        ::SetThreadpoolCallbackCleanupGroup(&state.environment, m_group, nullptr);
        state.work = ::CreateThreadpoolWork(&WatchHub::OnWork, &state, &state.environment);
        if (state.work == nullptr) {
            return false;
        }
    }
    m_timer = ::CreateThreadpoolTimer(&WatchHub::OnTimer, this, &m_lanes[kRefresh].environment);
    return m_timer != nullptr;
}

// The count is all the unloading thread needs: the cleanup group then waits
// for the few instructions of a callback still returning.
bool WatchHub::Enter() {
    m_inside.fetch_add(1);
    if (!m_stopping.load()) {
        return true;
    }
    Leave();
    return false;
}

void WatchHub::Leave() {
    if (m_inside.fetch_sub(1) == 1 && m_stopping.load()) {
        ::SetEvent(m_idle.Get());
    }
}

VOID CALLBACK WatchHub::OnTimer(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
    auto* hub = static_cast<WatchHub*>(context);
    if (hub->Enter()) {
        hub->DispatchDue();
        hub->Leave();
    }
}

VOID CALLBACK WatchHub::OnWork(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK) {
    auto* state = static_cast<LaneState*>(context);
    WatchHub* hub = state->hub;
    if (!hub->Enter()) {
        return;
    }
    if (state->lane == kExchange) {
        ::CallbackMayRunLong(instance);
        hub->m_mux.RunExchanges(hub->m_stopping);
    } else {
        hub->RefreshStep();
    }
    hub->Leave();
}

void WatchHub::ArmLocked(uint64_t now) {
    uint64_t next = 0;
    for (const auto& [key, watcher] : m_watchers) {
        if (!watcher->m_queued && (next == 0 || watcher->m_due < next)) {
            next = watcher->m_due;
        }
    }
    if (next == m_armedFor) {
        return;
    }
    m_armedFor = next;
    if (next == 0) {
        ::SetThreadpoolTimer(m_timer, nullptr, 0, 0);
        return;
    }
    // Relative due times are negative, in 100 ns units.
    const int64_t delayMs = next > now ? static_cast<int64_t>(next - now) : 0;
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-(delayMs * 10000 + 1));
    FILETIME dueTime{due.LowPart, due.HighPart};
    ::SetThreadpoolTimer(m_timer, &dueTime, 0, 0);
}

void WatchHub::DispatchDue() {
    int submit = 0;
    {
        OSrwHold hold(m_lock, true);
        const uint64_t now = ::GetTickCount64();
        m_armedFor = 0;
        for (auto& [key, watcher] : m_watchers) {
            if (!watcher->m_queued && watcher->m_due <= now + kGatherMs) {
                watcher->m_queued = true;
                m_ready[watcher->m_answering ? 0 : 1].push_back(watcher);
                ++submit;
            }
        }
        ArmLocked(now);
    }
    for (int i = 0; i < submit; ++i) {
        ::SubmitThreadpoolWork(m_lanes[kRefresh].work);
    }
}

void WatchHub::RefreshStep() {
    Step step;
    {
        OSrwHold hold(m_lock, true);
        // Work under way before new work, within each urgency.
        for (int urgency = 0; urgency < 2 && step.watcher == nullptr && !step.read; ++urgency) {
            if (!m_steps[urgency].empty()) {
                step = std::move(m_steps[urgency].front());
                m_steps[urgency].pop_front();
            } else if (!m_ready[urgency].empty()) {
                step.watcher = std::move(m_ready[urgency].front());
                m_ready[urgency].pop_front();
            }
        }
        if (step.watcher == nullptr && !step.read) {
            return;
        }
    }
    if (step.read) {
        step.read();
        return;
    }
    const std::shared_ptr<PrinterWatcher>& watcher = step.watcher;
    StatusRefresh& refresh = watcher->m_refresh;
    try {
        if (step.sequence != 0) {
            Notify(*watcher, step);
            return;
        }
        if (watcher->m_stopped || m_stopping.load()) {
            Abandon(*watcher);
            return;
        }
        if (step.result) {
            refresh.request->Attempted(std::move(*step.result));
        } else if (watcher->m_reader->BeginReadStatus(refresh, false)) {
            Complete(watcher, true);
            return;
        }
        Continue(watcher);
    } catch (...) {
        // No room: the printer is tried again at its next interval.
        Abandon(*watcher);
    }
}

void WatchHub::Queue(Step step) {
    {
        OSrwHold hold(m_lock, true);
        m_steps[Urgent(step) ? 0 : 1].push_back(std::move(step));
    }
    ::SubmitThreadpoolWork(m_lanes[kRefresh].work);
}

void WatchHub::Exchanged(const std::shared_ptr<PrinterWatcher>& watcher, XpmlResult result) {
    if (result.route != kXpmlNetwork || watcher->m_stopped || m_stopping.load()) {
        Step step;
        step.watcher = watcher;
        step.result = std::move(result);
        Queue(std::move(step));
        return;
    }
    // An answer ends the request, and reading it asks nothing more of the
    // system: done here rather than one more hand-over per refresh.
    StatusRefresh& refresh = watcher->m_refresh;
    try {
        refresh.request->Attempted(std::move(result));
        watcher->m_reader->EndReadStatus(refresh, refresh.request->Conclude());
        Complete(watcher, false);
    } catch (...) {
        Abandon(*watcher);
    }
}

void WatchHub::Continue(const std::shared_ptr<PrinterWatcher>& watcher) {
    StatusRefresh& refresh = watcher->m_refresh;
    XpmlEndpoint endpoint;
    if (refresh.request->NextAttempt(endpoint)) {
        const XpmlRequest& request = *refresh.request;
        auto done = [this, watcher](XpmlResult result) { Exchanged(watcher, std::move(result)); };
        if (m_mux.Submit(request.Form(), request.Transaction(), endpoint, std::move(done))) {
            ::SubmitThreadpoolWork(m_lanes[kExchange].work);
        }
        return;
    }
    // The local route, if any, is asked here, bounded by the driver.
    watcher->m_reader->EndReadStatus(refresh, refresh.request->Conclude());
    Complete(watcher, true);
}

void WatchHub::Reschedule(PrinterWatcher& watcher) {
    OSrwHold hold(m_lock, true);
    watcher.m_queued = false;
    if (!watcher.m_stopped && !m_stopping.load()) {
        ArmLocked(::GetTickCount64());
    }
}

void WatchHub::Complete(const std::shared_ptr<PrinterWatcher>& watcher, bool mayBlock) {
    const StatusReading& reading = watcher->m_refresh.reading;
    const uint64_t now = ::GetTickCount64();
    Step step;
    step.watcher = watcher;
    step.sequence = watcher->Publish(reading, now);
    {
        OSrwHold hold(m_lock, true);
        if (Answered(reading)) {
            watcher->m_answering = true;
            watcher->m_intervalMs = watcher->m_baseMs;
            // Kept on its phase: one refresh per interval, whatever each took.
            watcher->m_due += watcher->m_baseMs;
            if (watcher->m_due + watcher->m_baseMs < now) {
                watcher->m_due = now;
            }
        } else {
            watcher->m_answering = false;
            const uint32_t longest = std::min(watcher->m_baseMs * kBackoffFactor,
                                              std::max(kLongestBackoffMs, watcher->m_baseMs));
            watcher->m_intervalMs = std::min(watcher->m_intervalMs * 2, longest);
            watcher->m_due = now + watcher->m_intervalMs;
        }
        if (step.sequence != 0) {
            for (const auto& subscriber : watcher->m_subscribers) {
                if (auto listener = subscriber.link.lock()) {
                    step.listeners.push_back(std::move(listener));
                }
            }
        }
    }
    if (step.listeners.empty()) {
        Reschedule(*watcher);
    } else if (mayBlock) {
        Notify(*watcher, step);
    } else {
        // A host's callback may take its time.
        Queue(std::move(step));
    }
}

// The watcher is released only after its listeners were told, so that no
// interface hears of two changes at once.
void WatchHub::Notify(PrinterWatcher& watcher, const Step& step) {
    for (const auto& listener : step.listeners) {
        if (m_stopping.load()) {
            break;
        }
        listener->Notify(step.sequence);
    }
    Reschedule(watcher);
}

std::shared_ptr<PrinterWatcher> WatchHub::Join(const OString& key, const InterfaceWatch* watch,
                                               const std::weak_ptr<InterfaceWatch>& link,
                                               uint32_t intervalMs, DWORD& error) {
    const std::wstring name(key.GetWide());
    std::shared_ptr<PrinterWatcher> made;
    for (;;) {
        {
            OSrwHold hold(m_lock, true);
            auto found = m_watchers.find(name);
            if (found == m_watchers.end() && made != nullptr) {
                const uint64_t now = ::GetTickCount64();
                made->m_due = now + Jitter(std::min(intervalMs, kFirstRefreshSpreadMs));
                found = m_watchers.emplace(name, made).first;
            }
            if (found != m_watchers.end()) {
                PrinterWatcher& watcher = *found->second;
                watcher.m_subscribers.push_back({watch, link, intervalMs});
                watcher.RecomputeBase();
                const uint64_t now = ::GetTickCount64();
                if (!watcher.m_queued && watcher.m_due > now + watcher.m_intervalMs) {
                    watcher.m_due = now + watcher.m_intervalMs;
                }
                ArmLocked(now);
                error = ERROR_SUCCESS;
                return found->second;
            }
        }
        // Opened outside the lock: the spooler may take its time.
        OPrinterHandle printer;
        if (!::OpenPrinterW(const_cast<LPWSTR>(key.GetWide()), printer.Put(), nullptr)) {
            error = ::GetLastError();
            return nullptr;
        }
        DriverInterfacePtr reader = CreateDriverInterface(printer.Get());
        if (auto* basic = dynamic_cast<BasicDriverInterface*>(reader.get())) {
            basic->ServeWatcher();
        }
        made = std::make_shared<PrinterWatcher>(key, std::move(printer), std::move(reader));
        // Until the first refresh answers, the spooler's answer.
        made->m_reader->BeginReadStatus(made->m_refresh, true);
        made->Seed(made->m_refresh.reading);
    }
}

void WatchHub::ChangeInterval(PrinterWatcher& watcher, const InterfaceWatch* watch,
                              uint32_t intervalMs) {
    OSrwHold hold(m_lock, true);
    for (auto& subscriber : watcher.m_subscribers) {
        if (subscriber.watch == watch) {
            subscriber.intervalMs = intervalMs;
        }
    }
    watcher.RecomputeBase();
    const uint64_t now = ::GetTickCount64();
    if (!watcher.m_queued && watcher.m_due > now + watcher.m_intervalMs) {
        watcher.m_due = now + watcher.m_intervalMs;
        ArmLocked(now);
    }
}

void WatchHub::Leave(const std::shared_ptr<PrinterWatcher>& watcher, const InterfaceWatch* watch) {
    std::shared_ptr<PrinterWatcher> gone;
    OSrwHold hold(m_lock, true);
    auto& subscribers = watcher->m_subscribers;
    subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                     [&](const PrinterWatcher::Subscriber& subscriber) {
                                         return subscriber.watch == watch ||
                                                subscriber.link.expired();
                                     }),
                      subscribers.end());
    if (!subscribers.empty()) {
        watcher->RecomputeBase();
        return;
    }
    watcher->m_stopped = true;
    auto found = m_watchers.find(std::wstring(watcher->m_key.GetWide()));
    if (found != m_watchers.end() && found->second == watcher) {
        gone = std::move(found->second);
        m_watchers.erase(found);
    }
    ArmLocked(::GetTickCount64());
    // gone is released after the lock, by the caller's own reference or here.
}

bool WatchHub::Shutdown() {
    m_stopping.store(true);
    if (m_timer != nullptr) {
        ::SetThreadpoolTimer(m_timer, nullptr, 0, 0);
    }
    // Once the count is out, no callback runs past its entry; one that has
    // just entered finds the library stopping and leaves at once, and the
    // cleanup group waits for it.
    bool idle = m_inside.load() == 0;
    if (!idle && m_idle) {
        idle = ::WaitForSingleObject(m_idle.Get(), kUnloadWaitMs) == WAIT_OBJECT_0 ||
               m_inside.load() == 0;
    }
    if (!idle) {
        // A refresh still inside a call: abandoned. Its pools and watchers
        // stay, since it still uses them.
        return false;
    }
    if (m_group != nullptr) {
        ::CloseThreadpoolCleanupGroupMembers(m_group, TRUE, nullptr);
        ::CloseThreadpoolCleanupGroup(m_group);
    }
    for (LaneState& state : m_lanes) {
        if (state.pool != nullptr) {
            ::CloseThreadpool(state.pool);
        }
    }
    for (int urgency = 0; urgency < 2; ++urgency) {
        m_ready[urgency].clear();
        m_steps[urgency].clear();
    }
    m_watchers.clear();
    return true;
}

// Unloading (FreeLibrary, not process exit, when the system has already
// ended every other thread): the TLS callbacks run before the library's
// static objects are destroyed, which the refreshes still use.
void NTAPI OnWatchProcessEvent(PVOID, DWORD reason, PVOID reserved) {
    if (reason != DLL_PROCESS_DETACH || reserved != nullptr) {
        return;
    }
    WatchHub* hub = nullptr;
    {
        OSrwHold hold(g_hubLock, true);
        hub = std::exchange(g_hub, nullptr);
    }
    if (hub != nullptr && hub->Shutdown()) {
        delete hub;
    }
}

}  // namespace

extern "C" {
extern PIMAGE_TLS_CALLBACK qvStatusWatchEvent;
__attribute__((section(".CRT$XLR"), used)) PIMAGE_TLS_CALLBACK qvStatusWatchEvent =
    &OnWatchProcessEvent;
}

std::shared_ptr<InterfaceWatch> InterfaceWatch::Make(HDRIVERINTERFACE handle) {
    auto watch = std::make_shared<InterfaceWatch>(handle);
    watch->m_self = watch;
    return watch;
}

InterfaceWatch::InterfaceWatch(HDRIVERINTERFACE handle) : m_handle(handle) {}

InterfaceWatch::~InterfaceWatch() = default;

DWORD InterfaceWatch::Start(const OString& printerKey, uint32_t intervalMs) {
    if (intervalMs == 0) {
        Stop();
        return ERROR_SUCCESS;
    }
    intervalMs = std::max(intervalMs, kLeastIntervalMs);
    std::shared_ptr<PrinterWatcher> watcher;
    {
        OSrwHold hold(m_lock, false);
        watcher = m_watcher;
    }
    if (watcher != nullptr) {
        Hub()->ChangeInterval(*watcher, this, intervalMs);
        return ERROR_SUCCESS;
    }
    if (printerKey.IsEmpty()) {
        return ERROR_INVALID_PRINTER_NAME;
    }
    DWORD error = ERROR_SUCCESS;
    watcher = Hub()->Join(printerKey, this, m_self, intervalMs, error);
    if (watcher != nullptr) {
        OSrwHold hold(m_lock, true);
        m_watcher = std::move(watcher);
    }
    return error;
}

void InterfaceWatch::Stop() {
    std::shared_ptr<PrinterWatcher> watcher;
    {
        OSrwHold hold(m_lock, true);
        watcher = std::move(m_watcher);
    }
    if (watcher != nullptr) {
        Hub()->Leave(watcher, this);
    }
}

bool InterfaceWatch::IsWatching() const {
    OSrwHold hold(m_lock, false);
    return m_watcher != nullptr;
}

std::shared_ptr<const WatchSnapshot> InterfaceWatch::Latest() const {
    std::shared_ptr<PrinterWatcher> watcher;
    {
        OSrwHold hold(m_lock, false);
        watcher = m_watcher;
    }
    return watcher == nullptr ? nullptr : watcher->Current();
}

bool InterfaceWatch::Snapshot(WatchSnapshot& snapshot) const {
    std::shared_ptr<const WatchSnapshot> latest = Latest();
    if (latest == nullptr) {
        return false;
    }
    snapshot = *latest;
    snapshot.reading = Detached(latest->reading);
    return true;
}

bool InterfaceWatch::WaitForChange(uint64_t& sequence, uint32_t timeoutMs) {
    std::shared_ptr<PrinterWatcher> watcher;
    {
        OSrwHold hold(m_lock, false);
        watcher = m_watcher;
    }
    return watcher != nullptr && watcher->Wait(sequence, timeoutMs);
}

void InterfaceWatch::SetCallback(QV_STATUS_CALLBACK callback, void* context) {
    OSrwHold hold(m_lock, true);
    m_callback = callback;
    m_context = context;
    if (callback != nullptr) {
        return;
    }
    const DWORD self = ::GetCurrentThreadId();
    while (m_callbackThread != 0 && m_callbackThread != self) {
        ::SleepConditionVariableSRW(&m_callbackDone, &m_lock, INFINITE, 0);
    }
}

void InterfaceWatch::SetMessage(HWND window, UINT message) {
    OSrwHold hold(m_lock, true);
    m_window = window;
    m_message = window != nullptr ? message : 0;
}

// A running callback sees its interface still watching until it returns.
void InterfaceWatch::Close() {
    SetMessage(nullptr, 0);
    SetCallback(nullptr, nullptr);
    Stop();
}

void InterfaceWatch::Notify(uint64_t sequence) {
    HWND window = nullptr;
    UINT message = 0;
    QV_STATUS_CALLBACK callback = nullptr;
    void* context = nullptr;
    {
        OSrwHold hold(m_lock, true);
        window = m_window;
        message = m_message;
        callback = m_callback;
        context = m_context;
        if (callback != nullptr) {
            m_callbackThread = ::GetCurrentThreadId();
        }
    }
    if (window != nullptr) {
        ::PostMessageW(window, message, static_cast<WPARAM>(static_cast<uint32_t>(sequence)),
                       reinterpret_cast<LPARAM>(m_handle));
    }
    if (callback == nullptr) {
        return;
    }
    try {
        callback(m_handle, sequence, context);
    } catch (...) {
        // A host's exception stops here rather than in the pool.
    }
    {
        OSrwHold hold(m_lock, true);
        m_callbackThread = 0;
    }
    ::WakeAllConditionVariable(&m_callbackDone);
}

OString WatchKey(DriverInterface& driver) {
    auto* basic = dynamic_cast<BasicDriverInterface*>(&driver);
    return basic != nullptr ? basic->PrinterKey() : OString();
}

void StartConfiguredWatch(DriverInterface& driver) noexcept {
    try {
        const OString key = WatchKey(driver);
        if (key.IsEmpty()) {
            return;
        }
        uint32_t intervalMs = 0;
        {
            PrinterCallContext printer(key);
            intervalMs = printer.Settings().GetStatusWatchInterval();
        }
        // The interface's first status call reads the printer's facts afresh,
        // as it would have without this look at its settings.
        PrinterInfoCache::ExpireThisThread(key);
        if (intervalMs != 0) {
            driver.Watch()->Start(key, intervalMs);
        }
    } catch (...) {
        // The interface works unwatched.
    }
}

PrinterCallContext& StatusRefresh::CallContext(const OString& printerKey) {
    const uint64_t now = ::GetTickCount64();
    if (printer == nullptr || now - readTick >= kContextMs) {
        request.reset();
        network.reset();
        printer.reset();
        printer = std::make_unique<PrinterCallContext>(printerKey);
        // Watchers started together would read theirs again together, all
        // at once: each lives between three quarters and all of kContextMs.
        readTick = now - Jitter(static_cast<uint32_t>(kContextMs / 4));
    }
    return *printer;
}

const XpmlNetworkSettings& StatusRefresh::ExchangeSettings() {
    if (!network) {
        network = ReadXpmlNetworkSettings(*printer, false);
    }
    return *network;
}
