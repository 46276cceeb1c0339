#pragma once

// A real Wine printer for conformance tests: its own driver (wineps.drv, with
// wineps.drv or a generated description at a chosen resolution as data file)
// and one printer on a file port, so that what is printed can be read back.
// Names carry the test program's name and process id; the destructor removes
// the printer, its driver and the files. DeletePrinterDataW aborts Wine 8's
// spooler, so data is deleted through the registry.

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

// Test programs take turns with Wine printers, from before an install to after
// the removal: Wine 8 names spool files after per-process job numbers (two
// programs printing at once clash on 00001.SPL), and every driver install
// copies wineps.drv over the one other device contexts are reading (CreateDC
// fails with a sharing violation).
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
        // Resolution of a generated description (data file "qvz42-<unique>.ppd:
        // model family qvz, code 42); 0 uses wineps.drv itself (300 dpi).
        int dpi = 0;
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

    // Whether the driver and printer were installed; Error() says why not.
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

    // A name unique to this test program and process: "<program>-<pid>-<n>-<tag>".
    static std::wstring UniqueName(const std::wstring& tag);

private:
    bool Install(const std::wstring& tag, const Options& options);

    SpoolerLock m_spooler;  // first made, last gone
    bool m_ok = false;
    bool m_driverInstalled = false;
    bool m_printerInstalled = false;
    bool m_descriptionWritten = false;
    std::wstring m_error;
    std::wstring m_name;
    std::wstring m_driverName;
    std::wstring m_port;
    std::wstring m_dataFileName;
};

}  // namespace QvTest
