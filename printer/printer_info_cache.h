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
// spooler calls. A thread's cache ends with the thread, and holds at most
// kMaxEntries printers: beyond them the one looked up least recently is
// forgotten (a host that walks ever new printers, or a print server's many
// queues, cannot grow it without end).
class PrinterInfoCache : public ThreadLocalSingleton<PrinterInfoCache> {
public:
    static constexpr int32_t kMaxEntries = 2048;

    PrinterInfoCache();
    ~PrinterInfoCache() override;

    // Get() (inherited): the calling thread's cache, created on first use;
    // null only when the thread-local slot could not be allocated (then
    // nothing is cached and every lookup asks the spooler).

    // The facts of the printer named key (what OpenPrinterW accepts) from the
    // calling thread's cache: within a second of the entry's last successful
    // PRINTER_INFO_2 read no spooler call is made; later the printer part is
    // read again, and the driver part with it when it was last read a minute
    // or more before (a driver upgraded under a long-lived thread).
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
    struct Entry {
        OString key;
        PrinterFacts facts;
        uint64_t lastUse = 0;  // m_uses at the entry's last lookup
    };

    PrinterInfo Find(const OString& key);
    void RemoveAll();
    void RemoveLeastRecent();

    // The entries are owned here; the map only finds them by name.
    std::vector<std::unique_ptr<Entry>> m_entries;
    OStringMap<Entry*> m_index;
    uint64_t m_uses = 0;
};
