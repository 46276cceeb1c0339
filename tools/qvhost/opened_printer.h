#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <utility>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/qvhost.h"

// A printer handle this program opened itself; ClosePrinter when it goes.
class QvPrinterHandle {
public:
    QvPrinterHandle() = default;
    explicit QvPrinterHandle(HANDLE handle) : m_handle(handle) {}
    QvPrinterHandle(QvPrinterHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    QvPrinterHandle& operator=(QvPrinterHandle&& other) noexcept {
        std::swap(m_handle, other.m_handle);
        return *this;
    }
    ~QvPrinterHandle() {
        if (m_handle != nullptr) {
            ::ClosePrinter(m_handle);
        }
    }
    HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HANDLE m_handle = nullptr;
};

// The printer opened with the spooler as a host opens it (PRINTER_ACCESS_USE);
// when it does not open, a QvCommandError (kQvExitFailure) naming the printer.
QvPrinterHandle OpenSpoolerPrinter(const std::wstring& name);

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
    QvPrinterHandle m_printer;
    QV_PFN_DI_CLOSE m_close = nullptr;
    HDRIVERINTERFACE m_driver = nullptr;
};

// Where the interface's last status answer came from: its code, with text as
// the library words it (QVDI_GetStatusProvenance).
int32_t StatusProvenanceOf(QvHost& host, const OpenedPrinter& printer, std::wstring& text);

// The value of --printer; throws QvUsageError when it is missing.
std::wstring TakePrinterName(QvArgs& args);

// status --printer NAME --watch [SECONDS] [--count N]: the arguments after
// --watch are still in args (watch_commands.cpp).
int RunStatusWatch(QvHost& host, const std::wstring& name, QvArgs& args);
