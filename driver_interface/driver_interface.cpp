#include "driver_interface/driver_interface.h"

#include <winspool.h>

#include <exception>
#include <set>

#include "diagnostics/event_log.h"
#include "diagnostics/exceptions.h"
#include "printer/printer_info_cache.h"
#include "printer/printer_info_reader.h"

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
    this->~DriverInterface();
    if ((flags & kDeleteMemory) != 0) {
        ::operator delete(this);
    }
    return this;
}

void DriverInterface::SetPrinterHandle(HANDLE printer) {
    GuardedCall(this, "DriverInterface::SetPrinterHandle", NoResult{},
                [&] { DoSetPrinterHandle(printer); });
}
bool DriverInterface::IsAdvanced() {
    return GuardedCall(this, "DriverInterface::IsAdvanced", false, [&] { return DoIsAdvanced(); });
}
OString DriverInterface::GetPrinterStatusText() {
    return GuardedCall(this, "DriverInterface::GetPrinterStatusText", OString(),
                       [&] { return DoGetPrinterStatusText(); });
}
OString DriverInterface::GetJobStatusText(uint32_t jobId) {
    return GuardedCall(this, "DriverInterface::GetJobStatusText", OString(),
                       [&] { return DoGetJobStatusText(jobId); });
}
bool DriverInterface::HasPrinterStatus(int statusId) {
    return GuardedCall(this, "DriverInterface::HasPrinterStatus", false,
                       [&] { return DoHasPrinterStatus(statusId); });
}
int DriverInterface::GetPrinterStatusSeverity() {
    return GuardedCall(this, "DriverInterface::GetPrinterStatusSeverity", 1,
                       [&] { return DoGetPrinterStatusSeverity(); });
}
uint32_t DriverInterface::GetPrinterStatusFlags() {
    return GuardedCall(this, "DriverInterface::GetPrinterStatusFlags", 0u,
                       [&] { return DoGetPrinterStatusFlags(); });
}
uint32_t DriverInterface::GetPrinterExtendedStatusFlags() {
    return GuardedCall(this, "DriverInterface::GetPrinterExtendedStatusFlags", 0u,
                       [&] { return DoGetPrinterExtendedStatusFlags(); });
}
OString DriverInterface::GetPrinterDriverVersion() {
    return GuardedCall(this, "DriverInterface::GetPrinterDriverVersion", OString(),
                       [&] { return DoGetPrinterDriverVersion(); });
}
OString DriverInterface::GetPrinterDriverDate() {
    return GuardedCall(this, "DriverInterface::GetPrinterDriverDate", OString(),
                       [&] { return DoGetPrinterDriverDate(); });
}
void DriverInterface::Command(int command, DriverCommand& record) {
    // Flags set before a failure do not count: the neutral record supports nothing.
    if (!GuardedCall(this, "DriverInterface::Command", false, [&] {
            DoCommand(command, record);
            return true;
        })) {
        ClearCommandResults(record);
    }
}
bool DriverInterface::SendFile(const OString& path, const OString& documentName) {
    return GuardedCall(this, "DriverInterface::SendFile", false,
                       [&] { return DoSendFile(path, documentName); });
}
bool DriverInterface::ImportSettings(const OString& path, uint32_t flags) {
    return GuardedCall(this, "DriverInterface::ImportSettings", false,
                       [&] { return DoImportSettings(path, flags); });
}
bool DriverInterface::ExportSettings(const OString& path, uint32_t flags) {
    return GuardedCall(this, "DriverInterface::ExportSettings", false,
                       [&] { return DoExportSettings(path, flags); });
}
bool DriverInterface::ResetSettings(uint32_t flags) {
    return GuardedCall(this, "DriverInterface::ResetSettings", false,
                       [&] { return DoResetSettings(flags); });
}
bool DriverInterface::PauseJob(uint32_t jobId) {
    return GuardedCall(this, "DriverInterface::PauseJob", false, [&] { return DoPauseJob(jobId); });
}
bool DriverInterface::ResumeJob(uint32_t jobId) {
    return GuardedCall(this, "DriverInterface::ResumeJob", false,
                       [&] { return DoResumeJob(jobId); });
}
bool DriverInterface::DeleteJob(uint32_t jobId) {
    return GuardedCall(this, "DriverInterface::DeleteJob", false,
                       [&] { return DoDeleteJob(jobId); });
}
bool DriverInterface::RestartJob(uint32_t jobId) {
    return GuardedCall(this, "DriverInterface::RestartJob", false,
                       [&] { return DoRestartJob(jobId); });
}
bool DriverInterface::SetJobPriority(uint32_t jobId, uint32_t priority) {
    return GuardedCall(this, "DriverInterface::SetJobPriority", false,
                       [&] { return DoSetJobPriority(jobId, priority); });
}
bool DriverInterface::SetJobStartTime(uint32_t jobId, uint32_t minutes) {
    return GuardedCall(this, "DriverInterface::SetJobStartTime", false,
                       [&] { return DoSetJobStartTime(jobId, minutes); });
}
bool DriverInterface::SetJobUntilTime(uint32_t jobId, uint32_t minutes) {
    return GuardedCall(this, "DriverInterface::SetJobUntilTime", false,
                       [&] { return DoSetJobUntilTime(jobId, minutes); });
}
bool DriverInterface::SendDalQuery(const uint8_t* data, uint32_t size, const OString& queryId,
                                   int32_t sendTimeout, int32_t receiveStartTimeout,
                                   int32_t receiveIntervalTimeout) {
    return GuardedCall(this, "DriverInterface::SendDalQuery", false, [&] {
        return DoSendDalQuery(data, size, queryId, sendTimeout, receiveStartTimeout,
                              receiveIntervalTimeout);
    });
}
bool DriverInterface::SendDalQueryEx(const uint8_t* data, uint32_t size, const OString& queryId,
                                     int32_t sendTimeout, int32_t receiveStartTimeout,
                                     int32_t receiveIntervalTimeout, const OString& responsePattern,
                                     bool readFlag) {
    return GuardedCall(this, "DriverInterface::SendDalQueryEx", false, [&] {
        return DoSendDalQueryEx(data, size, queryId, sendTimeout, receiveStartTimeout,
                                receiveIntervalTimeout, responsePattern, readFlag);
    });
}
int DriverInterface::GetDalQueryStatus(const OString& queryId) {
    return GuardedCall(this, "DriverInterface::GetDalQueryStatus", 0,
                       [&] { return DoGetDalQueryStatus(queryId); });
}
bool DriverInterface::GetDalQueryResponse(const OString& queryId, std::vector<uint8_t>& response) {
    return GuardedCall(this, "DriverInterface::GetDalQueryResponse", false,
                       [&] { return DoGetDalQueryResponse(queryId, response); });
}
bool DriverInterface::IsBidiEnabled() {
    return GuardedCall(this, "DriverInterface::IsBidiEnabled", false,
                       [&] { return DoIsBidiEnabled(); });
}
OdometerData DriverInterface::GetOdometer() {
    return GuardedCall(this, "DriverInterface::GetOdometer", OdometerData(),
                       [&] { return DoGetOdometer(); });
}
void DriverInterface::SetOdometer(const OdometerData& odometer) {
    GuardedCall(this, "DriverInterface::SetOdometer", NoResult{}, [&] { DoSetOdometer(odometer); });
}
int32_t DriverInterface::GetStatusProvenance(OString& text) {
    const StatusProvenance provenance =
        GuardedCall(this, "DriverInterface::GetStatusProvenance", StatusProvenance{},
                    [&] { return DoGetStatusProvenance(); });
    text = provenance.text;
    return provenance.code;
}

