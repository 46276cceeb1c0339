#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "driver_interface/driver_interface.h"

class PrinterWatcher;

// Status that never waits: one watcher per printer and process refreshes the
// printer's status on a small shared thread pool, and every interface that
// watches the printer answers its status calls from the watcher's latest
// snapshot.
//
// Threads: a refresh's steps run on a private thread pool of
// kRefreshThreads: the spooler's word and the monitoring gate, then, once its
// exchange is done, reading the answer and publishing it. The exchanges of
// every printer wait together on one more thread (xpml/xpml_mux.h), so a
// printer that does not answer holds a socket until its deadline, never a
// thread, and never delays one that answers. One timer schedules them all. At
// most one refresh per printer is in flight; change callbacks run on a
// refresh thread after the snapshot is published, before the printer's next
// refresh may start, so one interface never sees two at once.
//
// Locks, never nested: the hub's (the watchers, their schedule and
// subscribers), each watcher's snapshot lock (held only to copy a snapshot),
// each interface's watch lock (its watcher and registrations). No lock is
// held while a refresh asks the printer or a callback runs.
//
// Lifetime: an interface's watch leaves its watcher when it stops watching or
// closes; the last one to leave stops the watcher. Unloading the library
// stops every watcher and waits for running refreshes and callbacks up to
// kUnloadWaitMs; a refresh still running then is abandoned.

// Texts cross threads only as copies of their own: an OString shares its
// body between copies and fills in its other form on first use. A copy made
// from the wide form holds it already. Plain values copy as they are.
OString Detached(const OString& text);
StatusProvenance Detached(const StatusProvenance& provenance);
StatusReading Detached(const StatusReading& reading);
template <typename Value>
Value Detached(const Value& value) {
    return value;
}

// A watcher's snapshot as a host gets it.
struct WatchSnapshot {
    StatusReading reading;
    uint64_t sequence = 0;          // 0 until the first refresh has answered
    uint64_t takenTick = 0;         // GetTickCount64 when it was taken
    uint64_t changedAt = 0;         // UTC FILETIME when sequence last grew
    uint64_t unreachableSince = 0;  // UTC FILETIME of the first failed refresh in a row
};

// One interface's side of the watch: the printer's watcher while it watches,
// and its change callback and window message. Each interface has one for its
// life (DriverInterface::Watch); its methods may be called from any thread.
class InterfaceWatch {
public:
    static constexpr uint32_t kLeastIntervalMs = 100;

    // A new watch for the interface of handle, knowing its own owner (the
    // library's static runtime keeps no shared_from_this, whose throw would
    // bring in guarded statics).
    static std::shared_ptr<InterfaceWatch> Make(HDRIVERINTERFACE handle);
    explicit InterfaceWatch(HDRIVERINTERFACE handle);
    ~InterfaceWatch();
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;

    // Watches printerKey (what OpenPrinterW takes) every intervalMs (raised
    // to kLeastIntervalMs); 0 stops. A change of interval keeps the watcher.
    // ERROR_SUCCESS, or why not: ERROR_INVALID_PRINTER_NAME for an empty key,
    // else the spooler's error opening the printer.
    DWORD Start(const OString& printerKey, uint32_t intervalMs);
    void Stop();
    bool IsWatching() const;

    // The latest snapshot, copied without waiting; false when not watching.
    bool Snapshot(WatchSnapshot& snapshot) const;
    // The latest snapshot itself, never written again; null when not
    // watching. A status call copies out only the part it answers with.
    std::shared_ptr<const WatchSnapshot> Latest() const;

    // True with sequence set to the current one once it differs from
    // sequence on entry; false after timeoutMs or when not watching.
    bool WaitForChange(uint64_t& sequence, uint32_t timeoutMs);

    // A null callback unregisters and returns only after a running callback
    // has finished, unless called from inside it.
    void SetCallback(QV_STATUS_CALLBACK callback, void* context);
    void SetMessage(HWND window, UINT message);
    // Stops watching and unregisters both, as DI_Close needs.
    void Close();

    // From the refreshing thread, after a change: posts the message, then
    // runs the callback outside every lock.
    void Notify(uint64_t sequence);

private:
    const HDRIVERINTERFACE m_handle;
    std::weak_ptr<InterfaceWatch> m_self;
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_callbackDone = CONDITION_VARIABLE_INIT;
    std::shared_ptr<PrinterWatcher> m_watcher;
    QV_STATUS_CALLBACK m_callback = nullptr;
    void* m_context = nullptr;
    DWORD m_callbackThread = 0;  // running the callback, 0 when none
    HWND m_window = nullptr;
    UINT m_message = 0;
};

// The printer's cache key of an interface, empty when it has none.
OString WatchKey(DriverInterface& driver);

// DI_Open: an interface on a printer whose "Status/Status Watch Interval" is
// not 0 watches with it from the start. Never throws; a printer that cannot
// be watched leaves the interface as it was.
void StartConfiguredWatch(DriverInterface& driver) noexcept;

// How long unloading waits for running refreshes and callbacks.
constexpr DWORD kUnloadWaitMs = 5000;
