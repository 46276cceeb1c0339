#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <vector>

#include "core/arrays.h"
#include "core/ostring.h"
#include "core/seam.h"
// Users of a record reach the cache's ClearThisThread, named below, here.
#include "printer/printer_info_cache.h"

// The spooler calls of the printer information cache, as one seam (its
// refresh clock is the library's one, core/clock.h).
// Wine's spooler never reports a server name at level 4 or 2, never a "\\CSR|"
// server, and always a zero driver version and date; tests install their own
// functions (usually wrappers that call the real ones and patch the answer)
// through ScopedPrinterInfoApi. Every other call (OpenPrinterW, printer data,
// GetComputerNameW) goes to the system directly.
struct PrinterInfoApi {
    decltype(&::GetPrinterW) getPrinter = ::GetPrinterW;                    // levels 2 and 4
    decltype(&::GetPrinterDriverW) getPrinterDriver = ::GetPrinterDriverW;  // level 6
    decltype(&::GetPrinterDataExW) getPrinterDataEx = ::GetPrinterDataExW;  // "DsSpooler"

    // The functions in force (process-wide; the real ones unless overridden).
    static const PrinterInfoApi& Current() { return ScopedApi<PrinterInfoApi>::Current(); }
};

// Installs a PrinterInfoApi for its lifetime and restores the previous one.
// Process-wide: install it before starting threads that use the cache. Entries
// a thread has already cached keep their driver part: a test that fakes the
// driver version or date calls PrinterInfoCache::ClearThisThread() first (or
// uses a printer the thread has not met). Overrides nest: destroy them in the
// reverse order of their creation.
using ScopedPrinterInfoApi = ScopedApi<PrinterInfoApi>;

// Copyable record of one printer's spooler and driver facts.
//
// Constructing one from a printer name fills it from the calling thread's
// PrinterInfoCache: within a second of the cached entry's last successful
// PRINTER_INFO_2 read no spooler call is made; later the printer part is read
// again (an open, a level 2 read, a close); the driver part (DRIVER_INFO_6,
// "DriverPackage") is read only when the thread first meets the printer. The
// handle constructor costs one spooler call more every time (PRINTER_INFO_4,
// for the key): a caller that meets one handle often keeps its key
// (KeyFromHandle) and builds records by name, as the driver interface does. Never throws on spooler
// failures: fields that could not be read stay empty or 0 (only allocation failure propagates).
// Every record is an independent copy, safe to hand to another thread.
class PrinterInfo {
public:
    // An empty record; no spooler call.
    PrinterInfo() = default;
    // The key is derived from the handle's PRINTER_INFO_4: its printer name, or
    // "\\" + server + "\\" + the directory-service printer name for a printer
    // shared from another machine. The handle is borrowed, never closed.
    explicit PrinterInfo(HANDLE printer);
    // The name is the key as it stands (what OpenPrinterW accepts).
    explicit PrinterInfo(const OString& printerName);
    PrinterInfo(const PrinterInfo&) = default;
    PrinterInfo& operator=(const PrinterInfo&) = default;
    PrinterInfo(PrinterInfo&&) noexcept = default;
    PrinterInfo& operator=(PrinterInfo&&) noexcept = default;
    ~PrinterInfo() = default;

    // Clears the last refresh time, the driver-part flag, the remote flag and
    // the device mode, then fills again from this thread's cache.
    void Refresh();

    // Where the driver's own configuration module lives: the driver directory
    // and configuration file for a classic driver, the package folder and
    // "Quorvel_ConfigModule_" + family + ".dll" for a package driver.
    const OString& GetModuleDirectory() const {
        return m_classicLayout ? m_driverDirectory : m_packageFolder;
    }
    const OString& GetModuleFile() const { return m_classicLayout ? m_configFile : m_configModule; }
    bool IsClassicLayout() const { return m_classicLayout; }