bool DriverInterface::DoIsAdvanced() {
    return false;
}
OString DriverInterface::DoGetPrinterStatusText() {
    return OString();
}
OString DriverInterface::DoGetJobStatusText(uint32_t) {
    return OString();
}
bool DriverInterface::DoHasPrinterStatus(int) {
    return false;
}
int DriverInterface::DoGetPrinterStatusSeverity() {
    return 1;
}
uint32_t DriverInterface::DoGetPrinterStatusFlags() {
    return 0;
}
uint32_t DriverInterface::DoGetPrinterExtendedStatusFlags() {
    return 0;
}
OString DriverInterface::DoGetPrinterDriverVersion() {
    return OString();
}
OString DriverInterface::DoGetPrinterDriverDate() {
    return OString();
}

void DriverInterface::DoCommand(int, DriverCommand& record) {
    ClearCommandResults(record);
}

bool DriverInterface::DoSendFile(const OString&, const OString&) {
    return false;
}
bool DriverInterface::DoImportSettings(const OString&, uint32_t) {
    return false;
}
bool DriverInterface::DoExportSettings(const OString&, uint32_t) {
    return false;
}
bool DriverInterface::DoResetSettings(uint32_t) {
    return false;
}
bool DriverInterface::DoPauseJob(uint32_t) {
    return false;
}
bool DriverInterface::DoResumeJob(uint32_t) {
    return false;
}
bool DriverInterface::DoDeleteJob(uint32_t) {
    return false;
}
bool DriverInterface::DoRestartJob(uint32_t) {
    return false;
}
bool DriverInterface::DoSetJobPriority(uint32_t, uint32_t) {
    return false;
}
bool DriverInterface::DoSetJobStartTime(uint32_t, uint32_t) {
    return false;
}
bool DriverInterface::DoSetJobUntilTime(uint32_t, uint32_t) {
    return false;
}

