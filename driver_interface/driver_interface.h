#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <type_traits>
#include <vector>

// HDRIVERINTERFACE (the address of a DriverInterface object, never
// dereferenced as the struct it names) and DriverCommand come from the public
// header; its host view of DriverInterface gives way to the class below.
#define QV_LIBRARY_DRIVER_INTERFACE
#include "quorvel_driver_utility.h"

#include "core/ostring.h"
#include "driver_interface/status_provenance.h"
#include "printer/odometer.h"

class OEventLog;
class InterfaceWatch;

// One reading of a printer's status, every part from the same answer: what a
// watcher keeps as its snapshot and what the status operations of a watching
// interface return.
struct StatusRefresh;

struct StatusReading {
    OString text;
    int severity = 1;
    uint32_t flags = 0;
    uint32_t extendedFlags = 0;
    StatusProvenance provenance;
    // False only when the printer was to be asked and no route answered.
    bool answered = true;
};

// Hosts of both compilers build the record; its layout is part of the interface.
static_assert(sizeof(DriverCommand) == 16);
static_assert(offsetof(DriverCommand, supported) == 8);
static_assert(offsetof(DriverCommand, hasUserInterface) == 9);
static_assert(offsetof(DriverCommand, dalActionBit20) == 10);
static_assert(offsetof(DriverCommand, dalActionBit10) == 11);
static_assert(offsetof(DriverCommand, execute) == 12);

// Every operation of the interface, once, in vtable order from entry 1:
// X(result, Name, (parameters), (arguments), neutral answer). From each row
// come the vtable slot Name (a guarded shell), the implementation DoName that
// subclasses override, whose default is the neutral answer, and the exports'
// way in, ExportBoundary::Operations::Name. A call reaches the most derived
// DoName by one of two roads:
//   host -> slot Name -> GuardedCall -> DoName (driver_interface.cpp);
//   host -> DI_/QVDI_ export (di_exports.cpp, flat_exports.cpp)
//        -> ExportBoundary::Guarded -> Operations::Name -> DoName.
// The Do functions live beside their subsystems: basic_interface.cpp and
// basic_status.cpp (the spooler), advanced_status.cpp and advanced_dal.cpp
// (the printer and the DAL module). The neutral answer is also what a failed
// or refused call gives; for an operation that returns nothing it undoes what
// the call wrote before it failed.
#define QV_DRIVER_OPERATIONS(X)                                                                 \
    /* Stores the spooler handle the host opened. It stays the host's: it must   */             \
    /* outlive the interface and is never closed here.                           */             \
    X(void, SetPrinterHandle, (HANDLE printer), (printer), void())                              \
    X(bool, IsAdvanced, (), (), false)                                                          \
    X(OString, GetPrinterStatusText, (), (), OString())                                         \
    X(OString, GetJobStatusText, (uint32_t jobId), (jobId), OString())                          \
    X(bool, HasPrinterStatus, (int statusId), (statusId), false)                                \
    /* 1 ready, 2 error, 3 warning. */                                                          \
    X(int, GetPrinterStatusSeverity, (), (), 1)                                                 \
    X(uint32_t, GetPrinterStatusFlags, (), (), 0u)                                              \
    X(uint32_t, GetPrinterExtendedStatusFlags, (), (), 0u)                                      \
    X(OString, GetPrinterDriverVersion, (), (), OString())                                      \
    X(OString, GetPrinterDriverDate, (), (), OString())                                         \
    /* Clears the record's four result flags, then sets them as the driver knows */             \
    /* the command; runs it only when execute is set and it is supported. Flags  */             \
    /* set before a failure do not count.                                        */             \
    X(void, Command, (int command, DriverCommand& record), (command, record),                   \
      ClearCommandResults(record))                                                              \
    X(bool, SendFile, (const OString& path, const OString& documentName), (path, documentName), \
      false)                                                                                    \
    X(bool, ImportSettings, (const OString& path, uint32_t flags), (path, flags), false)        \
    X(bool, ExportSettings, (const OString& path, uint32_t flags), (path, flags), false)        \
    X(bool, ResetSettings, (uint32_t flags), (flags), false)                                    \
    X(bool, PauseJob, (uint32_t jobId), (jobId), false)                                         \
    X(bool, ResumeJob, (uint32_t jobId), (jobId), false)                                        \
    X(bool, DeleteJob, (uint32_t jobId), (jobId), false)                                        \
    X(bool, RestartJob, (uint32_t jobId), (jobId), false)                                       \
    X(bool, SetJobPriority, (uint32_t jobId, uint32_t priority), (jobId, priority), false)      \
    /* Start and until times are minutes after midnight, as the spooler has them. */            \
    X(bool, SetJobStartTime, (uint32_t jobId, uint32_t minutes), (jobId, minutes), false)       \
    X(bool, SetJobUntilTime, (uint32_t jobId, uint32_t minutes), (jobId, minutes), false)       \
    /* Timeouts go to the printer unchanged. */                                                 \
    X(bool, SendDalQuery,                                                                       \
      (const uint8_t* data, uint32_t size, const OString& queryId, int32_t sendTimeout,         \
       int32_t receiveStartTimeout, int32_t receiveIntervalTimeout),                            \
      (data, size, queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout), false)   \
    X(bool, SendDalQueryEx,                                                                     \
      (const uint8_t* data, uint32_t size, const OString& queryId, int32_t sendTimeout,         \
       int32_t receiveStartTimeout, int32_t receiveIntervalTimeout,                             \
       const OString& responsePattern, bool readFlag),                                          \
      (data, size, queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout,           \
       responsePattern, readFlag),                                                              \
      false)                                                                                    \
    X(int, GetDalQueryStatus, (const OString& queryId), (queryId), 0)                           \
    /* On success the buffer holds exactly the answer; otherwise it is unchanged. */            \
    X(bool, GetDalQueryResponse, (const OString& queryId, std::vector<uint8_t>& response),      \
      (queryId, response), false)                                                               \
    X(bool, IsBidiEnabled, (), (), false)                                                       \
    X(OdometerData, GetOdometer, (), (), OdometerData())                                        \
    X(void, SetOdometer, (const OdometerData& odometer), (odometer), void())

