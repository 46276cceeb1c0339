#pragma once

// Installing and removing a Wine printer driver and printer, and setting a
// printer's status word: what the WinePrinter test fixture and the demo's
// qvdemoprinter tool both do to the spooler. Free of the test framework, so
// the tool compiles this one source too; it needs winspool and advapi32.
//
// Spooler facts relied on (Wine 8): AddPrinterDriverExW copies the files it is
// given by bare name from the driver folder into the driver's version folder
// (and ignores files it cannot find); printers live under
// HKLM\System\CurrentControlSet\Control\Print\Printers\<name> and the spooler
// sees registry writes there at once; the status word is the REG_DWORD
// "Status" there (GetPrinterW level 6 answers it, level 2 stays 0).

#include <windows.h>

#include <string>

namespace QvSim {

struct PrinterDriverSetup {
    std::wstring name;
    // Data file name (without folder) of a generated PostScript printer
    // description written at dpi; empty uses wineps.drv itself (300 dpi).
    std::wstring descriptionFile;
    int dpi = 300;
    // Driver key values GetPrinterDriverW level 6 reports.
    std::wstring manufacturer;
    std::wstring hardwareId;
    std::wstring provider;
};

struct PrinterSetup {
    std::wstring name;
    std::wstring driverName;
    // A file path makes a file port: what is printed lands in that file.
    std::wstring port;
    std::wstring comment;
    std::wstring location;
};

// The folder of the running program, with a trailing backslash: where the
// simulated printer's programs and modules lie beside it. Empty when the
// system does not tell.
std::wstring ProgramFolder();

// The printer driver folder (GetPrinterDriverDirectoryW) with a trailing
// backslash; empty when the spooler does not answer.
std::wstring PrinterDriverFolder();

// Registry paths below HKLM of a printer and of a printer driver.
std::wstring PrinterRegistryPath(const std::wstring& printer);
std::wstring PrinterDriverRegistryPath(const std::wstring& driver);

// Writes the description (when one is named) and installs the driver with
// AddPrinterDriverExW level 3 (wineps.drv as driver and configuration file),
// then its vendor values. Installing a driver that is already there replaces
// it. False with *error saying why on failure; *wroteDescription tells whether
// a description file was left in the driver folder (to remove on failure).
bool InstallPrinterDriver(const PrinterDriverSetup& setup, std::wstring* error,
                          bool* wroteDescription = nullptr);

// Deletes the driver, whatever of its key the spooler left and, when
// descriptionFile is not empty, both copies of the description.
void RemovePrinterDriver(const std::wstring& name, const std::wstring& descriptionFile);

// AddPrinterW level 2 with the WinPrint processor and RAW data. False with
// *error saying why on failure (a printer of that name already there is one).
bool InstallPrinter(const PrinterSetup& setup, std::wstring* error);

// Whether the spooler opens a printer of this name.
bool PrinterExists(const std::wstring& name);

// Deletes the printer and whatever the spooler left of its key (printer data
// written as keys).
void RemovePrinter(const std::wstring& name);

// Writes the REG_DWORD "Status" of the printer's registry key.
bool SetPrinterStatusWord(const std::wstring& printer, DWORD status);

}  // namespace QvSim
