#pragma once

// A real Wine printer for conformance tests.
//
// Each WinePrinter installs its own printer driver (AddPrinterDriverExW level
// 3: driver path and configuration file wineps.drv, a data file that is either
// wineps.drv or a generated PostScript printer description at a chosen
// resolution) and one printer (AddPrinterW level 2) whose port is a file, so
// that what is printed to it can be read back. Names carry the test program's
// name and process id, so test programs running side by side in one prefix
// never meet. The destructor deletes the printer, its driver and the files.
//
//   WinePrinter printer(L"odometer");
//   QV_SKIP_WITHOUT_PRINTER(printer);
//   OPrinterHandle handle = printer.Open();
//   printer.SetDataDword(L"TSSessionID", 2);
//
// Installing, removing and the status word go through sim/printer_setup.h,
// shared with the demo's printer tool. DeletePrinterDataW aborts Wine's
// spooler (Wine 8), so data is deleted through the registry.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/handles.h"

// Skips the running test, saying why, when the printer could not be installed.
#define QV_SKIP_WITHOUT_PRINTER(printer) \
    if ((printer).Ok()) {                \
    } else                               \
        GTEST_SKIP() << "no Wine printer: " << (printer).Error()

namespace QvTest {

// Test programs take turns with Wine printers: each WinePrinter holds this
// lock across test programs from before its install to after its removal.
//
// Wine's spooler shares state between processes that Windows keeps in one
// spooler service. Wine 8 numbers jobs per process and names each spool file
// after the number alone (system32\spool\PRINTERS\00001.SPL), opened without
// write sharing, so two programs printing at once clash on it. And every
// driver install copies wineps.drv over the one copy in the drivers folder,
// which other printers' device contexts read as their description at that
// moment: CreateDC then fails with a sharing violation (32). Either way a page
// never reaches its port. The product is not affected; only tests running side
// by side are.
class SpoolerLock {
public:
    SpoolerLock();
    ~SpoolerLock();
    SpoolerLock(const SpoolerLock&) = delete;
    SpoolerLock& operator=(const SpoolerLock&) = delete;

private:
    OKernelHandle m_mutex;
    bool m_held = false;
};

class WinePrinter {
public:
    struct Options {
        // Resolution of the generated printer description (dots per inch);
        // 0 uses wineps.drv itself as data file (Wine's default, 300 dpi).
        int dpi = 0;
        // Leading part of the data file's name: its first 3 characters are
        // the model family, the next 2 the model code. A unique suffix and
        // ".ppd" are added when dpi is not 0.
        std::wstring dataFilePrefix = L"qvz42";
        // Exact data file name instead (a description is written under it, at
        // dpi or 300); only for names no other test program uses.
        std::wstring dataFileName;
        // Driver key values GetPrinterDriverW level 6 reports.
        std::wstring manufacturer = L"Quorvel Test Manufacturer";
        std::wstring hardwareId = L"quorvel_test_hwid";
        std::wstring provider = L"Quorvel Test Provider";
        // Printer fields; an empty port makes a file port in the temp folder.
        // Do not use a "\\host\queue" port: Wine 8's spooler then corrupts
        // the test program's heap (a crash in a later allocation); fake such a
        // port at level 2 through the component's seam instead.
        std::wstring port;
        std::wstring comment = L"test comment";
        std::wstring location = L"test location";
        // Printer name text after the unique prefix (may contain '/').
        std::wstring nameSuffix;
        // Exact printer name instead of the generated one (must be unique).
        std::wstring exactName;
    };

    // tag names the printer within the test program ("odometer").
    explicit WinePrinter(const std::wstring& tag);
    WinePrinter(const std::wstring& tag, const Options& options);
    ~WinePrinter();
    WinePrinter(const WinePrinter&) = delete;
    WinePrinter& operator=(const WinePrinter&) = delete;

    // Whether the driver and printer were installed; Error() says why not
    // (for GTEST_SKIP).
    bool Ok() const { return m_ok; }
    const std::wstring& Error() const { return m_error; }

    const std::wstring& Name() const { return m_name; }
    const std::wstring& DriverName() const { return m_driverName; }
    // Port name as given to AddPrinterW; for a file port also the Windows path
    // of the output file.
    const std::wstring& Port() const { return m_port; }
    // Data file name as installed (without folder).
    const std::wstring& DataFileName() const { return m_dataFileName; }

    // OpenPrinterW(name, PRINTER_ALL_ACCESS); null on failure.
    OPrinterHandle Open() const;

    // Bytes printed to the file port so far; empty when none.
    std::string ReadOutput() const;
    // Deletes the port file (the next job starts it afresh).
    void ClearOutput() const;

    // SetPrinterDataW / SetPrinterDataExW; true on ERROR_SUCCESS.
    bool SetData(const std::wstring& value, DWORD type, const void* data, DWORD size) const;
    bool SetDataString(const std::wstring& value, const std::wstring& text) const;
    bool SetDataDword(const std::wstring& value, DWORD number) const;
    bool SetDataEx(const std::wstring& key, const std::wstring& value, DWORD type, const void* data,
                   DWORD size) const;
    // Deletes a printer data value (key empty: the PrinterDriverData values)
    // through the registry; true when it is gone afterwards.
    bool DeleteData(const std::wstring& value, const std::wstring& key = L"") const;

    // Writes the REG_DWORD "Status" of the printer's registry key.
    bool SetStatus(DWORD status) const;
    // Sets or clears PRINTER_ATTRIBUTE_ENABLE_BIDI (0x800) with SetPrinterW level 2.
    bool SetBidi(bool enabled) const;

    // The registry path of the printer below HKLM.
    std::wstring RegistryPath() const;
    // The registry path of the printer's driver below HKLM.
    std::wstring DriverRegistryPath() const;

    // A name unique to this test program and process: "<program>-<pid>-<n>-<tag>".
    static std::wstring UniqueName(const std::wstring& tag);

private:
    bool Install(const std::wstring& tag, const Options& options);

    SpoolerLock m_spooler;  // first made, last gone
    bool m_ok = false;
    bool m_driverInstalled = false;
    bool m_printerInstalled = false;
    bool m_portIsFile = false;
    bool m_descriptionWritten = false;
    std::wstring m_error;
    std::wstring m_name;
    std::wstring m_driverName;
    std::wstring m_port;
    std::wstring m_dataFileName;
};

}  // namespace QvTest
