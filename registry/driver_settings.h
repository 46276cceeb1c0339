#pragma once

#include <cstdint>
#include <memory>

#include "core/locks.h"
#include "core/ostring.h"
#include "core/property_set.h"
#include "registry/printer_registry.h"

// The cache of one printer's numeric settings: each setting read under the
// name N is the property N (decimal text) plus N + ":Loaded" = 1. Names are
// case-sensitive here, although the registry ignores case. All use is
// serialised by the core's lock; registry reads also take the printer
// registry's machine-wide mutex (lock order: this lock, then that mutex). The
// property set is private, so nothing reaches the cache past the lock.
class DriverSettingsCore : private OPropertySet {
public:
    DriverSettingsCore() = default;
    ~DriverSettingsCore() override;

    // Keeps a copy of registry with the base key "Settings:" and empties the cache.
    void Load(const PrinterRegistry& registry);
    // The cached value, else the registry's 4-byte value, else the default;
    // a default is cached like a value. Without a registry (no Load yet) the
    // default is returned and nothing is cached.
    uint32_t GetNumber(const OString& name, uint32_t defaultValue);

    bool IsLoaded(const OString& name) const;
    void MarkLoaded(const OString& name);
    // The registry in use (null before Load).
    PrinterRegistry* GetRegistry() const { return m_registry.get(); }

private:
    std::unique_ptr<PrinterRegistry> m_registry;
    mutable OCriticalSection m_lock;  // re-entrant: GetNumber calls IsLoaded
};

// Numeric driver settings of one printer, read from its "Settings:" key and
// cached after the first read. Built per use: construct, Load, read, destroy.
class DriverSettings {
public:
    DriverSettings();
    virtual ~DriverSettings();
    DriverSettings(const DriverSettings&) = delete;
    DriverSettings& operator=(const DriverSettings&) = delete;

    void Load(const PrinterRegistry& registry) { m_core->Load(registry); }
    // See DriverSettingsCore::GetNumber; name is relative to "Settings:" and
    // may hold subkeys ("Status/Status Monitoring Mode").
    uint32_t GetNumber(const OString& name, uint32_t defaultValue) {
        return m_core->GetNumber(name, defaultValue);
    }
    // "Status/Status Monitoring Mode" (0 off, 1 to 3 on); a stored value of 4
    // or more, or none, gives the default monitoring mode.
    uint32_t GetStatusMonitoringMode();
    bool IsStatusMonitoringEnabled() { return GetStatusMonitoringMode() != 0; }

    // "Status/Status Watch Interval" in milliseconds: when not 0, every
    // interface opened on the printer watches its status with it (0, or none:
    // only a host that asks watches).
    uint32_t GetStatusWatchInterval() { return GetNumber(OString(kStatusWatchInterval), 0); }

    // "DAL/Isolation Mode": 1 runs a DAL module that has the proxy entry in a
    // proxy process even where it could be loaded in-process; 0, none or any
    // other value: as the process's bitness decides.
    uint32_t GetDalIsolationMode();
    bool IsDalIsolated() { return GetDalIsolationMode() == kDalIsolated; }

    // Default of GetStatusMonitoringMode (0 after construction).
    uint32_t GetDefaultMonitoringMode() const { return m_defaultMonitoringMode; }
    void SetDefaultMonitoringMode(uint32_t mode) { m_defaultMonitoringMode = mode; }
    DriverSettingsCore& GetCore() { return *m_core; }

    static constexpr const wchar_t* kStatusMonitoringMode = L"Status/Status Monitoring Mode";
    static constexpr const wchar_t* kStatusWatchInterval = L"Status/Status Watch Interval";
    static constexpr const wchar_t* kDalIsolationMode = L"DAL/Isolation Mode";
    static constexpr uint32_t kDalIsolated = 1;

private:
    std::unique_ptr<DriverSettingsCore> m_core;
    uint32_t m_defaultMonitoringMode = 0;
};
