#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/maps.h"
#include "core/thread_local_singleton.h"
#include "printer/printer_info.h"

// The per-thread map from printer name to the facts PrinterInfoReader last
// read of it. No lock: each thread has its own instance and makes its own
// spooler calls. A thread's cache ends with the thread.
class PrinterInfoCache : public ThreadLocalSingleton<PrinterInfoCache> {
public:
    PrinterInfoCache();
    ~PrinterInfoCache() override;

    // Get() (inherited): the calling thread's cache, created on first use;
    // null only when the thread-local slot could not be allocated (then
    // nothing is cached and every lookup asks the spooler).

    // The facts of the printer named key (what OpenPrinterW accepts) from the
    // calling thread's cache: within a second of the entry's last successful
    // PRINTER_INFO_2 read no spooler call is made; later the printer part is
    // read again; the driver part is read only when the thread first meets
    // the printer.
    static PrinterInfo Lookup(const OString& key);
    // The same by handle (borrowed), at one spooler call more every time
    // (PRINTER_INFO_4, for the key, PrinterInfoReader::KeyFromHandle): a caller
    // that meets one handle often keeps its key, as the driver interface does.
    static PrinterInfo Lookup(HANDLE printer);

    // Forgets every entry of the calling thread's cache, so the next lookup
    // reads the driver part again (for tests, and for a caller that knows a
    // driver was reinstalled).
    static void ClearThisThread();
    // Makes the next lookup of key on this thread read the printer part
    // (PRINTER_INFO_2) again, however recent the entry: for a caller that
    // starts afresh with a printer (a new driver interface) and must see its
    // current attributes.
    static void ExpireThisThread(const OString& key);

    // Entries of this thread's cache (for tests).
    int32_t GetCount() const { return m_index.GetCount(); }

private:
    PrinterInfo Find(const OString& key);
    void RemoveAll();

    // The entries are owned here; the map only finds them by name.
    std::vector<std::unique_ptr<PrinterFacts>> m_entries;
    OStringMap<PrinterFacts*> m_index;
};
