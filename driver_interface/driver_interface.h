#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// HDRIVERINTERFACE (the address of a DriverInterface object, never
// dereferenced as the struct it names) and DriverCommand come from the public
// header; its host view of DriverInterface gives way to the class below.
#define QV_LIBRARY_DRIVER_INTERFACE
#include "quorvel_driver_utility.h"

#include "core/ostring.h"
#include "core/seam.h"
#include "dal/dal_module.h"
#include "driver_interface/printer_status.h"
#include "driver_interface/status_provenance.h"
#include "printer/odometer.h"

class OEventLog;
class PrinterCallContext;
class PrinterInfo;

// Hosts of both compilers build the record; its layout is part of the interface.
static_assert(sizeof(DriverCommand) == 16);
static_assert(offsetof(DriverCommand, supported) == 8);
static_assert(offsetof(DriverCommand, hasUserInterface) == 9);
static_assert(offsetof(DriverCommand, dalActionBit20) == 10);
static_assert(offsetof(DriverCommand, dalActionBit10) == 11);
static_assert(offsetof(DriverCommand, execute) == 12);

// The contract behind an HDRIVERINTERFACE. A caller may hold the handle as a
// pointer to this class, so the virtual operations stay declared in exactly this
// order, including those no export reaches: operation n is vtable entry n for
// hosts of every compiler. One object is used by one thread at a time.
//
// Entries 0 to 29 are the boundary with the host: each is a guarded shell
// (GuardedCall) over the protected implementation of the same name with "Do"
// in front, declared after entry 30 where the vtable promises nothing. A shell
// never throws: anything thrown inside, allocation failure included, is logged
// once at Errors and gives the operation's neutral answer (the stated default
// of a failure: empty text, false, 0, severity 1, a command record with its
// four result flags clear). A call that arrives while the same object is
// already inside a call on the same thread (a window procedure run by a DAL
// wait) gets the neutral answer at once. Subclasses override the Do
// operations, and operations call each other's Do form.
//
// Entry 0 is DeleteThis, in the shape of Microsoft's scalar deleting
// destructor; the C++ virtual destructor is declared after the last slot,
// where g++'s two entries for it move nothing a host sees.
class DriverInterface {
public:
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
    // Stores the spooler handle the host opened. It stays the host's: it must
    // outlive the interface and is never closed here.
    virtual void SetPrinterHandle(HANDLE printer) final;
    virtual bool IsAdvanced() final;
    virtual OString GetPrinterStatusText() final;
    virtual OString GetJobStatusText(uint32_t jobId) final;
    virtual bool HasPrinterStatus(int statusId) final;
    // 1 ready, 2 error, 3 warning.
    virtual int GetPrinterStatusSeverity() final;
    virtual uint32_t GetPrinterStatusFlags() final;
    virtual uint32_t GetPrinterExtendedStatusFlags() final;
    virtual OString GetPrinterDriverVersion() final;
    virtual OString GetPrinterDriverDate() final;
    // Clears the record's four result flags, then sets them as the driver
    // knows the command; runs it only when execute is set and it is supported.
    virtual void Command(int command, DriverCommand& record) final;
    virtual bool SendFile(const OString& path, const OString& documentName) final;
    virtual bool ImportSettings(const OString& path, uint32_t flags) final;
    virtual bool ExportSettings(const OString& path, uint32_t flags) final;
    virtual bool ResetSettings(uint32_t flags) final;
    virtual bool PauseJob(uint32_t jobId) final;
    virtual bool ResumeJob(uint32_t jobId) final;
    virtual bool DeleteJob(uint32_t jobId) final;
    virtual bool RestartJob(uint32_t jobId) final;
    virtual bool SetJobPriority(uint32_t jobId, uint32_t priority) final;
    // Start and until times are minutes after midnight, as the spooler has them.
    virtual bool SetJobStartTime(uint32_t jobId, uint32_t minutes) final;
    virtual bool SetJobUntilTime(uint32_t jobId, uint32_t minutes) final;
    // Timeouts go to the printer unchanged.
    virtual bool SendDalQuery(const uint8_t* data, uint32_t size, const OString& queryId,
                              int32_t sendTimeout, int32_t receiveStartTimeout,
                              int32_t receiveIntervalTimeout) final;
    virtual bool SendDalQueryEx(const uint8_t* data, uint32_t size, const OString& queryId,
                                int32_t sendTimeout, int32_t receiveStartTimeout,
                                int32_t receiveIntervalTimeout, const OString& responsePattern,
                                bool readFlag) final;
    virtual int GetDalQueryStatus(const OString& queryId) final;
    // On success the buffer holds exactly the answer; otherwise it is unchanged.
    virtual bool GetDalQueryResponse(const OString& queryId, std::vector<uint8_t>& response) final;
    virtual bool IsBidiEnabled() final;
    virtual OdometerData GetOdometer() final;
    virtual void SetOdometer(const OdometerData& odometer) final;
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

protected:
    // Runs the most derived destructor; every destructor catches what its
    // cleanup may throw.
    virtual ~DriverInterface();

