#include "dal/dal_module.h"

#include <winspool.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <vector>

#include "core/win_buffer.h"
#include "dal/dal_text.h"
#include "diagnostics/exceptions.h"
#include "printer/printer_info.h"
#include "printer/printer_registry_facts.h"
#include "registry/driver_settings.h"

namespace {

// The exports as the module declares them. The DAL handle is pointer-sized;
// results the library ignores are declared BOOL.
using DalOpenFunction = INT_PTR(WINAPI*)(HANDLE);
using DalHandleFunction = BOOL(WINAPI*)(INT_PTR);
using DalFileFunction = BOOL(WINAPI*)(INT_PTR, LPCWSTR, DWORD);
using DalFlagsFunction = BOOL(WINAPI*)(INT_PTR, DWORD);
using DalActionFunction = BYTE(WINAPI*)(INT_PTR, int);
using DalActionUIFunction = BYTE(WINAPI*)(INT_PTR, HWND, int);
using DalActionFlagFunction = DWORD(WINAPI*)(INT_PTR, int);

// All bits set: not asked yet; then 0 (not under WOW64) or 1.
constexpr uint32_t kBitnessUnknown = 0xFFFFFFFF;
std::atomic<uint32_t> g_bitness{kBitnessUnknown};

constexpr const char* kVersionUnreadable = "Internal STOP() issued.";

enum class VersionRead { Read, Unreadable, NoFixedInfo };

VersionRead ReadModuleVersion(const OString& path, uint64_t& version, DWORD& error) {
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

bool IsDalIsolated(HANDLE printer) {
    DriverSettings settings;
    settings.Load(PrinterRegistry(RegistryFactsOf(PrinterInfo(printer))));
    return settings.IsDalIsolated();
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
    PrinterInfo info(printer);
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

DriverDLLProxy::~DriverDLLProxy() {
    // Whatever the waits below dispatch finds the object busy.
    m_busy = true;
    try {
        if (m_open != 0) {
            Close(m_open);
        }
    } catch (...) {
        // Only allocation can fail here; the module and proxy still go.
    }
    m_module.Reset();
    EndProxy(kProxyExitGraceMs);
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
    OString path = GetDalModulePath(printer);
    if (path.IsEmpty()) {
        return 0;
    }
    // What an earlier open left: its DAL handle is closed before its module
    // or proxy goes; a failed one may have left either.
    if (m_open != 0) {
        Close(m_open);
    }
    m_module.Reset();
    EndProxy(kProxyExitGraceMs);

    bool wow64 = IsRunningUnderWow64();
    if (!wow64 && !IsDalIsolated(printer)) {
        return OpenInProcess(path, printer);
    }
    uint64_t version = 0;
    DWORD error = 0;
    VersionRead read = ReadModuleVersion(path, version, error);
    if (!wow64) {
        // Isolated: only a module known to have the proxy entry leaves.
        bool hasProxy = read == VersionRead::Read && version >= kProxyMinimumVersion;
        return hasProxy ? OpenThroughProxy(path, printer) : OpenInProcess(path, printer);
    }
    if (read == VersionRead::Unreadable) {
        throw OException(static_cast<int32_t>(error), kVersionUnreadable);
    }
    if (read == VersionRead::NoFixedInfo || version < kProxyMinimumVersion) {
        return 0;
    }
    return OpenThroughProxy(path, printer);
}

template <typename Function>
Function DriverDLLProxy::Export(const char* name) const {
    if (!m_module) {
        return nullptr;
    }
    return reinterpret_cast<Function>(::GetProcAddress(m_module.Get(), name));
}

uint64_t DriverDLLProxy::OpenInProcess(const OString& path, HANDLE printer) {
    m_module.Reset(::LoadLibraryW(path.GetWide()));
    auto open = Export<DalOpenFunction>("DAL_Printer_Open");
    if (open == nullptr) {
        return 0;
    }
    m_open = static_cast<uint64_t>(open(printer));
    return m_open;
}

uint64_t DriverDLLProxy::OpenThroughProxy(const OString& path, HANDLE printer) {
    // The pipe exists before the proxy starts, so its first attempt to
    // connect finds it.
    OString program = ProxyProgramPath();
    OString pipeName = DalProxyPipeName(reinterpret_cast<uintptr_t>(this));
    if (program.IsEmpty() || !CreateProxyPipe(pipeName, m_proxy) ||
        !StartProxyProcess(program, DalProxyCommandLine(program, path, pipeName), m_proxy)) {
        m_proxy.Close();
        return 0;
    }
    if (!ConnectProxyPipe(m_proxy, kConnectTimeoutMs)) {
        EndProxy(0);
        return 0;
    }
    // The printer handle does not cross processes: the proxy opens the
    // printer by name.
    PrinterInfo info(printer);
    const OString& name = info.GetPrinterName();
    int64_t reply = 0;
    if (!Exchange("DAL_Printer_Open", {Argument::Text(name.GetWide())}, reply) || reply == 0) {
        EndProxy(kProxyExitGraceMs);
        return 0;
    }
    m_open = static_cast<uint64_t>(reply);
    return m_open;
}

bool DriverDLLProxy::Exchange(const char* name, std::initializer_list<Argument> arguments,
                              int64_t& reply) {
    if (!m_proxy.IsOpen()) {
        return false;
    }
    try {
        std::wstring exportName(name, name + std::strlen(name));
        PutPipeData(m_proxy, exportName);
        for (const Argument& argument : arguments) {
            if (argument.isText) {
                PutPipeData(m_proxy, argument.text);
            } else {
                PutPipeData(m_proxy, argument.number);
            }
        }
        GetPipeData(m_proxy, reply);
        return true;
    } catch (const DriverProxyException&) {
        return false;
    }
}

void DriverDLLProxy::EndProxy(DWORD graceMs) {
    m_proxy.Close();
    if (!m_proxy.process) {
        return;
    }
    if (graceMs == 0 ||
        WaitForPipe(m_proxy.process.Get(), nullptr, graceMs) != PipeWaitResult::Signalled) {
        ::TerminateProcess(m_proxy.process.Get(), ERROR_BROKEN_PIPE);
    }
    m_proxy.process.Reset();
    m_proxy.job.Reset();
}

void DriverDLLProxy::Close(uint64_t dal) {
    if (dal == m_open) {
        m_open = 0;
    }
    if (m_module) {
        if (auto close = Export<DalHandleFunction>("DAL_Printer_Close")) {
            close(static_cast<INT_PTR>(dal));
        }
        m_module.Reset();
        return;
    }
    int64_t ignored = 0;
    // A failed close leaves the pipe for destruction (or the next open) to end.
    if (Exchange("DAL_Printer_Close", {Argument::Number(static_cast<int64_t>(dal))}, ignored)) {
        EndProxy(kProxyExitGraceMs);
    }
}

void DriverDLLProxy::SettingsSave(uint64_t dal) {
    OneAtATime([&] {
        int64_t ignored = 0;
        if (auto save = Export<DalHandleFunction>("DAL_Settings_Save")) {
            save(static_cast<INT_PTR>(dal));
        } else if (!m_module) {
            Exchange("DAL_Settings_Save", {Argument::Number(static_cast<int64_t>(dal))}, ignored);
        }
    });
}

void DriverDLLProxy::SettingsExport(uint64_t dal, const OString& path, uint32_t flags) {
    OneAtATime([&] { SettingsFile("DAL_Settings_Export", dal, path, flags); });
}

void DriverDLLProxy::SettingsImport(uint64_t dal, const OString& path, uint32_t flags) {
    OneAtATime([&] { SettingsFile("DAL_Settings_Import", dal, path, flags); });
}

void DriverDLLProxy::SettingsFile(const char* name, uint64_t dal, const OString& path,
                                  uint32_t flags) {
    int64_t ignored = 0;
    if (auto file = Export<DalFileFunction>(name)) {
        file(static_cast<INT_PTR>(dal), path.GetWide(), flags);
    } else if (!m_module) {
        Exchange(name,
                 {Argument::Number(static_cast<int64_t>(dal)), Argument::Text(path.GetWide()),
                  Argument::Number(static_cast<int32_t>(flags))},
                 ignored);
    }
}

void DriverDLLProxy::SettingsReset(uint64_t dal, uint32_t flags) {
    OneAtATime([&] {
        int64_t ignored = 0;
        if (auto reset = Export<DalFlagsFunction>("DAL_Settings_Reset")) {
            reset(static_cast<INT_PTR>(dal), flags);
        } else if (!m_module) {
            Exchange("DAL_Settings_Reset",
                     {Argument::Number(static_cast<int64_t>(dal)),
                      Argument::Number(static_cast<int32_t>(flags))},
                     ignored);
        }
    });
}

bool DriverDLLProxy::PrinterAction(uint64_t dal, int32_t action) {
    return OneAtATime([&] { return Action(dal, action); });
}

bool DriverDLLProxy::Action(uint64_t dal, int32_t action) {
    if (m_module) {
        auto run = Export<DalActionFunction>("DAL_Printer_Action");
        return run != nullptr && run(static_cast<INT_PTR>(dal), action) != 0;
    }
    int64_t reply = 0;
    return Exchange("DAL_Printer_Action",
                    {Argument::Number(static_cast<int64_t>(dal)), Argument::Number(action)},
                    reply) &&
           reply != 0;
}

bool DriverDLLProxy::PrinterActionUI(uint64_t dal, HWND parent, int32_t action) {
    return OneAtATime([&] {
        if (m_module) {
            auto run = Export<DalActionUIFunction>("DAL_Printer_ActionUI");
            if (run == nullptr) {
                return Action(dal, action);
            }
            return run(static_cast<INT_PTR>(dal), parent, action) != 0;
        }
        int64_t reply = 0;
        return Exchange(
                   "DAL_Printer_ActionUI",
                   {Argument::Number(static_cast<int64_t>(dal)),
                    Argument::Number(reinterpret_cast<intptr_t>(parent)), Argument::Number(action)},
                   reply) &&
               reply != 0;
    });
}

uint32_t DriverDLLProxy::PrinterActionFlag(uint64_t dal, int32_t action) {
    return OneAtATime([&]() -> uint32_t {
        if (m_module) {
            auto flags = Export<DalActionFlagFunction>("DAL_Printer_ActionFlag");
            return flags != nullptr ? flags(static_cast<INT_PTR>(dal), action) : 0;
        }
        int64_t reply = 0;
        if (!Exchange("DAL_Printer_ActionFlag",
                      {Argument::Number(static_cast<int64_t>(dal)), Argument::Number(action)},
                      reply)) {
            return 0;
        }
        return static_cast<uint32_t>(static_cast<uint64_t>(reply));
    });
}