bool DriverInterface::DoSendDalQuery(const uint8_t*, uint32_t, const OString&, int32_t, int32_t,
                                     int32_t) {
    return false;
}

bool DriverInterface::DoSendDalQueryEx(const uint8_t*, uint32_t, const OString&, int32_t, int32_t,
                                       int32_t, const OString&, bool) {
    return false;
}

int DriverInterface::DoGetDalQueryStatus(const OString&) {
    return 0;
}
bool DriverInterface::DoGetDalQueryResponse(const OString&, std::vector<uint8_t>&) {
    return false;
}
bool DriverInterface::DoIsBidiEnabled() {
    return false;
}
StatusProvenance DriverInterface::DoGetStatusProvenance() {
    return ProvenanceOf(kStatusNotAsked);
}

BasicDriverInterface::BasicDriverInterface()
    : m_eventLog(std::make_shared<OEventLog>(OString(OEventLog::kSourcePrinterInterface))) {}

BasicDriverInterface::~BasicDriverInterface() = default;

void BasicDriverInterface::DoSetPrinterHandle(HANDLE printer) {
    m_printer = printer;
    m_printerKey = OString();
}

// A new interface sees the printer as it is now (its bidi attribute above
// all); later calls take the thread's cached facts, at most a second old.
const OString& BasicDriverInterface::PrinterKey() {
    if (m_printerKey.IsEmpty() && m_printer != nullptr) {
        m_printerKey = PrinterInfoReader::KeyFromHandle(m_printer);
        PrinterInfoCache::ExpireThisThread(m_printerKey);
    }
    return m_printerKey;
}

PrinterInfo BasicDriverInterface::Info() {
    const OString& key = PrinterKey();
    return key.IsEmpty() ? PrinterInfo() : PrinterInfoCache::Lookup(key);
}

std::shared_ptr<OEventLog> BasicDriverInterface::GetEventLog() {
    return m_eventLog;
}

StatusProvenance BasicDriverInterface::DoGetStatusProvenance() {
    return m_provenance;
}

void BasicDriverInterface::RecordProvenance(const char* operation,
                                            const StatusProvenance& provenance) {
    m_provenance = provenance;
    if (m_eventLog != nullptr) {
        ReportProvenance(*m_eventLog, operation, PrinterKey(), provenance);
    }
}

void BasicDriverInterface::RecordSpooler(const char* operation) {
    RecordProvenance(operation,
                     ProvenanceOf(DoIsAdvanced() ? kStatusSpoolerWord : kStatusBasicInterface));
}

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
