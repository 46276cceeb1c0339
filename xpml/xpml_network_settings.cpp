#include "xpml/xpml_network_settings.h"

#include <algorithm>
#include <cstring>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "printer/printer_call_context.h"
#include "registry/printer_registry.h"
#include "xpml/xpml_driver_hook.h"
#include "xpml/xpml_exchange.h"

namespace {

constexpr uint8_t kDefaultSwitch = 1;
constexpr uint32_t kDefaultTcpPort = 6160;
constexpr uint32_t kDefaultXpmlServerPort = 5130;
constexpr uint32_t kDefaultRetries = 2;
// Server Address is a host name; a longer value is still read whole.
constexpr int32_t kAddressBytes = 512;

// The network settings are machine settings, also for a printer served by
// another computer, so the registry's redirect flag is cleared around every
// access to them.
class RedirectOff {
public:
    explicit RedirectOff(PrinterRegistry& registry)
        : m_registry(registry), m_saved(registry.GetRedirect()) {
        registry.SetRedirect(false);
    }
    ~RedirectOff() { m_registry.SetRedirect(m_saved); }
    RedirectOff(const RedirectOff&) = delete;
    RedirectOff& operator=(const RedirectOff&) = delete;

private:
    PrinterRegistry& m_registry;
    bool m_saved;
};

// The printer's "NETWORK:" key, opened once for all the settings of one
// request: under Wine every registry call is a round trip to the server, so an
// open and close per value would cost more than the exchange itself.
class NetworkSettings {
public:
    explicit NetworkSettings(PrinterRegistry& registry) {
        RedirectOff off(registry);
        OString key = registry.GetKey();
        OString name = "NETWORK:TCP Enabled";
        if (registry.ParsePath(key, name)) {
            m_key = registry.OpenKey(key, false);
        }
    }

    // Exactly one stored byte counts; anything else is the default.
    uint8_t Byte(const wchar_t* name, uint8_t defaultValue) const {
        uint8_t value = 0;
        return Read(name, &value, sizeof value) ? value : defaultValue;
    }
    // Exactly four stored bytes count.
    uint32_t Number(const wchar_t* name, uint32_t defaultValue) const {
        uint32_t value = 0;
        return Read(name, &value, sizeof value) ? value : defaultValue;
    }
    // UTF-16 text up to its first NUL, whole however long; a trailing odd byte
    // is no character here. An absent or empty value is the default.
    OString Text(const wchar_t* name, const OString& defaultValue) const {
        std::vector<uint8_t> data;
        if (ORegistry::QueryRaw(m_key.Get(), name, data, kAddressBytes, kOQueryMaxBytes) <= 0) {
            return defaultValue;
        }
        data.resize(data.size() & ~size_t{1});
        const OString text = ORegistry::TextOf(data);
        return text.IsEmpty() ? defaultValue : text;
    }

private:
    bool Read(const wchar_t* name, void* value, DWORD bytes) const {
        std::vector<uint8_t> data;
        if (ORegistry::QueryRaw(m_key.Get(), name, data, bytes, bytes) != int32_t(bytes)) {
            return false;
        }
        std::memcpy(value, data.data(), bytes);
        return true;
    }

    ORegKey m_key;
};

uint32_t StoredPort(const NetworkSettings& settings) {
    return settings.Number(L"XPML Server Port", kDefaultXpmlServerPort);
}

// A package driver's port: a served printer's hook may name another.
uint32_t RefactoredPort(PrinterRegistry& registry, uint32_t stored) {
    return registry.IsRemote() ? ServedXpmlPort(registry, stored) : stored;
}

bool NetworkOn(const PrinterInfo& info, const NetworkSettings& settings) {
    return settings.Byte(info.IsRemote() ? L"Network Communication" : L"TCP Enabled",
                         kDefaultSwitch) != 0;
}

// Where and how patiently a request goes: every setting but the switch.
// A served package printer's port is the stored one here: the hook is asked
// last, once every setting is read.
XpmlEndpoint Endpoint(const PrinterInfo& info, const NetworkSettings& settings,
                      uint32_t storedPort) {
    XpmlEndpoint endpoint;
    endpoint.port = static_cast<int32_t>(
        info.IsClassicLayout() ? settings.Number(L"TCP Port", kDefaultTcpPort) : storedPort);
    const uint32_t timeoutMs = settings.Number(L"Connection Timeout", kDefaultTimeoutMs);
    endpoint.timeoutMs = timeoutMs == 0 || timeoutMs > INT32_MAX ? kDefaultTimeoutMs
                                                                 : static_cast<int32_t>(timeoutMs);
    endpoint.host = info.GetServerName();
    if (settings.Byte(L"Network Bidirectional", kDefaultSwitch) == 0) {
        endpoint.host = "localhost";
    }
    if (settings.Byte(L"Server Address Override", 0) != 0) {
        endpoint.host = settings.Text(L"Server Address", endpoint.host);
    }
    return endpoint;
}

}  // namespace

XpmlNetworkSettings ReadXpmlNetworkSettings(PrinterCallContext& printer, bool whenOff) {
    NetworkSettings settings(printer.Registry());
    XpmlNetworkSettings read;
    read.enabled = NetworkOn(printer.Info(), settings);
    if (!read.enabled && !whenOff) {
        return read;
    }
    if (!printer.Info().IsClassicLayout()) {
        read.storedPort = StoredPort(settings);
    }
    read.endpoint = Endpoint(printer.Info(), settings, read.storedPort);
    read.retries =
        std::min(settings.Number(L"Connection Retries", kDefaultRetries), kMaxConnectionRetries);
    if (!printer.Info().IsClassicLayout()) {
        read.endpoint.port =
            static_cast<int32_t>(RefactoredPort(printer.Registry(), read.storedPort));
    }
    return read;
}

uint32_t ClientUtility::GetRefactoredTcpPortNumber(PrinterRegistry& registry) {
    const NetworkSettings settings(registry);
    return RefactoredPort(registry, StoredPort(settings));
}
