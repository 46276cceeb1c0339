#include "driver_interface/driver_interface.h"

#include <winspool.h>

#include <exception>
#include <new>
#include <set>

#include "diagnostics/event_log.h"
#include "diagnostics/exceptions.h"
#include "core/locks.h"
#include "driver_interface/advanced_interface.h"
#include "driver_interface/printer_status.h"
#include "driver_interface/status_refresh.h"
#include "driver_interface/status_watch.h"

namespace {

// Every interface alive in this module. A host that passes a closed handle, or
// any value DI_Open never returned, gets ERROR_INVALID_HANDLE instead of a call
// through memory that is no interface. Both are constant-initialized and the
// set is made on first use and never destroyed, so that an interface made
// before this file's static objects, or destroyed after them (a host's global,
// a thread ending at exit), still finds it.
SRWLOCK g_liveLock = SRWLOCK_INIT;
std::set<const DriverInterface*>* g_liveInterfaces = nullptr;

class LiveLock {
public:
    explicit LiveLock(bool exclusive) : m_exclusive(exclusive) {
        exclusive ? ::AcquireSRWLockExclusive(&g_liveLock) : ::AcquireSRWLockShared(&g_liveLock);
    }
    ~LiveLock() {
        m_exclusive ? ::ReleaseSRWLockExclusive(&g_liveLock) : ::ReleaseSRWLockShared(&g_liveLock);
    }
    LiveLock(const LiveLock&) = delete;
    LiveLock& operator=(const LiveLock&) = delete;

private:
    bool m_exclusive;
};

void ClearCommandResults(DriverCommand& record) {
    record.supported = false;
    record.hasUserInterface = false;
    record.dalActionBit20 = false;
    record.dalActionBit10 = false;
}

}  // namespace

void* DriverInterface::operator new(size_t size) {
    void* memory = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void DriverInterface::operator delete(void* memory) noexcept {
    // Decommitted, not released: the range stays reserved, so no later
    // allocation of this process takes the address.
    if (memory != nullptr) {
        ::VirtualFree(memory, 0, MEM_DECOMMIT);
    }
}

DriverInterface::DriverInterface() {
    LiveLock lock(true);
    if (g_liveInterfaces == nullptr) {
        g_liveInterfaces = new std::set<const DriverInterface*>();
    }
    g_liveInterfaces->insert(this);
}

DriverInterface::~DriverInterface() {
    LiveLock lock(true);
    g_liveInterfaces->erase(this);
}

bool DriverInterface::IsLive(const DriverInterface* driver) noexcept {
    if (driver == nullptr) {
        return false;
    }
    LiveLock lock(false);
    return g_liveInterfaces != nullptr && g_liveInterfaces->count(driver) != 0;
}

bool DriverInterface::InsideCall() const noexcept {
    return m_callThread.load(std::memory_order_relaxed) == ::GetCurrentThreadId();
}

DriverInterface::CallScope::CallScope(DriverInterface& driver, const char* operation) noexcept
    : m_driver(driver) {
    const DWORD self = ::GetCurrentThreadId();
    if (driver.m_callThread.load(std::memory_order_relaxed) != self) {
        driver.m_callThread.store(self, std::memory_order_relaxed);
        m_entered = true;
        return;
    }
    // A host that pumps messages calls back on every message of a wait: one
    // line tells the story, a line per call would flood the log.
    if (driver.m_reentryReported) {
        return;
    }
    driver.m_reentryReported = true;
    try {
        std::shared_ptr<OEventLog> log = driver.GetEventLog();
        if (log != nullptr) {
            log->Writef(OEventLog::kWarnings, operation,
                        "refused: the interface 0x%llX is already inside a call on thread %lu",
                        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&driver)),
                        static_cast<unsigned long>(self));
        }
    } catch (...) {
    }
}

DriverInterface::CallScope::~CallScope() {
    if (!m_entered) {
        return;
    }
    // Only the thread that marked the object clears the mark; one that another
    // thread has overwritten meanwhile is that thread's to clear.
    DWORD self = ::GetCurrentThreadId();
    m_driver.m_callThread.compare_exchange_strong(self, 0, std::memory_order_relaxed);
}

