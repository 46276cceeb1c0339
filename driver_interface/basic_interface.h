#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "core/ostring.h"
#include "driver_interface/driver_interface.h"
#include "driver_interface/printer_status.h"
#include "driver_interface/status_provenance.h"

class PrinterInfo;

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

    // The printer's cache key (PrinterInfoReader::KeyFromHandle), asked of the
    // spooler once per handle, when the thread's cached facts of the printer
    // are also marked for reading again; empty while the spooler cannot say,
    // and once the printer is gone (PrinterGone), so that a printer that takes
    // its old name is never answered for.
    // Public for exports that address the printer by it (QVDI_SendXpml).
    const OString& PrinterKey();

    // Whether the handle's printer no longer goes by the key the interface
    // took (renamed, its name perhaps taken by another printer): asked of the
    // spooler (PRINTER_INFO_4 on the handle) at most once a second by the
    // library's clock (once a minute while the interface watches, or when it
    // is a status watcher's own reader); once gone, always gone. A spooler
    // that cannot say is not taken for a rename. Asked by the export
    // boundary, which then answers neutrally with ERROR_INVALID_PRINTER_NAME,
    // and by PrinterKey.
    bool PrinterGone();
    // The interface reads for a status watcher, which refreshes it each
    // interval: its printer's name is compared once a minute, like that of
    // an interface that watches.
    void ServeWatcher() { m_servesWatcher = true; }

protected:
    ~BasicDriverInterface();
    // The spooler's status text: the first job's status, else the status
    // word as text (read here unless the caller has it).
    OString SpoolerStatusText(std::optional<uint32_t> status);
    HANDLE Printer() const { return m_printer; }
    // The printer's facts from this thread's cache, by its key.
    PrinterInfo Info();
    // Keeps where the operation's answer came from, and reports a fallback or
    // failure to the event log (ReportProvenance). A nested status call records
    // its own; the outermost records last.
    void RecordProvenance(const char* operation, const StatusProvenance& provenance);

private:
    // Read-modify-write of one field of the job's JOB_INFO_2.
    template <typename Change>
    bool ChangeJob(uint32_t jobId, Change change);

    // The spooler answered a status call: the basic interface's only source.
    void RecordSpooler(const char* operation);

    HANDLE m_printer = nullptr;  // borrowed from the host
    OString m_printerKey;        // of m_printer, empty until asked
    uint64_t m_keyChecked = 0;   // clock of the last comparison with the handle's key
    bool m_gone = false;
    bool m_servesWatcher = false;
    std::shared_ptr<OEventLog> m_eventLog;
    StatusProvenance m_provenance;
};
