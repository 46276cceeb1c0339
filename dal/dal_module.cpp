#include "dal/dal_module.h"

#include <winspool.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <vector>

#include "core/win_buffer.h"
#include "dal/dal_channel.h"
#include "dal/dal_text.h"
#include "diagnostics/event_log.h"
#include "diagnostics/exceptions.h"
#include "printer/printer_info_cache.h"
#include "printer/printer_info_reader.h"
#include "printer/printer_call_context.h"

namespace {

// All bits set: not asked yet; then 0 (not under WOW64) or 1.
constexpr uint32_t kBitnessUnknown = 0xFFFFFFFF;
std::atomic<uint32_t> g_bitness{kBitnessUnknown};
// Tells apart the proxy pipes of one object's successive opens.
std::atomic<uint32_t> g_pipeSerial{0};

constexpr const char* kVersionUnreadable = "Internal STOP() issued.";

using VersionRead = DriverDLLProxy::VersionRead;

}  // namespace

VersionRead DriverDLLProxy::ReadModuleVersion(const OString& path, uint64_t& version,
                                              DWORD& error) {
    std::vector<uint8_t> block;
    if (!OReadVersionBlock(path.GetWide(), block, &error)) {
        return VersionRead::Unreadable;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
        return VersionRead::NoFixedInfo;
    }
    version = DalVersionFromWords(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    return VersionRead::Read;
}

namespace {

// The module's full path for the printer's facts (see GetDalModulePath).
OString DalModulePath(HANDLE printer, const PrinterInfo& info) {
    bool classic = info.IsClassicLayout();
    // 260 units, zero-filled: a value that fills them has no terminator.
    wchar_t value[MAX_PATH] = {};
    DWORD type = 0;
    DWORD needed = 0;
    wchar_t* valueName = const_cast<wchar_t*>(classic ? L"DAL Interface" : L"DAL Interface V3");
    if (::GetPrinterDataW(printer, valueName, &type, reinterpret_cast<BYTE*>(value), sizeof value,
                          &needed) != ERROR_SUCCESS) {
        return OString();
    }
    OString text(value, static_cast<int32_t>(::wcsnlen(value, MAX_PATH)));
    return info.GetModuleDirectory() + OString(L"\\") + DalModuleFileName(text, classic);
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether path (a full path) names something below root.
bool Inside(std::wstring_view path, std::wstring_view root) {
    while (!root.empty() && root.back() == L'\\') {
        root.remove_suffix(1);
    }
    return !root.empty() && path.size() > root.size() + 1 && path[root.size()] == L'\\' &&
           EqualNoCase(path.substr(0, root.size()), root);
}

std::wstring Text(const std::vector<wchar_t>& units) {
    return std::wstring(units.data(), units.size());
}

// The folders a DAL module may be loaded from: the printer driver directory
// of this environment, as the spooler names it, and the system's driver store.
std::vector<std::wstring> ModuleRoots() {
    std::vector<std::wstring> roots;
    std::vector<uint8_t> spooler;
    if (OQueryBoolBuffer(spooler, [](uint8_t* buffer, DWORD size, DWORD* needed) {
            return ::GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer, size, needed);
        })) {
        const auto* units = reinterpret_cast<const wchar_t*>(spooler.data());
        roots.emplace_back(units, ::wcsnlen(units, spooler.size() / sizeof(wchar_t)));
    }
    std::vector<wchar_t> system;
    if (OQueryTruncatingText(system, [](wchar_t* buffer, DWORD chars) {
            return static_cast<DWORD>(::GetSystemDirectoryW(buffer, chars));
        })) {
        roots.push_back(Text(system) + L"\\DriverStore\\FileRepository");
    }
    return roots;
}

OString Refused(const char* why, const std::wstring& path) {
    return OString(why) + OString(L": ") + OString(path.c_str());
}

}  // namespace

DriverDLLProxy::ModuleLocation DriverDLLProxy::LocateModule(HANDLE printer,
                                                            const PrinterInfo& info) {
    ModuleLocation location;
    location.path = DalModulePath(printer, info);
    if (location.path.IsEmpty()) {
        return location;
    }
    const std::wstring asked = location.path.GetWide();
    const std::wstring_view folder = info.GetModuleDirectory().GetWide();
    if (const char* fault =
            DalModulePathFault(folder, std::wstring_view(asked).substr(folder.size() + 1))) {
        location.refusal = Refused(fault, asked);
        return location;
    }
    std::vector<wchar_t> full;
    if (!OQueryTruncatingText(full, [&](wchar_t* buffer, DWORD chars) {
            return ::GetFullPathNameW(asked.c_str(), chars, buffer, nullptr);
        })) {
        location.refusal = Refused("no full path", asked);
        return location;
    }
    const std::wstring path = Text(full);
    std::wstring root;
    for (const std::wstring& candidate : ModuleRoots()) {
        if (Inside(path, candidate)) {
            root = candidate;
        }
    }
    if (root.empty()) {
        location.refusal = Refused("outside the driver directory and the driver store", path);
        return location;
    }
    // Each folder below the root and the file itself: none may be a reparse
    // point (a junction or link would lead the loader out again).
    for (size_t end = path.find(L'\\', root.size() + 1);; end = path.find(L'\\', end + 1)) {
        const std::wstring step = path.substr(0, end);
        const DWORD attributes = ::GetFileAttributesW(step.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            location.refusal = Refused("not found", step);
            return location;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            location.refusal = Refused("a reparse point on the way", step);
            return location;
        }
        if (end == std::wstring::npos) {
            break;
        }
    }
    // A link that shows no reparse attribute (Wine follows the host's own
    // links silently) still shows in the final path of the opened file.
    location.pin.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<wchar_t> final;
    if (!location.pin || !OQueryTruncatingText(final, [&](wchar_t* buffer, DWORD chars) {
            return ::GetFinalPathNameByHandleW(location.pin.Get(), buffer, chars,
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        })) {
        location.pin.Reset();
        location.refusal = Refused("cannot be opened", path);
        return location;
    }
    std::wstring_view opened(final.data(), final.size());
    if (opened.starts_with(L"\\\\?\\")) {
        opened.remove_prefix(4);
    }
    if (!EqualNoCase(opened, path)) {
        location.pin.Reset();
        location.refusal = Refused("a link leads elsewhere", std::wstring(opened));
        return location;
    }
    location.path = OString(path.c_str());
    return location;
}

namespace {

// A module the printer data names but the library will not load: once per
// interface open, at Warnings, so that a support engineer sees why a driver
// with a DAL entry has no DAL.
void ReportRefusal(const OString& printer, const OString& refusal) {
    try {
        OEventLog log(OString(OEventLog::kSourcePrinterInterface));
        log.Writef(OEventLog::kWarnings, "DriverDLLProxy::PrinterOpen",
                   "the DAL module of '%s' is not loaded: %s", printer.GetNarrow(),
                   refusal.GetNarrow());
    } catch (...) {
    }
}

// The export through the channel; Failed when none is open.
DalCall Call(DalChannel* channel, DalExport which, uint64_t dal,
             std::initializer_list<DalArgument> arguments, int64_t& reply) {
    return channel != nullptr ? channel->Call(which, dal, arguments, reply) : DalCall::Failed;
}

// A settings export through the channel; its last error for the host
// (DalSettingsError). A module in this process leaves its own last error
// beside its FALSE; a proxy's reply carries only the BOOL.
DWORD SettingsCall(DalChannel* channel, DalExport which, uint64_t dal,
                   std::initializer_list<DalArgument> arguments, bool missingIsDone = false) {
    int64_t reply = 0;
    ::SetLastError(ERROR_SUCCESS);
    const DalCall call = Call(channel, which, dal, arguments, reply);
    const DWORD moduleError = channel != nullptr && !channel->IsProxy() ? ::GetLastError() : 0;
    if (call == DalCall::Missing && missingIsDone) {
        return ERROR_SUCCESS;
    }
    return DalSettingsError(call, reply, moduleError);
}

// DAL_Settings_Export or DAL_Settings_Import.
DWORD SettingsFile(DalChannel* channel, DalExport which, uint64_t dal, const OString& path,
                   uint32_t flags) {
    return SettingsCall(
        channel, which, dal,
        {DalArgument::Text(path.GetWide()), DalArgument::Number(static_cast<int32_t>(flags))});
}

}  // namespace

BOOL WINAPI DalModuleApi::IsWow64ProcessByName(HANDLE process, PBOOL wow64) {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto function = kernel == nullptr ? nullptr
                                      : reinterpret_cast<BOOL(WINAPI*)(HANDLE, PBOOL)>(
                                            ::GetProcAddress(kernel, "IsWow64Process"));
    if (function == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return function(process, wow64);
}

bool DriverDLLProxy::IsRunningUnderWow64() {
    uint32_t cached = g_bitness.load(std::memory_order_acquire);
    if (cached != kBitnessUnknown) {
        return cached > 0;
    }
    BOOL wow64 = FALSE;
    uint32_t answer = 0;
    if (ScopedDalModuleApi::Current().isWow64Process(::GetCurrentProcess(), &wow64)) {
        answer = wow64 ? 1 : 0;
    }
    g_bitness.store(answer, std::memory_order_release);
    return answer > 0;
}

void DriverDLLProxy::ForgetBitness() {
    g_bitness.store(kBitnessUnknown, std::memory_order_release);
}

OString DriverDLLProxy::GetDalModulePath(HANDLE printer) {
    return DalModulePath(printer, PrinterInfoCache::Lookup(printer));
}

OString DriverDLLProxy::ProxyProgramPath() {
    std::vector<wchar_t> system;
    std::vector<wchar_t> windows;
    if (!OQueryTruncatingText(system,
                              [](wchar_t* buffer, DWORD chars) {
                                  return static_cast<DWORD>(::GetSystemDirectoryW(buffer, chars));
                              }) ||
        !OQueryTruncatingText(windows, [](wchar_t* buffer, DWORD chars) {
            return static_cast<DWORD>(::GetWindowsDirectoryW(buffer, chars));
        })) {
        return OString();
    }
    return DalRunDll32Path(OString(system.data(), static_cast<int32_t>(system.size())),
                           OString(windows.data(), static_cast<int32_t>(windows.size())),
                           IsRunningUnderWow64());
}

DriverDLLProxy::DriverDLLProxy() = default;

DriverDLLProxy::~DriverDLLProxy() {
    // Whatever the waits below dispatch finds the object busy.
    m_busy = true;
    try {
        if (m_open != 0) {
            Close(m_open);
        }
    } catch (...) {
        // Only allocation can fail here; the module or proxy still goes.
    }
    EndChannel(kProxyExitGraceMs);
}

template <typename Body>
auto DriverDLLProxy::OneAtATime(Body body) -> decltype(body()) {
    if (m_busy) {
        return decltype(body())();
    }
    m_busy = true;
    OScopeGuard done([this] { m_busy = false; });
    return body();
}

uint64_t DriverDLLProxy::PrinterOpen(HANDLE printer) {
    return OneAtATime([&] { return Open(printer); });
}

void DriverDLLProxy::PrinterClose(uint64_t dal) {
    OneAtATime([&] { Close(dal); });
}

uint64_t DriverDLLProxy::Open(HANDLE printer) {
    m_refusal = OString();
    PrinterCallContext context(PrinterInfoReader::KeyFromHandle(printer));
    ModuleLocation location = LocateModule(printer, context.Info());
    if (!location.refusal.IsEmpty()) {
        m_refusal = location.refusal;
        ReportRefusal(context.Name(), location.refusal);
        return 0;
    }
    const OString& path = location.path;
    if (path.IsEmpty()) {
        return 0;
    }
    // What an earlier open left: its DAL handle is closed before its module
    // or proxy goes; a failed one may have left either.
    if (m_open != 0) {
        Close(m_open);
    }
    EndChannel(kProxyExitGraceMs);

    bool wow64 = IsRunningUnderWow64();
    bool proxied = false;
    if (wow64 || context.Settings().IsDalIsolated()) {
        uint64_t version = 0;
        DWORD error = 0;
        VersionRead read = ReadModuleVersion(path, version, error);
        if (wow64 && read == VersionRead::Unreadable) {
            throw OException(static_cast<int32_t>(error), kVersionUnreadable);
        }
        // Only a module known to have the proxy entry leaves; under WOW64 no
        // other can be reached at all.
        proxied = ChoosesProxy(true, read, version);
        if (wow64 && !proxied) {
            return 0;
        }
    }
    m_channel = proxied
                    ? MakeProxyDalChannel(ProxyProgramPath(), path,
                                          PipeName(g_pipeSerial.fetch_add(1)), kConnectTimeoutMs)
                    : MakeInProcessDalChannel(path);
    if (!m_channel) {
        return 0;
    }
    m_open = m_channel->Open(printer, context.Name());
    // A module whose open failed stays loaded (see the lifecycle); a proxy goes.
    if (m_open == 0 && m_channel->IsProxy()) {
        EndChannel(kProxyExitGraceMs);
    }
    return m_open;
}

OString DriverDLLProxy::PipeName(uint32_t serial) const {
    return DalProxyPipeName(reinterpret_cast<uintptr_t>(this), ::GetCurrentProcessId(), serial);
}

OString DriverDLLProxy::NextPipeName() const {
    return PipeName(g_pipeSerial.load());
}

bool DriverDLLProxy::IsInProcess() const {
    return m_channel && !m_channel->IsProxy();
}

bool DriverDLLProxy::IsProxied() const {
    return m_channel && m_channel->IsProxy();
}

void DriverDLLProxy::EndChannel(DWORD graceMs) {
    if (m_channel) {
        m_channel->End(graceMs);
        m_channel.reset();
    }
}

void DriverDLLProxy::Close(uint64_t dal) {
    if (dal == m_open) {
        m_open = 0;
    }
    int64_t ignored = 0;
    // A broken close leaves the proxy for destruction (or the next open) to end.
    if (Call(m_channel.get(), DalExport::PrinterClose, dal, {}, ignored) != DalCall::Failed) {
        EndChannel(kProxyExitGraceMs);
    }
}

DWORD DriverDLLProxy::SettingsSave(uint64_t dal) {
    return OneAtATime(
        [&] { return SettingsCall(m_channel.get(), DalExport::SettingsSave, dal, {}, true); });
}

DWORD DriverDLLProxy::SettingsExport(uint64_t dal, const OString& path, uint32_t flags) {
    return OneAtATime(
        [&] { return SettingsFile(m_channel.get(), DalExport::SettingsExport, dal, path, flags); });
}

DWORD DriverDLLProxy::SettingsImport(uint64_t dal, const OString& path, uint32_t flags) {
    return OneAtATime(
        [&] { return SettingsFile(m_channel.get(), DalExport::SettingsImport, dal, path, flags); });
}

DWORD DriverDLLProxy::SettingsReset(uint64_t dal, uint32_t flags) {
    return OneAtATime([&] {
        return SettingsCall(m_channel.get(), DalExport::SettingsReset, dal,
                            {DalArgument::Number(static_cast<int32_t>(flags))});
    });
}

bool DriverDLLProxy::PrinterAction(uint64_t dal, int32_t action) {
    return OneAtATime([&] { return Action(dal, action); });
}

bool DriverDLLProxy::Action(uint64_t dal, int32_t action) {
    int64_t reply = 0;
    return Call(m_channel.get(), DalExport::PrinterAction, dal, {DalArgument::Number(action)},
                reply) == DalCall::Done &&
           reply != 0;
}

bool DriverDLLProxy::PrinterActionUI(uint64_t dal, HWND parent, int32_t action) {
    return OneAtATime([&] {
        int64_t reply = 0;
        DalCall call = Call(
            m_channel.get(), DalExport::PrinterActionUI, dal,
            {DalArgument::Number(reinterpret_cast<intptr_t>(parent)), DalArgument::Number(action)},
            reply);
        if (call == DalCall::Missing) {
            return Action(dal, action);  // without the window
        }
        return call == DalCall::Done && reply != 0;
    });
}

uint32_t DriverDLLProxy::PrinterActionFlag(uint64_t dal, int32_t action) {
    return OneAtATime([&]() -> uint32_t {
        int64_t reply = 0;
        if (Call(m_channel.get(), DalExport::PrinterActionFlag, dal, {DalArgument::Number(action)},
                 reply) != DalCall::Done) {
            return 0;
        }
        return static_cast<uint32_t>(static_cast<uint64_t>(reply));
    });
}
