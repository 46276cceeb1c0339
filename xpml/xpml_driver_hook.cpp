#include "xpml/xpml_driver_hook.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "core/handles.h"
#include "core/locks.h"
#include "core/win_buffer.h"
#include "diagnostics/event_log.h"
#include "registry/printer_registry.h"

namespace {

constexpr char kPortLookup[] = "ClientUtility::GetRefactoredTcpPortNumber";

// Ports the hook gave for served printers that could not be stored, by
// printer, and which of them were warned about. Bounded: a host with more
// printers than kMaxPrinters forgets the first in name order.
class LearnedPorts {
public:
    static constexpr size_t kMaxPrinters = 64;

    // The port kept for printer, else fallback.
    uint32_t PortOf(const std::wstring& printer, uint32_t fallback) {
        OLock hold(m_lock);
        const auto found = m_ports.find(printer);
        return found != m_ports.end() ? found->second : fallback;
    }
    // Keeps port for printer: true the first time this printer and port are
    // kept, when a warning is due.
    bool Keep(const std::wstring& printer, uint32_t port) {
        OLock hold(m_lock);
        if (m_ports.size() >= kMaxPrinters && m_ports.count(printer) == 0) {
            m_ports.erase(m_ports.begin());
        }
        m_ports[printer] = port;
        if (m_warned.size() >= kMaxPrinters * 4) {
            m_warned.clear();
        }
        return m_warned.emplace(printer, port).second;
    }
    void Forget(const std::wstring& printer) {
        OLock hold(m_lock);
        m_ports.erase(printer);
    }

private:
    OCriticalSection m_lock;
    std::map<std::wstring, uint32_t> m_ports;
    std::set<std::pair<std::wstring, uint32_t>> m_warned;
};

// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back.
LearnedPorts g_learnedPorts;

// The source's front end is made only when there is something to say.
void LogPortLookup(uint32_t level, const char* text, uint32_t port) {
    OEventLog log(OString(OEventLog::kSourceClientUtility));
    log.Writef(level, kPortLookup, "%s%u", text, port);
}

// Through the machine keys, as the network settings are read.
bool StorePort(PrinterRegistry& registry, uint32_t port) {
    const bool redirect = registry.GetRedirect();
    registry.SetRedirect(false);
    OScopeGuard restore([&] { registry.SetRedirect(redirect); });
    return registry.SetValue(OString("NETWORK:XPML Server Port"), &port, sizeof port, REG_DWORD) ==
           static_cast<int32_t>(sizeof port);
}

}  // namespace

bool AskDriver(const OString& printerName, const std::string& valueName, uint32_t& value,
               DWORD& needed) {
    std::wstring name(printerName.GetWide());
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    OPrinterHandle printer;
    // An empty name would open the print server and ask it instead.
    if (name.empty() || !::OpenPrinterW(name.data(), printer.Put(), &defaults)) {
        return false;
    }
    uint8_t buffer[4] = {};
    DWORD type = 0;
    needed = 0;
    std::string narrow(valueName);
    if (XpmlDriverApi::Current().getPrinterDataA(printer.Get(), narrow.data(), &type, buffer,
                                                 sizeof buffer, &needed) != ERROR_SUCCESS) {
        return false;
    }
    std::memcpy(&value, buffer, sizeof value);
    return true;
}

std::optional<std::vector<uint8_t>> SendThroughDriver(PrinterRegistry& registry,
                                                      const OString& printer, const char* request,
                                                      const OString& id) {
    OString key = registry.GetKey();
    OString name = "LOCAL:XPML/" + id;
    if (!registry.ParsePath(key, name)) {
        return std::nullopt;
    }
    ORegKey values = registry.OpenKey(key, true);
    if (!values) {
        return std::nullopt;
    }
    OScopeGuard removeValue([&] { ::RegDeleteValueW(values.Get(), name.GetWide()); });
    const auto length = static_cast<int32_t>(std::strlen(request));
    if (length == 0 ||
        ORegistry::WriteRaw(values.Get(), name, request, length, REG_BINARY) != length) {
        return std::nullopt;
    }
    uint32_t answerLength = 0;
    DWORD needed = 0;
    const std::string hookName = std::string("XPML:") + printer.GetNarrow() + "," + id.GetNarrow();
    if (!AskDriver(printer, hookName, answerLength, needed) || needed == 0) {
        return std::nullopt;
    }
    // The reported length only cuts the stored answer: a driver that reports
    // more than it stored must not size a buffer of up to 4 GiB.
    std::vector<uint8_t> bytes;
    if (answerLength == 0 || !OQueryStatusBuffer(bytes, [&](uint8_t* buffer, DWORD, DWORD* stored) {
            return static_cast<DWORD>(
                ::RegQueryValueExW(values.Get(), name.GetWide(), nullptr, nullptr, buffer, stored));
        })) {
        return std::vector<uint8_t>();
    }
    bytes.resize(std::min<size_t>(bytes.size(), answerLength));
    return bytes;
}

uint32_t ServedXpmlPort(PrinterRegistry& registry, uint32_t stored) {
    const std::wstring printer = registry.GetFacts().fullName.GetWide();
    const uint32_t known = g_learnedPorts.PortOf(printer, stored);
    uint32_t asked = 0;
    DWORD needed = 0;
    if (!AskDriver(registry.GetFacts().fullName, "XPML Server Port", asked, needed) || needed < 1 ||
        needed > sizeof asked) {
        LogPortLookup(OEventLog::kDetailInfo,
                      "Unable to retrieve the XPML port number.  Defaulting to ", known);
        return known;
    }
    // A port that could not be stored is kept in memory and not tried again:
    // a user who may not write the machine keys would otherwise try, and
    // warn, at every request.
    if (asked == known && asked != stored) {
        return asked;
    }
    if (asked == stored || StorePort(registry, asked)) {
        g_learnedPorts.Forget(printer);
    } else if (g_learnedPorts.Keep(printer, asked)) {
        LogPortLookup(OEventLog::kWarnings, "Unable to save the new XPML port number ", asked);
    }
    return asked;
}
