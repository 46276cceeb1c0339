#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/maps.h"
#include "core/thread_local_singleton.h"

class OString;
class PrinterInfo;

// The per-thread map from printer name to its cached PrinterInfo. Callers do
// not use it directly: constructing a PrinterInfo consults it. No lock: each
// thread has its own instance and makes its own spooler calls. A thread's
// cache ends with the thread.
class PrinterInfoCache : public ThreadLocalSingleton<PrinterInfoCache> {
public:
    PrinterInfoCache();
    ~PrinterInfoCache() override;

    // Get() (inherited): the calling thread's cache, created on first use;
    // null only when the thread-local slot could not be allocated (then
    // nothing is cached and every lookup asks the spooler).

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

    // Fills record (whose printer name is the key) from the entry, creating or
    // refreshing the entry as needed.
    void Fill(PrinterInfo& record);

private:
    void RemoveAll();

    // The entries are owned here; the map only finds them by name.
    std::vector<std::unique_ptr<PrinterInfo>> m_entries;
    OStringMap<PrinterInfo*> m_index;
};
