#pragma once

#include <windows.h>

#include <cstdint>

#include "core/locks.h"
#include "core/ostring.h"
#include "registry/oregistry.h"

// The registry bound to one printer.
//
// Adds logical roots for the places a driver keeps its data ("SETTINGS:",
// "DATA:", "NETWORK:", ...), fills printer tokens ("[PRINTER]", "[MODEL]",
// "[PORT]", "[SERVER]", "[OEM]") into paths, and, while the redirect flag is
// set, sends keys that would lie in the local machine's driver and print keys
// to a mirror under the current user (a printer whose data lives on another
// machine cannot be written there). The printer facts are taken once, at
// construction; build a new object per use.
//
// Users that read settings hold the machine-wide mutex
// "Global\Quorvel:PrinterRegistry" through a ReadLock; writers hold
// GetMutex() (waits up to 30000 ms, then goes on). Lock order: a settings
// cache's own lock first, then this mutex.
//
// Not thread-safe: one object belongs to one thread at a time.
class PrinterRegistry : public ORegistry {
public:
    static constexpr const wchar_t* kMutexName = L"Global\\Quorvel:PrinterRegistry";
    static constexpr uint32_t kMutexTimeoutMs = 30000;

    // The facts a printer registry needs, as a PrinterInfo gives them
    // (printer/printer_registry_facts.h builds them for a printer).
    struct Facts {
        OString fullName;    // as the spooler knows it (with "\\server\" for a connection)
        OString shortName;   // "[PRINTER]"
        OString driverName;  // "[MODEL]"
        OString portName;    // "[PORT]"
        OString serverName;  // "[SERVER]"; this computer's name for a local printer
        OString modelCode;   // "[OEM]", not escaped
        bool remote = false;
    };

    // Given facts; no spooler call.
    explicit PrinterRegistry(const Facts& facts);
    // Copies the base part, the facts and both flags; the copy has its own
    // mutex object of the same name (so both meet on one system mutex).
    PrinterRegistry(const PrinterRegistry& other);
    PrinterRegistry& operator=(const PrinterRegistry&) = delete;
    ~PrinterRegistry() override;

    // Logical roots, then tokens, then the hive aliases. A path holding no ':'
    // is left alone, tokens included.
    void ResolveRoots(OString& path) override;
    // While the redirect flag is set, local-machine print and driver keys (and
    // the user's driver key) open in their per-user mirror; see MirrorPath.
    ORegKey OpenKey(const OString& resolvedPath, bool create) override;

    // The machine-wide registry mutex of this object.
    OMutex& GetMutex() { return m_mutex; }

    // Holds the machine-wide mutex for one read, waiting at most
    // kReadWaitMs. The mutex is open to every user of the machine, so one
    // that holds it must not stall every host's calls: after a time-out this
    // process reads without it for kReadsWithoutMutexMs (a single value's
    // read is atomic anyway). TakeReadTimeoutNotice is true once after each
    // such time-out, for a layer that logs to report it (the event log keeps
    // its masks in the registry, so this layer cannot write to it).
    static constexpr uint32_t kReadWaitMs = 1000;
    static constexpr uint64_t kReadsWithoutMutexMs = 60000;
    static bool TakeReadTimeoutNotice();
    class ReadLock {
    public:
        explicit ReadLock(PrinterRegistry& registry);
        ~ReadLock();
        ReadLock(const ReadLock&) = delete;
        ReadLock& operator=(const ReadLock&) = delete;
        bool IsHeld() const { return m_held != nullptr; }

    private:
        OMutex* m_held = nullptr;
    };

    const Facts& GetFacts() const { return m_facts; }
    bool IsRemote() const { return m_facts.remote; }
    // Set equal to the remote flag at construction. Clearing it makes the next
    // registry call use the machine keys (network settings are read so).
    bool GetRedirect() const { return m_redirect; }
    void SetRedirect(bool redirect) { m_redirect = redirect; }

    // Pure path steps, public so they can be checked directly.
    // The fourteen logical roots, in their order of application.
    static void ApplyLogicalRoots(OString& path);
    // The five tokens, each at every exact occurrence.
    static void ApplyTokens(OString& path, const Facts& facts);
    // The per-user mirror of a resolved path: "1:SOFTWARE/Brantheon/Drivers/"
    // (plus "@" + escaped server + "/" when remote) and "PRINT%3A",
    // "LOCAL%3A" or "USER%3A" in place of the print key, the local driver key
    // or the user's driver key (a plain prefix test, ASCII case ignored).
    // Other paths come back unchanged.
    static OString MirrorPath(const OString& resolvedPath, bool remote, const OString& serverName);

private:
    Facts m_facts;
    bool m_redirect;
    OMutex m_mutex;
};