    virtual void DoSetPrinterHandle(HANDLE printer) = 0;
    virtual bool DoIsAdvanced();
    virtual OString DoGetPrinterStatusText();
    virtual OString DoGetJobStatusText(uint32_t jobId);
    virtual bool DoHasPrinterStatus(int statusId);
    virtual int DoGetPrinterStatusSeverity();
    virtual uint32_t DoGetPrinterStatusFlags();
    virtual uint32_t DoGetPrinterExtendedStatusFlags();
    virtual OString DoGetPrinterDriverVersion();
    virtual OString DoGetPrinterDriverDate();
    // The default only clears the four result flags: nothing is supported.
    virtual void DoCommand(int command, DriverCommand& record);
    virtual bool DoSendFile(const OString& path, const OString& documentName);
    virtual bool DoImportSettings(const OString& path, uint32_t flags);
    virtual bool DoExportSettings(const OString& path, uint32_t flags);
    virtual bool DoResetSettings(uint32_t flags);
    virtual bool DoPauseJob(uint32_t jobId);
    virtual bool DoResumeJob(uint32_t jobId);
    virtual bool DoDeleteJob(uint32_t jobId);
    virtual bool DoRestartJob(uint32_t jobId);
    virtual bool DoSetJobPriority(uint32_t jobId, uint32_t priority);
    virtual bool DoSetJobStartTime(uint32_t jobId, uint32_t minutes);
    virtual bool DoSetJobUntilTime(uint32_t jobId, uint32_t minutes);
    virtual bool DoSendDalQuery(const uint8_t* data, uint32_t size, const OString& queryId,
                                int32_t sendTimeout, int32_t receiveStartTimeout,
                                int32_t receiveIntervalTimeout);
    virtual bool DoSendDalQueryEx(const uint8_t* data, uint32_t size, const OString& queryId,
                                  int32_t sendTimeout, int32_t receiveStartTimeout,
                                  int32_t receiveIntervalTimeout, const OString& responsePattern,
                                  bool readFlag);
    virtual int DoGetDalQueryStatus(const OString& queryId);
    virtual bool DoGetDalQueryResponse(const OString& queryId, std::vector<uint8_t>& response);
    virtual bool DoIsBidiEnabled();
    virtual OdometerData DoGetOdometer() = 0;
    virtual void DoSetOdometer(const OdometerData& odometer) = 0;
    // Added after every other entry so none moves. The default: not asked.
    virtual StatusProvenance DoGetStatusProvenance();

private:
    // The exports run the Do operations inside their own guarded call.
    friend struct ExportBoundary;
    friend struct DriverInterfaceExports;
    friend struct FlatExports;
    friend struct SupportExports;

    // Whether driver is an object of this class alive in this module; decided
    // from the address alone, so any value a host passes is safe to ask about.
    static bool IsLive(const DriverInterface* driver) noexcept;

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
    // Logs the exception being handled at Errors; called only inside a catch.
    void ReportFailure(const char* operation) noexcept;

    // The thread inside a guarded call on this object, 0 when none. Written
    // only by the thread that names itself, so a call from another thread is
    // never refused; hosts use one object from one thread at a time.
    std::atomic<DWORD> m_callThread{0};
    bool m_reentryReported = false;
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

// Which library a status text comes from; tests point these at libraries that
// do not exist to see the English texts.
struct StatusTextLibraries {
    const wchar_t* printUi = kPrintUiLibrary;
    const wchar_t* printUiApi = kPrintUiApiLibrary;
};

// Answers everything from the spooler alone: the status word, the first job's
// status text, the driver facts of the printer's PrinterInfo, GDI for the two
// built-in commands.
class BasicDriverInterface : public DriverInterface {
public:
    // Creates the interface's event log, source "Quorvel Printer Interface V3".
    BasicDriverInterface();

