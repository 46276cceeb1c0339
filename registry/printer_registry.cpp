#include "registry/printer_registry.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string_view>
#include <string>

#include "core/clock.h"
#include "core/handles.h"
#include "registry/registry_path.h"

namespace {

// Applied in this order: the seven roots that map onto "DATA:" come before the
// "DATA:" row, and "STOCK:", "USERSETTINGS:", "NETWORK:" produce "LOCAL:" and
// "USER:" paths that the hive aliases resolve afterwards.
constexpr RegistryPath::RootAlias kLogicalRoots[] = {
    {L"STOCK:", L"LOCAL:Paper Sizes"},
    {L"SETTINGS:", L"DATA:Settings"},
    {L"SECURITY:", L"DATA:Security"},
    {L"CACHE:", L"DATA:Cache"},
    {L"FONTS:", L"DATA:Downloaded Fonts"},
    {L"PRESETS:", L"DATA:Presets"},
    {L"DEBUG:", L"DATA:Development"},
    {L"PAPERSIZES:", L"DATA:Paper Sizes"},
    {L"USERSETTINGS:", L"USER:Printers/[PRINTER]/Settings"},
    {L"DATA:", L"PRINT:Printers/[PRINTER]/PrinterDriverData"},
    {L"MODEL:", L"PRINT:Printers/[PRINTER]/PrinterDriverData/Model"},
    {L"MONITOR:", L"PRINT:Monitors/Quorvel Network Monitor"},
    {L"NETWORK:", L"LOCAL:Network/@[SERVER]"},
    {L"PNPDATA:", L"PRINT:Printers/[PRINTER]/PnPData"},
};

// Until when (the library's clock) reads go without the mutex; 0: they take it.
std::atomic<uint64_t> g_readsWithoutMutexUntil{0};
// A time-out that no one has reported yet.
std::atomic<bool> g_readTimeoutNotice{false};

}  // namespace

PrinterRegistry::ReadLock::ReadLock(PrinterRegistry& registry) {
    const uint64_t now = OTickCount();
    if (now < g_readsWithoutMutexUntil.load(std::memory_order_relaxed)) {
        return;
    }
    switch (registry.m_mutex.Acquire(kReadWaitMs)) {
        case OMutex::Wait::Owned:
            m_held = &registry.m_mutex;
            break;
        case OMutex::Wait::TimedOut:
            g_readsWithoutMutexUntil.store(OTickCount() + kReadsWithoutMutexMs,
                                           std::memory_order_relaxed);
            g_readTimeoutNotice.store(true, std::memory_order_relaxed);
            break;
        case OMutex::Wait::Failed:
            break;
    }
}

bool PrinterRegistry::TakeReadTimeoutNotice() {
    return g_readTimeoutNotice.exchange(false, std::memory_order_relaxed);
}

PrinterRegistry::ReadLock::~ReadLock() {
    if (m_held != nullptr) {
        m_held->Unlock();
    }
}

PrinterRegistry::PrinterRegistry(const Facts& facts)
    : m_facts(facts), m_redirect(facts.remote), m_mutex(OString(kMutexName), kMutexTimeoutMs) {}

PrinterRegistry::PrinterRegistry(const PrinterRegistry& other)
    : ORegistry(other),
      m_facts(other.m_facts),
      m_redirect(other.m_redirect),
      m_mutex(other.m_mutex.GetName(), other.m_mutex.GetTimeout()) {}

PrinterRegistry::~PrinterRegistry() = default;

void PrinterRegistry::ApplyLogicalRoots(OString& path) {
    RegistryPath::ApplyAliases(path, kLogicalRoots);
}

void PrinterRegistry::ApplyTokens(OString& path, const Facts& facts) {
    if (std::wcschr(path.GetWide(), L'[') == nullptr) {
        return;
    }
    // The spooler keeps a connection's name ("\\\\srv\\Label1") as one key
    // with its backslashes as commas; a backslash left in would come back
    // out of the path as a separator.
    std::wstring shortName = EscapeName(facts.shortName).GetWide();
    std::replace(shortName.begin(), shortName.end(), L'\\', L',');
    const struct {
        std::wstring_view token;
        std::wstring value;
    } tokens[] = {
        {L"[PRINTER]", std::move(shortName)},
        {L"[MODEL]", EscapeName(facts.driverName).GetWide()},
        {L"[PORT]", EscapeName(facts.portName).GetWide()},
        {L"[SERVER]", EscapeName(facts.serverName).GetWide()},
        {L"[OEM]", facts.modelCode.GetWide()},
    };
    // One pass: what a token put in is never read again, so a printer named
    // "Lab[OEM]" keeps its own key instead of reaching another printer's.
    const std::wstring_view in = path.GetWide();
    std::wstring out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        bool replaced = false;
        for (const auto& row : tokens) {
            if (in.substr(i, row.token.size()) == row.token) {
                out += row.value;
                i += row.token.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += in[i++];
        }
    }
    path = OString(out.c_str());
}

void PrinterRegistry::ResolveRoots(OString& path) {
    if (std::wcschr(path.GetWide(), L':') == nullptr) {
        return;
    }
    ApplyLogicalRoots(path);
    ApplyTokens(path, m_facts);
    ORegistry::ResolveRoots(path);
}

OString PrinterRegistry::MirrorPath(const OString& resolvedPath, bool remote,
                                    const OString& serverName) {
    std::wstring prefix = std::wstring(RegistryPath::kUserDrivers) + L"/";
    if (remote) {
        prefix += L"@";
        prefix += EscapeName(serverName).GetWide();
        prefix += L"/";
    }
    // The rest of a resolved path begins with '/', so the escaped root name
    // becomes one key of the mirror: ...\Drivers\@server\PRINT:\Printers\...
    const struct {
        const wchar_t* key;
        const wchar_t* name;
    } kRedirected[] = {
        {RegistryPath::kPrintKey, L"PRINT%3A"},
        {RegistryPath::kLocalDrivers, L"LOCAL%3A"},
        {RegistryPath::kUserDrivers, L"USER%3A"},
    };
    for (const auto& row : kRedirected) {
        if (RegistryPath::StartsWithNoCase(resolvedPath, row.key)) {
            std::wstring rest = resolvedPath.GetWide() + std::wcslen(row.key);
            return OString((prefix + row.name + rest).c_str());
        }
    }
    return resolvedPath;
}

ORegKey PrinterRegistry::OpenKey(const OString& resolvedPath, bool create) {
    if (!m_redirect) {
        return ORegistry::OpenKey(resolvedPath, create);
    }
    return ORegistry::OpenKey(MirrorPath(resolvedPath, m_facts.remote, m_facts.serverName), create);
}
