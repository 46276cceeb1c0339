#include "printer/printer_info_cache.h"

#include <utility>
#include <vector>

#include "core/clock.h"
#include "printer/printer_info_reader.h"

namespace {

// A cached entry answers without a spooler call for this long after its last
// successful PRINTER_INFO_2 read.
constexpr uint64_t kRefreshIntervalMs = 1000;
// The driver part (its files, version and date) changes only when a driver
// is installed over it: read again with the printer part this long after.
constexpr uint64_t kDriverRefreshIntervalMs = 60000;

PrinterFacts ReadFacts(const OString& key) {
    PrinterFacts facts;
    facts.printerName = key;
    PrinterInfoReader::Read(facts);
    return facts;
}

}  // namespace

PrinterInfoCache::PrinterInfoCache() = default;

PrinterInfoCache::~PrinterInfoCache() = default;

void PrinterInfoCache::RemoveAll() {
    m_index.RemoveAll();
    m_entries.clear();
}

void PrinterInfoCache::ClearThisThread() {
    PrinterInfoCache* cache = Peek();
    if (cache != nullptr) {
        cache->RemoveAll();
    }
}

void PrinterInfoCache::ExpireThisThread(const OString& key) {
    PrinterInfoCache* cache = Peek();
    const int32_t index = cache != nullptr ? cache->m_index.Find(key) : -1;
    if (index >= 0) {
        cache->m_index.GetValueAt(index)->facts.lastRefresh = 0;
    }
}

PrinterInfo PrinterInfoCache::Lookup(const OString& key) {
    PrinterInfoCache* cache = Get();
    if (cache != nullptr) {
        return cache->Find(key);
    }
    return PrinterInfo(ReadFacts(key));
}

PrinterInfo PrinterInfoCache::Lookup(HANDLE printer) {
    return Lookup(PrinterInfoReader::KeyFromHandle(printer));
}

PrinterInfo PrinterInfoCache::Find(const OString& key) {
    int32_t index = m_index.Find(key);
    if (index >= 0) {
        Entry* entry = m_index.GetValueAt(index);
        entry->lastUse = ++m_uses;
        PrinterFacts& facts = entry->facts;
        const uint64_t now = OTickCount();
        if (now > facts.lastRefresh + kRefreshIntervalMs) {
            // A clock set back (a test's) counts as a minute gone.
            const bool driverPart = now < facts.driverPartTime ||
                                    now - facts.driverPartTime >= kDriverRefreshIntervalMs;
            PrinterInfoReader::Read(facts, driverPart);
        }
        return PrinterInfo(facts);
    }
    auto entry = std::make_unique<Entry>(Entry{key, ReadFacts(key), ++m_uses});
    PrinterInfo record(entry->facts);
    if (m_index.GetCount() >= kMaxEntries) {
        RemoveLeastRecent();
    }
    // Room first, so that once the map knows the entry, keeping it cannot fail.
    m_entries.reserve(m_entries.size() + 1);
    m_index.SetAt(key, entry.get());
    m_entries.push_back(std::move(entry));
    return record;
}

// A linear walk, paid only by a lookup that adds a printer to a full cache.
void PrinterInfoCache::RemoveLeastRecent() {
    if (m_entries.empty()) {
        return;
    }
    auto oldest = m_entries.begin();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if ((*it)->lastUse < (*oldest)->lastUse) {
            oldest = it;
        }
    }
    const int32_t index = m_index.Find((*oldest)->key);
    if (index >= 0) {
        m_index.RemoveAt(index);
    }
    std::swap(*oldest, m_entries.back());
    m_entries.pop_back();
}

// The slot is allocated while the library loads, as its other process-wide
// objects are, rather than on the first lookup of some thread.
template class ThreadLocalSingleton<PrinterInfoCache>;

// A thread's printer cache ends with the thread, through the singleton's
// thread slot: hosts that look printers up on short-lived threads kept about
// 2.7 KB per finished thread until unload. Its destructor frees only memory,
// which is safe under the loader lock.
