#include "registry/driver_settings.h"

namespace {

constexpr const wchar_t* kSettingsRoot = L"Settings:";
constexpr const wchar_t* kLoadedSuffix = L":Loaded";
// Modes 1 to 3 turn monitoring on; anything above is not a mode.
constexpr uint32_t kFirstInvalidMode = 4;

OString LoadedName(const OString& name) {
    OString marker(name);
    marker.Append(kLoadedSuffix);
    return marker;
}

}  // namespace

DriverSettingsCore::~DriverSettingsCore() {
    OLock lock(m_lock);
    m_registry.reset();
    RemoveAll();
}

void DriverSettingsCore::Load(const PrinterRegistry& registry) {
    OLock lock(m_lock);
    m_registry = std::make_unique<PrinterRegistry>(registry);
    m_registry->SetKey(OString(kSettingsRoot));
    RemoveAll();
}

bool DriverSettingsCore::IsLoaded(const OString& name) const {
    OLock lock(m_lock);
    return GetInt(LoadedName(name), 0) != 0;
}

void DriverSettingsCore::MarkLoaded(const OString& name) {
    OLock lock(m_lock);
    SetInt(LoadedName(name), 1);
}

uint32_t DriverSettingsCore::GetNumber(const OString& name, uint32_t defaultValue) {
    OLock lock(m_lock);
    if (IsLoaded(name)) {
        return static_cast<uint32_t>(GetInt(name, static_cast<int32_t>(defaultValue)));
    }
    if (!m_registry) {
        return defaultValue;
    }
    uint32_t result = defaultValue;
    {
        // The wait's outcome is not looked at: the read goes on without the
        // mutex rather than failing.
        PrinterRegistry::ReadLock registryLock(*m_registry);
        result = m_registry->GetNumber(name, defaultValue);
    }
    SetInt(name, static_cast<int32_t>(result));
    MarkLoaded(name);
    return result;
}

DriverSettings::DriverSettings() : m_core(std::make_unique<DriverSettingsCore>()) {}

DriverSettings::~DriverSettings() = default;

uint32_t DriverSettings::GetStatusMonitoringMode() {
    uint32_t mode = GetNumber(OString(kStatusMonitoringMode), m_defaultMonitoringMode);
    return mode >= kFirstInvalidMode ? m_defaultMonitoringMode : mode;
}

uint32_t DriverSettings::GetDalIsolationMode() {
    uint32_t mode = GetNumber(OString(kDalIsolationMode), 0);
    return mode > kDalIsolated ? 0 : mode;
}
