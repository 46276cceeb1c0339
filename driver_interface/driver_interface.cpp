#include "driver_interface/driver_interface.h"

#include <winspool.h>

#include "diagnostics/event_log.h"

bool DriverInterface::IsAdvanced() {
    return false;
}
OString DriverInterface::GetPrinterStatusText() {
    return OString();
}
OString DriverInterface::GetJobStatusText(uint32_t) {
    return OString();
}
bool DriverInterface::HasPrinterStatus(int) {
    return false;
}
int DriverInterface::GetPrinterStatusSeverity() {
    return 1;
}
uint32_t DriverInterface::GetPrinterStatusFlags() {
    return 0;
}
uint32_t DriverInterface::GetPrinterExtendedStatusFlags() {
    return 0;
}
OString DriverInterface::GetPrinterDriverVersion() {
    return OString();
}
OString DriverInterface::GetPrinterDriverDate() {
    return OString();
}

void DriverInterface::Command(int, DriverCommand& record) {
    record.supported = false;
    record.hasUserInterface = false;
    record.dalActionBit20 = false;
    record.dalActionBit10 = false;
}

bool DriverInterface::SendFile(const OString&, const OString&) {
    return false;
}
bool DriverInterface::ImportSettings(const OString&, uint32_t) {
    return false;
}
bool DriverInterface::ExportSettings(const OString&, uint32_t) {
    return false;
}
bool DriverInterface::ResetSettings(uint32_t) {
    return false;
}
bool DriverInterface::PauseJob(uint32_t) {
    return false;
}
bool DriverInterface::ResumeJob(uint32_t) {
    return false;
}
bool DriverInterface::DeleteJob(uint32_t) {
    return false;
}
bool DriverInterface::RestartJob(uint32_t) {
    return false;
}
bool DriverInterface::SetJobPriority(uint32_t, uint32_t) {
    return false;
}
bool DriverInterface::SetJobStartTime(uint32_t, uint32_t) {
    return false;
}
bool DriverInterface::SetJobUntilTime(uint32_t, uint32_t) {
    return false;
}

bool DriverInterface::SendDalQuery(const uint8_t*, uint32_t, const OString&, int32_t, int32_t,
                                   int32_t) {
    return false;
}

bool DriverInterface::SendDalQueryEx(const uint8_t*, uint32_t, const OString&, int32_t, int32_t,
                                     int32_t, const OString&, bool) {
    return false;
}

int DriverInterface::GetDalQueryStatus(const OString&) {
    return 0;
}
bool DriverInterface::GetDalQueryResponse(const OString&, std::vector<uint8_t>&) {
    return false;
}
bool DriverInterface::IsBidiEnabled() {
    return false;
}

BasicDriverInterface::BasicDriverInterface()
    : m_eventLog(std::make_shared<OEventLog>(OString(OEventLog::kSourcePrinterInterface))) {}

BasicDriverInterface::~BasicDriverInterface() = default;

void* BasicDriverInterface::DeleteThis(unsigned int flags) {
    this->~BasicDriverInterface();
    return FreeAfterDestruction(this, flags);
}

void BasicDriverInterface::SetPrinterHandle(HANDLE printer) {
    m_printer = printer;
}

std::shared_ptr<OEventLog> BasicDriverInterface::GetEventLog() {
    return m_eventLog;
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

DriverInterfacePtr CreateDriverInterface(HANDLE printer) {
    DriverInterfacePtr driver;
    if (HasPrinterDataValue(printer, L"DAL Interface V3") ||
        HasPrinterDataValue(printer, L"DAL Interface")) {
        driver.reset(new AdvancedDriverInterface());
    } else {
        driver.reset(new BasicDriverInterface());
    }
    driver->SetPrinterHandle(printer);
    return driver;
}
