#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dal/dal_module.h"
#include "driver_interface/basic_interface.h"

class PrinterCallContext;

// The interface for drivers with a DAL module. Status comes from the printer
// itself through XPML when the printer has bidirectional support and its
// "Status/Status Monitoring Mode" is 1 to 3 (the monitoring gate), else from
// the spooler as the basic interface has it; an answer that is not what is
// expected falls back the same way. Commands other than 1 and 2, settings and
// DAL queries go to the driver's DAL module and its XPML server.
struct WatchAnswer;

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
    // The four states in one request (spoolerOnly: the spooler's answer).
    bool DoBeginReadStatus(StatusRefresh& refresh, bool spoolerOnly) override;
    void DoEndReadStatus(StatusRefresh& refresh, const XpmlResult& result) override;
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
    // The reading's text, severity and extended flags from a whole answer of
    // the four states, else from the spooler, with the provenance that says so.
    void ReadWatchReading(StatusReading& reading, const WatchAnswer& answer);
    // Sends request when the gate is open; false, with the reason recorded in
    // provenance, when there is no answer.
    bool AskPrinter(PrinterCallContext& printer, const char* request, std::string& text,
                    StatusProvenance& provenance);
    // True when the DAL handle is open (opened here when it is not).
    bool OpenDal();

    DriverDLLProxy m_dll;
    uint64_t m_dal = 0;  // 0 while no DAL printer is open
};
