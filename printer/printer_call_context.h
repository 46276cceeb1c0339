#pragma once

#include <memory>

#include "core/ostring.h"
#include "printer/printer_info.h"
#include "registry/driver_settings.h"
#include "registry/printer_registry.h"

// One operation's view of a printer: its spooler and driver facts from this
// thread's PrinterInfoCache, its registry built from those facts, and its
// driver settings, each made once. An operation builds one context and hands
// it down, so no layer asks the spooler or builds the registry again for a
// fact another layer already has. This is the one way the library makes the
// registry and the settings of a printer.
//
// Costs: the facts as PrinterInfo has them (no spooler call within a second
// of the thread's last read of the printer); building the registry makes no
// system call; the settings read the registry on first use only.
class PrinterCallContext {
public:
    // printerName is the cache key as it stands (what OpenPrinterW takes). A
    // printer the spooler does not know keeps that name as its full name, so
    // its paths address keys that normally do not exist. An empty name gives
    // empty facts without asking the spooler (an empty name would open the
    // print server).
    explicit PrinterCallContext(const OString& printerName);
    ~PrinterCallContext();
    PrinterCallContext(const PrinterCallContext&) = delete;
    PrinterCallContext& operator=(const PrinterCallContext&) = delete;

    const PrinterInfo& Info() const { return m_info; }
    // The printer's name as the spooler has it, else the name it was made from.
    const OString& Name() const { return m_name; }
    PrinterRegistry& Registry() { return m_registry; }
    // Loaded from Registry() on first use.
    DriverSettings& Settings();

private:
    PrinterInfo m_info;
    OString m_name;
    PrinterRegistry m_registry;
    std::unique_ptr<DriverSettings> m_settings;
};
