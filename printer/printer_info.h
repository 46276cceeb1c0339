#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "core/arrays.h"
#include "core/ostring.h"

// One printer's spooler and driver facts as PrinterInfoReader reads them,
// with when it last read them; PrinterInfo offers them by name.
struct PrinterFacts {
    OString serverName;
    OString printerName;
    OString shareName;
    OString portName;
    OString driverName;
    OString comment;
    OString location;
    std::vector<uint8_t> devMode;
    OString sepFile;
    OString printProcessor;
    OString dataType;
    OString parameters;
    uint32_t attributes = 0;
    uint32_t driverVersionNumber = 0;
    OString environment;
    OString driverDirectory;
    OString driverFile;
    OString dataFile;
    OString configFile;
    OString helpFile;
    OStringArray dependentFiles;
    OString monitorName;
    OString defaultDataType;
    FILETIME driverDate{};
    uint64_t driverVersion = 0;
    OString manufacturer;
    OString hardwareId;
    OString provider;
    bool remote = false;
    OString modelFamily;
    OString modelCode;
    bool sessionRedirected = false;
    OString shortName;
    OString packageFolder;
    OString configModule;
    OString printModule;
    bool classicLayout = true;
    bool driverPartRead = false;
    uint64_t driverPartTime = 0;  // clock of the last attempt to read the driver part
    uint64_t lastRefresh = 0;
};

// Copyable record of one printer's spooler and driver facts.
//
// A plain value: PrinterInfoReader (printer_info_reader.h) reads the facts and
// PrinterInfoCache (printer_info_cache.h) hands out records of what it keeps.
// Fields that could not be read stay empty or 0. Every record is an
// independent copy, safe to hand to another thread.
class PrinterInfo {
public:
    PrinterInfo() = default;
    explicit PrinterInfo(PrinterFacts facts) : m_facts(std::move(facts)) {}

    // Where the driver's own configuration module lives: the driver directory
    // and configuration file for a classic driver, the package folder and
    // "Quorvel_ConfigModule_" + family + ".dll" for a package driver.
    const OString& GetModuleDirectory() const {
        return m_facts.classicLayout ? m_facts.driverDirectory : m_facts.packageFolder;
    }
    const OString& GetModuleFile() const {
        return m_facts.classicLayout ? m_facts.configFile : m_facts.configModule;
    }
    bool IsClassicLayout() const { return m_facts.classicLayout; }

    // PRINTER_INFO_2 part (server without leading backslashes).
    const OString& GetServerName() const { return m_facts.serverName; }
    const OString& GetPrinterName() const { return m_facts.printerName; }
    const OString& GetShareName() const { return m_facts.shareName; }
    const OString& GetPortName() const { return m_facts.portName; }
    const OString& GetDriverName() const { return m_facts.driverName; }
    const OString& GetComment() const { return m_facts.comment; }
    const OString& GetLocation() const { return m_facts.location; }
    // The printer's DEVMODEW (dmSize + dmDriverExtra bytes), or null.
    const DEVMODEW* GetDevMode() const {
        return m_facts.devMode.empty() ? nullptr
                                       : reinterpret_cast<const DEVMODEW*>(m_facts.devMode.data());
    }
    uint32_t GetDevModeSize() const { return static_cast<uint32_t>(m_facts.devMode.size()); }
    const OString& GetSepFile() const { return m_facts.sepFile; }
    const OString& GetPrintProcessor() const { return m_facts.printProcessor; }
    const OString& GetDataType() const { return m_facts.dataType; }
    const OString& GetParameters() const { return m_facts.parameters; }
    uint32_t GetAttributes() const { return m_facts.attributes; }

    // DRIVER_INFO_6 part; files are bare names without their folder.
    uint32_t GetDriverVersionNumber() const { return m_facts.driverVersionNumber; }
    const OString& GetEnvironment() const { return m_facts.environment; }
    const OString& GetDriverDirectory() const { return m_facts.driverDirectory; }
    const OString& GetDriverFile() const { return m_facts.driverFile; }
    const OString& GetDataFile() const { return m_facts.dataFile; }
    const OString& GetConfigFile() const { return m_facts.configFile; }
    const OString& GetHelpFile() const { return m_facts.helpFile; }
    const OStringArray& GetDependentFiles() const { return m_facts.dependentFiles; }
    const OString& GetMonitorName() const { return m_facts.monitorName; }
    const OString& GetDefaultDataType() const { return m_facts.defaultDataType; }
    FILETIME GetDriverDate() const { return m_facts.driverDate; }
    uint64_t GetDriverVersion() const { return m_facts.driverVersion; }
    const OString& GetManufacturer() const { return m_facts.manufacturer; }
    const OString& GetHardwareId() const { return m_facts.hardwareId; }
    const OString& GetProvider() const { return m_facts.provider; }

    // Derived facts.
    // On another machine: a server name, a "\\host\queue" port, or a terminal
    // session's client printer.
    bool IsRemote() const { return m_facts.remote; }
    // First 3 and next 2 characters of the data file name, lower case.
    const OString& GetModelFamily() const { return m_facts.modelFamily; }
    const OString& GetModelCode() const { return m_facts.modelCode; }
    bool IsSessionRedirected() const { return m_facts.sessionRedirected; }
    // The name without its "\\server\" part; a session printer's client-side name.
    const OString& GetShortName() const { return m_facts.shortName; }
    // Printer data "DriverPackage"; empty for a classic driver.
    const OString& GetPackageFolder() const { return m_facts.packageFolder; }
    const OString& GetConfigModule() const { return m_facts.configModule; }
    const OString& GetPrintModule() const { return m_facts.printModule; }
    bool IsDriverPartRead() const { return m_facts.driverPartRead; }
    // Clock (milliseconds) of the last successful PRINTER_INFO_2 read; 0 never.
    uint64_t GetLastRefresh() const { return m_facts.lastRefresh; }

private:
    PrinterFacts m_facts;
};