void DriverInterface::ReportFailure(const char* operation) noexcept {
    try {
        std::shared_ptr<OEventLog> log = GetEventLog();
        if (log == nullptr || !log->IsEnabled(OEventLog::kErrors)) {
            return;
        }
        try {
            throw;
        } catch (const OException& e) {
            log->Writef(OEventLog::kErrors, operation, "stopped OException %d: %s",
                        static_cast<int>(e.GetErrorCode()), e.GetMessage().c_str());
        } catch (const std::exception& e) {
            log->Writef(OEventLog::kErrors, operation, "stopped an exception: %s", e.what());
        } catch (...) {
            log->Writef(OEventLog::kErrors, operation, "stopped an exception of unknown type");
        }
    } catch (...) {
        // Logging itself failed (allocation): the neutral answer still goes back.
    }
}

void* DriverInterface::DeleteThis(unsigned int flags) {
    // Destroying the object under a call of its own would pull it from under
    // that call: refused, the object stays.
    if (!GuardedCall(this, "DriverInterface::DeleteThis", false, [] { return true; })) {
        return nullptr;
    }
    // A change callback running on another thread may still use the handle:
    // it is unregistered, and waited for, while the object is whole.
    if (std::shared_ptr<InterfaceWatch> watch = CurrentWatch()) {
        watch->Close();
    }
    // The destructors may pump messages (a DAL proxy given time to leave): a
    // window procedure that calls back meets an object inside a call, and a
    // nested close is refused instead of destroying the object twice.
    m_callThread.store(::GetCurrentThreadId(), std::memory_order_relaxed);
    this->~DriverInterface();
    if ((flags & kDeleteMemory) != 0) {
        DriverInterface::operator delete(this);
    }
    return this;
}

template <typename Result, typename Call, typename Neutral>
Result DriverInterface::Shell(const char* operation, Call&& call, Neutral&& neutral) noexcept {
    if constexpr (std::is_void_v<Result>) {
        if (!GuardedCall(this, operation, false, [&] {
                call();
                return true;
            })) {
            neutral();
        }
    } else {
        return GuardedCall<Result>(this, operation, neutral(), call);
    }
}

#define QV_GUARDED_SHELL(Result, Name, Parameters, Arguments, Neutral)     \
    Result DriverInterface::Name Parameters {                              \
        return Shell<Result>(                                              \
            "DriverInterface::" #Name, [&] { return Do##Name Arguments; }, \
            [&] { return Neutral; });                                      \
    }
QV_DRIVER_OPERATIONS(QV_GUARDED_SHELL)
#undef QV_GUARDED_SHELL

int32_t DriverInterface::GetStatusProvenance(OString& text) {
    const StatusProvenance provenance =
        GuardedCall(this, "DriverInterface::GetStatusProvenance", StatusProvenance{},
                    [&] { return CurrentProvenance(); });
    text = provenance.text;
    return provenance.code;
}

// The defaults answer as a failed call does; the parameters of most go unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define QV_NEUTRAL_DEFAULT(Result, Name, Parameters, Arguments, Neutral) \
    Result DriverInterface::Do##Name Parameters {                        \
        return Neutral;                                                  \
    }
QV_DRIVER_OPERATIONS(QV_NEUTRAL_DEFAULT)
#undef QV_NEUTRAL_DEFAULT
#pragma GCC diagnostic pop

StatusProvenance DriverInterface::DoGetStatusProvenance() {
    return ProvenanceOf(kStatusNotAsked);
}

StatusProvenance DriverInterface::CurrentProvenance() {
    StatusProvenance watched;
    return Watched(&StatusReading::provenance, watched) ? watched : DoGetStatusProvenance();
}