    // PRINTER_INFO_2 part (server without leading backslashes).
    const OString& GetServerName() const { return m_serverName; }
    const OString& GetPrinterName() const { return m_printerName; }
    const OString& GetShareName() const { return m_shareName; }
    const OString& GetPortName() const { return m_portName; }
    const OString& GetDriverName() const { return m_driverName; }
    const OString& GetComment() const { return m_comment; }
    const OString& GetLocation() const { return m_location; }
    // The printer's DEVMODEW (dmSize + dmDriverExtra bytes), or null.
    const DEVMODEW* GetDevMode() const {
        return m_devMode.empty() ? nullptr : reinterpret_cast<const DEVMODEW*>(m_devMode.data());
    }
    uint32_t GetDevModeSize() const { return static_cast<uint32_t>(m_devMode.size()); }
    const OString& GetSepFile() const { return m_sepFile; }
    const OString& GetPrintProcessor() const { return m_printProcessor; }
    const OString& GetDataType() const { return m_dataType; }
    const OString& GetParameters() const { return m_parameters; }
    uint32_t GetAttributes() const { return m_attributes; }

    // DRIVER_INFO_6 part; files are bare names without their folder.
    uint32_t GetDriverVersionNumber() const { return m_driverVersionNumber; }
    const OString& GetEnvironment() const { return m_environment; }
    const OString& GetDriverDirectory() const { return m_driverDirectory; }
    const OString& GetDriverFile() const { return m_driverFile; }
    const OString& GetDataFile() const { return m_dataFile; }
    const OString& GetConfigFile() const { return m_configFile; }
    const OString& GetHelpFile() const { return m_helpFile; }
    const OStringArray& GetDependentFiles() const { return m_dependentFiles; }
    const OString& GetMonitorName() const { return m_monitorName; }
    const OString& GetDefaultDataType() const { return m_defaultDataType; }
    FILETIME GetDriverDate() const { return m_driverDate; }
    uint64_t GetDriverVersion() const { return m_driverVersion; }
    const OString& GetManufacturer() const { return m_manufacturer; }
    const OString& GetHardwareId() const { return m_hardwareId; }
    const OString& GetProvider() const { return m_provider; }

    // Derived facts.
    // On another machine: a server name, a "\\host\queue" port, or a terminal
    // session's client printer.
    bool IsRemote() const { return m_remote; }
    // First 3 and next 2 characters of the data file name, lower case.
    const OString& GetModelFamily() const { return m_modelFamily; }
    const OString& GetModelCode() const { return m_modelCode; }
    bool IsSessionRedirected() const { return m_sessionRedirected; }
    // The name without its "\\server\" part; a session printer's client-side name.
    const OString& GetShortName() const { return m_shortName; }
    // Printer data "DriverPackage"; empty for a classic driver.
    const OString& GetPackageFolder() const { return m_packageFolder; }
    const OString& GetConfigModule() const { return m_configModule; }
    const OString& GetPrintModule() const { return m_printModule; }
    bool IsDriverPartRead() const { return m_driverPartRead; }
    // Clock (milliseconds) of the last successful PRINTER_INFO_2 read; 0 never.
    uint64_t GetLastRefresh() const { return m_lastRefresh; }

    // The cache key of a printer handle (see the handle constructor); empty
    // when PRINTER_INFO_4 cannot be read.
    static OString KeyFromHandle(HANDLE printer);

private:
    friend class PrinterInfoCache;

    void FillFromCache();
    void Gather();
    void PostProcess();

    OString m_serverName;
    OString m_printerName;
    OString m_shareName;
    OString m_portName;
    OString m_driverName;
    OString m_comment;
    OString m_location;
    std::vector<uint8_t> m_devMode;
    OString m_sepFile;
    OString m_printProcessor;
    OString m_dataType;
    OString m_parameters;
    uint32_t m_attributes = 0;
    uint32_t m_driverVersionNumber = 0;
    OString m_environment;
    OString m_driverDirectory;
    OString m_driverFile;
    OString m_dataFile;
    OString m_configFile;
    OString m_helpFile;
    OStringArray m_dependentFiles;
    OString m_monitorName;
    OString m_defaultDataType;
    FILETIME m_driverDate{};
    uint64_t m_driverVersion = 0;
    OString m_manufacturer;
    OString m_hardwareId;
    OString m_provider;
    bool m_remote = false;
    OString m_modelFamily;
    OString m_modelCode;
    bool m_sessionRedirected = false;
    OString m_shortName;
    OString m_packageFolder;
    OString m_configModule;
    OString m_printModule;
    bool m_classicLayout = true;
    bool m_driverPartRead = false;
    uint64_t m_lastRefresh = 0;
};