// The contract behind an HDRIVERINTERFACE. A caller may hold the handle as a
// pointer to this class, so the virtual operations stay declared in exactly this
// order, including those no export reaches: operation n is vtable entry n for
// hosts of every compiler. One object is used by one thread at a time.
//
// Entries 1 to 29 are the rows of QV_DRIVER_OPERATIONS: each is a guarded
// shell (GuardedCall) over the protected implementation of the same name with
// "Do" in front, declared after entry 30 where the vtable promises nothing. A
// shell never throws: anything thrown inside, allocation failure included, is
// logged once at Errors and gives the operation's neutral answer. A call that
// arrives while the same object is already inside a call on the same thread (a
// window procedure run by a DAL wait) gets the neutral answer at once.
// Subclasses override the Do operations, and operations call each other's Do
// form.
//
// Entry 0 is DeleteThis, in the shape of Microsoft's scalar deleting
// destructor; the C++ virtual destructor is declared after the last slot,
// where g++'s two entries for it move nothing a host sees.
class DriverInterface {
public:
    // A handle is the object's address, and a closed handle must never name
    // a later interface (a host's use after close would drive another
    // printer): each object has address space of its own, given back to the
    // system as memory but never again as an address.
    static void* operator new(size_t size);
    static void operator delete(void* memory) noexcept;
    // Construction in the caller's memory (destroyed by DeleteThis(0)).
    static void* operator new(size_t, void* place) noexcept { return place; }

    // Every object is known to the exports while it lives (IsLive). Throws
    // std::bad_alloc when there is no room to note it.
    DriverInterface();
    DriverInterface(const DriverInterface&) = delete;
    DriverInterface& operator=(const DriverInterface&) = delete;

    // Entry 0: destroys the object, frees its memory when bit 0 of flags is
    // set (kDeleteMemory), and returns its address. Refused (null, nothing
    // destroyed) while the object is inside a call on this thread.
    static constexpr unsigned int kDeleteMemory = 1;
    virtual void* DeleteThis(unsigned int flags) final;
#define QV_DRIVER_SLOT(Result, Name, Parameters, Arguments, Neutral) \
    virtual Result Name Parameters final;
    QV_DRIVER_OPERATIONS(QV_DRIVER_SLOT)
#undef QV_DRIVER_SLOT
    // Entry 30: a new reference to the interface's event log, where the
    // guarded shells report.
    virtual std::shared_ptr<OEventLog> GetEventLog() = 0;

    // The boundary: runs call() and returns its result; on a null driver, a
    // refused re-entrant call or anything thrown, returns neutral instead.
    // operation ("Class::Operation") names the call in the log: a throw is
    // logged at Errors once per failure, a refusal at Warnings once per
    // object. A call returning nothing gets neutral back. Never throws.
    template <typename Result, typename Call>
    static Result GuardedCall(DriverInterface* driver, const char* operation, Result neutral,
                              Call&& call) noexcept;
    // The neutral answer of operations that return nothing.
    struct NoResult {};

    // Where the last status answer of this object came from: returns its
    // StatusProvenanceCode and sets text to a line for people ("spooler: the
    // printer at host:port did not answer within 1000 ms (10060)"). Not a
    // vtable entry a host relies on; guarded like the operations above
    // (kStatusNotAsked and an empty text when refused).
    int32_t GetStatusProvenance(OString& text);

    // The printer's status in one reading, in two steps for the library's own
    // status watcher, which owns the interface it reads through and makes
    // the printer's exchange itself. BeginReadStatus reads the spooler's word
    // and the monitoring gate: true when refresh.reading is complete
    // (spoolerOnly asks nothing of the printer), else refresh.request is the
    // request to make, and EndReadStatus reads what it came to
    // (XpmlRequest::Conclude). Guarded like the operations: a fault leaves a
    // complete reading with kStatusNotAsked.
    bool BeginReadStatus(StatusRefresh& refresh, bool spoolerOnly);
    void EndReadStatus(StatusRefresh& refresh, const XpmlResult& result);