bool DriverInterface::DoBeginReadStatus(StatusRefresh& refresh, bool) {
    StatusReading& reading = refresh.reading;
    reading = StatusReading{};
    reading.flags = DoGetPrinterStatusFlags();
    reading.text = DoGetPrinterStatusText();
    reading.severity = PrinterStatusSeverity(reading.flags);
    reading.extendedFlags = ExtendedStatusFlagsForSeverity(reading.severity);
    reading.provenance = DoGetStatusProvenance();
    return true;
}

void DriverInterface::DoEndReadStatus(StatusRefresh&, const XpmlResult&) {}

namespace {

constexpr char kReadStatus[] = "DriverInterface::ReadStatus";

void NotAsked(StatusRefresh& refresh) {
    refresh.request.reset();
    refresh.reading = StatusReading{};
    refresh.reading.provenance = ProvenanceOf(kStatusNotAsked);
}

}  // namespace

bool DriverInterface::BeginReadStatus(StatusRefresh& refresh, bool spoolerOnly) {
    refresh.request.reset();
    const int outcome = GuardedCall(this, kReadStatus, -1, [&] {
        return DoBeginReadStatus(refresh, spoolerOnly) && refresh.request == nullptr ? 1 : 0;
    });
    if (outcome < 0) {
        NotAsked(refresh);
    }
    return outcome != 0;
}

void DriverInterface::EndReadStatus(StatusRefresh& refresh, const XpmlResult& result) {
    const bool read = GuardedCall(this, kReadStatus, false, [&] {
        DoEndReadStatus(refresh, result);
        return true;
    });
    if (!read) {
        NotAsked(refresh);
    }
    refresh.request.reset();
}

std::shared_ptr<InterfaceWatch> DriverInterface::Watch() {
    OSrwHold hold(m_watchLock, true);
    if (m_watch == nullptr) {
        m_watch = InterfaceWatch::Make(reinterpret_cast<HDRIVERINTERFACE>(this));
    }
    return m_watch;
}

std::shared_ptr<InterfaceWatch> DriverInterface::CurrentWatch() {
    OSrwHold hold(m_watchLock, false);
    return m_watch;
}

bool DriverInterface::Watching() {
    OSrwHold hold(m_watchLock, false);
    return m_watch != nullptr;
}

template <typename Value>
bool DriverInterface::Watched(Value StatusReading::*part, Value& value) {
    const std::shared_ptr<InterfaceWatch> watch = CurrentWatch();
    const std::shared_ptr<const WatchSnapshot> latest =
        watch == nullptr ? nullptr : watch->Latest();
    if (latest == nullptr) {
        return false;
    }
    value = Detached(latest->reading.*part);
    return true;
}

template bool DriverInterface::Watched(OString StatusReading::*, OString&);
template bool DriverInterface::Watched(int StatusReading::*, int&);
template bool DriverInterface::Watched(uint32_t StatusReading::*, uint32_t&);
template bool DriverInterface::Watched(StatusProvenance StatusReading::*, StatusProvenance&);

namespace {

// Only drivers with a DAL module carry one of these values; neither its type
// nor its content matters for the choice. A value longer than the buffer
// (ERROR_MORE_DATA) counts as absent: the module loader reads the path into a
// buffer of the same size and could not load it.
bool HasPrinterDataValue(HANDLE printer, const wchar_t* name) {
    BYTE buffer[520] = {};
    DWORD needed = 0;
    return ::GetPrinterDataW(printer, const_cast<LPWSTR>(name), nullptr, buffer, sizeof buffer,
                             &needed) == ERROR_SUCCESS;
}

}  // namespace

bool HasDalEntry(HANDLE printer) {
    return HasPrinterDataValue(printer, L"DAL Interface V3") ||
           HasPrinterDataValue(printer, L"DAL Interface");
}

DriverInterfacePtr CreateDriverInterface(HANDLE printer) {
    DriverInterfacePtr driver;
    if (HasDalEntry(printer)) {
        driver.reset(new AdvancedDriverInterface());
    } else {
        driver.reset(new BasicDriverInterface());
    }
    driver->SetPrinterHandle(printer);
    return driver;
}
