#include "registry/printer_registry.h"

#include <cwchar>
#include <string>

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

}  // namespace

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
    RegistryPath::ReplaceRoot(path, OString(L"[PRINTER]"), EscapeName(facts.shortName));
    RegistryPath::ReplaceRoot(path, OString(L"[MODEL]"), EscapeName(facts.driverName));
    RegistryPath::ReplaceRoot(path, OString(L"[PORT]"), EscapeName(facts.portName));
    RegistryPath::ReplaceRoot(path, OString(L"[SERVER]"), EscapeName(facts.serverName));
    RegistryPath::ReplaceRoot(path, OString(L"[OEM]"), facts.modelCode);
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