    // The interface's watch: its printer's watcher while it watches, and the
    // change callback and window message registered on it. Made on first use
    // (std::bad_alloc when there is no room); the same object for the
    // interface's life.
    std::shared_ptr<InterfaceWatch> Watch();

protected:
    // Logs the exception being handled at Errors; called only inside a catch.
    void ReportFailure(const char* operation) noexcept;
    // Runs the most derived destructor; every destructor catches what its
    // cleanup may throw.
    virtual ~DriverInterface();

#define QV_DRIVER_IMPLEMENTATION(Result, Name, Parameters, Arguments, Neutral) \
    virtual Result Do##Name Parameters;
    QV_DRIVER_OPERATIONS(QV_DRIVER_IMPLEMENTATION)
#undef QV_DRIVER_IMPLEMENTATION
    // Added after every other entry so none moves. The default: not asked.
    virtual StatusProvenance DoGetStatusProvenance();
    // The default reads the status word once and the text through the
    // interface's own operations: the spooler's answer, complete at once.
    virtual bool DoBeginReadStatus(StatusRefresh& refresh, bool spoolerOnly);
    virtual void DoEndReadStatus(StatusRefresh& refresh, const XpmlResult& result);

    // Whether the interface watches now.
    bool Watching();
    // While the interface watches: one part of its printer's latest snapshot,
    // copied alone without waiting, as a status call answers many times a
    // second; false when it does not watch:
    //   if (int s; Watched(&StatusReading::severity, s)) ...
    template <typename Value>
    bool Watched(Value StatusReading::*part, Value& value);

private:
    // The exports' one way in: they run the Do operations inside their own
    // guarded call, and tell a refused call from a failed one.
    friend struct ExportBoundary;

    // A slot: call() inside GuardedCall; on failure the neutral answer, which
    // for an operation that returns nothing is run only then.
    template <typename Result, typename Call, typename Neutral>
    Result Shell(const char* operation, Call&& call, Neutral&& neutral) noexcept;

    // Whether driver is an object of this class alive in this module; decided
    // from the address alone, so any value a host passes is safe to ask about.
    static bool IsLive(const DriverInterface* driver) noexcept;
    // Whether the calling thread is inside a guarded call on this object.
    bool InsideCall() const noexcept;
    // The interface's watch, null while it has none; taken under m_watchLock.
    std::shared_ptr<InterfaceWatch> CurrentWatch();
    // The watched snapshot's provenance while the interface watches, else
    // DoGetStatusProvenance.
    StatusProvenance CurrentProvenance();

    // Marks the object as inside a call of the calling thread for its life;
    // Entered() is false when it already was (the refusal is then logged).
    class CallScope {
    public:
        CallScope(DriverInterface& driver, const char* operation) noexcept;
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;
        bool Entered() const { return m_entered; }

    private:
        DriverInterface& m_driver;
        bool m_entered = false;
    };

    // The thread inside a guarded call on this object, 0 when none. Written
    // only by the thread that names itself, so a call from another thread is
    // never refused; hosts use one object from one thread at a time.
    std::atomic<DWORD> m_callThread{0};
    bool m_reentryReported = false;
    // Taken briefly by any thread that reads or sets m_watch: a change
    // callback may use the handle while the host thread does.
    SRWLOCK m_watchLock = SRWLOCK_INIT;
    std::shared_ptr<InterfaceWatch> m_watch;
};

template <typename Result, typename Call>
Result DriverInterface::GuardedCall(DriverInterface* driver, const char* operation, Result neutral,
                                    Call&& call) noexcept {
    if (driver == nullptr) {
        return neutral;
    }
    CallScope scope(*driver, operation);
    if (!scope.Entered()) {
        return neutral;
    }
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Call&>>) {
            call();
            return neutral;
        } else {
            return call();
        }
    } catch (...) {
        driver->ReportFailure(operation);
    }
    return neutral;
}

// Owns an interface and destroys it through entry 0.
struct DriverInterfaceDeleter {
    void operator()(DriverInterface* driver) const {
        driver->DeleteThis(DriverInterface::kDeleteMemory);
    }
};
using DriverInterfacePtr = std::unique_ptr<DriverInterface, DriverInterfaceDeleter>;

// DI_Open's choice: the advanced interface when the printer data holds
// "DAL Interface V3" or "DAL Interface", the basic one otherwise (a failing
// query included). The printer handle is stored in the new object.
DriverInterfacePtr CreateDriverInterface(HANDLE printer);

// Whether DI_Open gives the printer (a borrowed handle) the advanced
// interface: its printer data holds a DAL entry that fits the module loader's
// buffer. False for a failing query.
bool HasDalEntry(HANDLE printer);
