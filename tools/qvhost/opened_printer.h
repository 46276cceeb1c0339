#pragma once

#include <windows.h>

#include <string>

#include "core/handles.h"
#include "quorvel_driver_utility.h"
#include "tools/qvhost/qvhost.h"

// The printer opened with the spooler as a host opens it (PRINTER_ACCESS_USE).
// When it does not open: an empty handle with *error set, or without error a
// QvCommandError (kQvExitFailure) naming the printer.
OPrinterHandle OpenSpoolerPrinter(const std::wstring& name, DWORD* error = nullptr);

// The printer a command names (--printer NAME), opened with the spooler as a
// host opens it, and the driver interface DI_Open gives on it. The interface
// is closed before the printer, whose handle it borrows.
class OpenedPrinter {
public:
    OpenedPrinter(QvHost& host, const std::wstring& name);
    ~OpenedPrinter();
    OpenedPrinter(const OpenedPrinter&) = delete;
    OpenedPrinter& operator=(const OpenedPrinter&) = delete;

    HDRIVERINTERFACE Driver() const { return m_driver; }
    const std::wstring& Name() const { return m_name; }

private:
    std::wstring m_name;
    OPrinterHandle m_printer;
    QV_PFN_DI_CLOSE m_close = nullptr;
    HDRIVERINTERFACE m_driver = nullptr;
};

// Where the interface's last status answer came from: its code, with text
// as the library words it (the object's GetStatusProvenance, which no export
// carries).
int32_t StatusProvenanceOf(const OpenedPrinter& printer, std::wstring& text);

// The value of --printer; throws QvUsageError when it is missing.
std::wstring TakePrinterName(QvArgs& args);