    std::shared_ptr<OEventLog> GetEventLog() override;

protected:
    void DoSetPrinterHandle(HANDLE printer) override;
    // The first queued job's status string when it has one (a port monitor's
    // message), else the status word as text.
    OString DoGetPrinterStatusText() override;
    // Ids 100..121 test one status bit each; ids from 200 up give false without
    // asking the spooler.
    bool DoHasPrinterStatus(int statusId) override;
    int DoGetPrinterStatusSeverity() override;
    // PRINTER_INFO_6 status word; 0 when the spooler does not answer.
    uint32_t DoGetPrinterStatusFlags() override;
    // 0x80000000 for an error, 0x40000000 for a warning, else 0.
    uint32_t DoGetPrinterExtendedStatusFlags() override;
    // The driver version as "a.b.c.d", or, when the spooler has none, the
    // configuration module's ProductVersion; empty when neither exists.
    OString DoGetPrinterDriverVersion() override;
    // The driver date (or the configuration module's creation time) as the
    // invariant locale's short date, MM/dd/yyyy; empty when neither exists.
    OString DoGetPrinterDriverDate() override;
    // 1 prints the test page, 2 an empty page; neither has a user interface.
    void DoCommand(int command, DriverCommand& record) override;
    // Sends the file's bytes as one raw job; the document name defaults to the
    // file name without its folder. True when the last write succeeded.
    bool DoSendFile(const OString& path, const OString& documentName) override;
    bool DoPauseJob(uint32_t jobId) override;
    bool DoResumeJob(uint32_t jobId) override;
    bool DoDeleteJob(uint32_t jobId) override;
    bool DoRestartJob(uint32_t jobId) override;
    bool DoSetJobPriority(uint32_t jobId, uint32_t priority) override;
    bool DoSetJobStartTime(uint32_t jobId, uint32_t minutes) override;
    bool DoSetJobUntilTime(uint32_t jobId, uint32_t minutes) override;
    // All counters 0 without a printer or when the printer data lacks them.
    OdometerData DoGetOdometer() override;
    // Does nothing without a printer.
    void DoSetOdometer(const OdometerData& odometer) override;
    StatusProvenance DoGetStatusProvenance() override;

public:
    // The status word as text, each text loaded from the given libraries.
    static OString FormatStatusWord(uint32_t status, const StatusTextLibraries& libraries = {});
    // String id of a library loaded as a data file (loaded and freed again for
    // every text); the fallback when the library or the id is missing.
    static OString LoadResourceText(const wchar_t* library, uint32_t id, const OString& fallback);
    // The named string of a file's version resource, from the first translation
    // that has it; empty when there is none.
    static OString ReadVersionString(const OString& path, const OString& name);
    // "%hu.%hu.%hu.%hu", most significant part first.
    static OString FormatDriverVersion(uint64_t version);
    // The invariant short date of a UTC file time (not converted to local time);
    // empty for a zero time or one Windows cannot convert.
    static OString FormatDriverDate(const FILETIME& date);
    // The driver's configuration module (directory, "\\", file); empty when the
    // spooler names none.
    static OString ConfigurationModulePath(const PrinterInfo& info);

protected:
    ~BasicDriverInterface();
    HANDLE Printer() const { return m_printer; }
    // The printer's cache key (PrinterInfo::KeyFromHandle), asked of the
    // spooler once per handle, when the thread's cached facts of the printer
    // are also marked for reading again; empty while the spooler cannot say.
    const OString& PrinterKey();
    // The printer's facts from this thread's cache, by its key.
    PrinterInfo Info();
    // Keeps where the operation's answer came from, and reports a fallback or
    // failure to the event log (ReportProvenance). A nested status call records
    // its own; the outermost records last.
    void RecordProvenance(const char* operation, const StatusProvenance& provenance);

private:
    // QVDI_SendXpml addresses the printer by this interface's key.
    friend struct SupportExports;
    // Read-modify-write of one field of the job's JOB_INFO_2.
    template <typename Change>
    bool ChangeJob(uint32_t jobId, Change change);

    // The spooler answered a status call: the basic interface's only source.
    void RecordSpooler(const char* operation);

    HANDLE m_printer = nullptr;  // borrowed from the host
    OString m_printerKey;        // of m_printer, empty until asked
    std::shared_ptr<OEventLog> m_eventLog;
    StatusProvenance m_provenance;
};

// The interface for drivers with a DAL module. Status comes from the printer
// itself through XPML when the printer has bidirectional support and its
// "Status/Status Monitoring Mode" is 1 to 3 (the monitoring gate), else from
// the spooler as the basic interface has it; an answer that is not what is
// expected falls back the same way. Commands other than 1 and 2, settings and
// DAL queries go to the driver's DAL module and its XPML server.
class AdvancedDriverInterface : public BasicDriverInterface {
public:
    // The largest DAL query envelope sent: a form field may triple in URL
    // encoding, and the XPML server reads no message beyond the size the
    // library's own HTTP framing accepts. A larger query fails, never cut.
    static constexpr size_t kMaxDalQueryEnvelopeBytes = 5 * 1024 * 1024;

    AdvancedDriverInterface() = default;

protected:
    bool DoIsAdvanced() override;

    // The printer's "Status" value; while the spooler has the printer paused,
    // the paused text alone (severity 1) or appended after ", ". Empty when the
    // printer answers with fewer than three values.
    OString DoGetPrinterStatusText() override;
    // The printer's whole answer to a job request (no monitoring gate).
    OString DoGetJobStatusText(uint32_t jobId) override;
    // Ids 201..211 test bits 0..10 of the extended flags; other ids above 200
    // are false; the rest as the basic interface.
    bool DoHasPrinterStatus(int statusId) override;
    int DoGetPrinterStatusSeverity() override;
    // The printer's "Status Flags 2" with bit 31 for an error, bit 30 for a
    // warning.
    uint32_t DoGetPrinterExtendedStatusFlags() override;
    // The configuration module's "ProductVersion", else the basic answer.
    OString DoGetPrinterDriverVersion() override;
    // The configuration module's "Build Date" up to its first comma or blank,
    // else the basic answer.
    OString DoGetPrinterDriverDate() override;
    // Commands 1 and 2 as the basic interface (the DAL never sees them); any
    // other from the DAL module's action flags, run with PrinterActionUI.
    void DoCommand(int command, DriverCommand& record) override;
    // True once the DAL is open, whatever the module did; import and reset
    // are saved.
    bool DoImportSettings(const OString& path, uint32_t flags) override;
    bool DoExportSettings(const OString& path, uint32_t flags) override;
    bool DoResetSettings(uint32_t flags) override;
    bool DoSendDalQuery(const uint8_t* data, uint32_t size, const OString& queryId,
                        int32_t sendTimeout, int32_t receiveStartTimeout,
                        int32_t receiveIntervalTimeout) override;
    // True when a route delivered the query; the answer is not read.
    bool DoSendDalQueryEx(const uint8_t* data, uint32_t size, const OString& queryId,
                          int32_t sendTimeout, int32_t receiveStartTimeout,
                          int32_t receiveIntervalTimeout, const OString& responsePattern,
                          bool readFlag) override;
    // The printer's number for the query, 0 without an answer.
    int DoGetDalQueryStatus(const OString& queryId) override;
    bool DoGetDalQueryResponse(const OString& queryId, std::vector<uint8_t>& response) override;
    // PRINTER_ATTRIBUTE_ENABLE_BIDI of the printer's cached facts (asked of
    // the spooler at most once a second).
    bool DoIsBidiEnabled() override;

    // Closes the DAL handle, then the module or proxy goes with m_dll; a
    // throwing close is logged, never passed on.
    ~AdvancedDriverInterface();

public:
    // kStatusFromPrinter when the monitoring gate is open, else why not: the
    // printer's bidi attribute, then (only when it is set) its monitoring
    // setting, whose absent or invalid value stands for the settings' default
    // mode. Public for support tools that show why a printer is not asked.
    static StatusProvenanceCode MonitoringGate(PrinterCallContext& printer);

private:
    // Sends request when the gate is open; false, with the reason recorded in
    // provenance, when there is no answer.
    bool AskPrinter(PrinterCallContext& printer, const char* request, std::string& text,
                    StatusProvenance& provenance);
    // True when the DAL handle is open (opened here when it is not).
    bool OpenDal();

    DriverDLLProxy m_dll;
    uint64_t m_dal = 0;  // 0 while no DAL printer is open
};

// DI_Open's choice: the advanced interface when the printer data holds
// "DAL Interface V3" or "DAL Interface", the basic one otherwise (a failing
// query included). The printer handle is stored in the new object.
DriverInterfacePtr CreateDriverInterface(HANDLE printer);

// Whether DI_Open gives the printer (a borrowed handle) the advanced
// interface: its printer data holds a DAL entry that fits the module loader's
// buffer. False for a failing query.
bool HasDalEntry(HANDLE printer);
