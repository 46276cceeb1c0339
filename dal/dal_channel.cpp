#include "dal/dal_channel.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/streams.h"
#include "dal/dal_module.h"
#include "dal/dal_proxy.h"
#include "dal/dal_text.h"

namespace {

// The exports as the module declares them. The DAL handle is pointer-sized.
using DalOpenFunction = INT_PTR(WINAPI*)(HANDLE);
using DalHandleFunction = BOOL(WINAPI*)(INT_PTR);
using DalFileFunction = BOOL(WINAPI*)(INT_PTR, LPCWSTR, DWORD);
using DalFlagsFunction = BOOL(WINAPI*)(INT_PTR, DWORD);
using DalActionFunction = BYTE(WINAPI*)(INT_PTR, int);
using DalActionUIFunction = BYTE(WINAPI*)(INT_PTR, HWND, int);
using DalActionFlagFunction = DWORD(WINAPI*)(INT_PTR, int);

constexpr const char* kOpenExport = "DAL_Printer_Open";

class InProcessChannel final : public DalChannel {
public:
    explicit InProcessChannel(HMODULE module) : m_module(module) {}

    uint64_t Open(HANDLE printer, const OString&) override {
        auto open = Export<DalOpenFunction>(kOpenExport);
        return open != nullptr ? static_cast<uint64_t>(open(printer)) : 0;
    }

    DalCall Call(DalExport which, uint64_t dal, std::initializer_list<DalArgument> arguments,
                 int64_t& reply) override {
        FARPROC function =
            m_module ? ::GetProcAddress(m_module.Get(), DalExportName(which)) : nullptr;
        if (function == nullptr) {
            return m_module ? DalCall::Missing : DalCall::Failed;
        }
        auto handle = static_cast<INT_PTR>(dal);
        const DalArgument* argument = arguments.begin();
        auto number = [&](size_t i) { return argument[i].number; };
        switch (which) {
            case DalExport::PrinterClose:
            case DalExport::SettingsSave:
                reply = As<DalHandleFunction>(function)(handle);
                break;
            case DalExport::SettingsExport:
            case DalExport::SettingsImport:
                reply = As<DalFileFunction>(function)(handle, argument[0].text,
                                                      static_cast<DWORD>(number(1)));
                break;
            case DalExport::SettingsReset:
                reply = As<DalFlagsFunction>(function)(handle, static_cast<DWORD>(number(0)));
                break;
            case DalExport::PrinterAction:
                reply = As<DalActionFunction>(function)(handle, static_cast<int>(number(0)));
                break;
            case DalExport::PrinterActionUI:
                reply = As<DalActionUIFunction>(function)(
                    handle, reinterpret_cast<HWND>(static_cast<intptr_t>(number(0))),
                    static_cast<int>(number(1)));
                break;
            case DalExport::PrinterActionFlag:
                reply = As<DalActionFlagFunction>(function)(handle, static_cast<int>(number(0)));
                break;
        }
        return DalCall::Done;
    }

    void End(DWORD) override { m_module.Reset(); }
    bool IsProxy() const override { return false; }

private:
    template <typename Function>
    static Function As(FARPROC function) {
        return reinterpret_cast<Function>(function);
    }
    template <typename Function>
    Function Export(const char* name) const {
        return m_module ? As<Function>(::GetProcAddress(m_module.Get(), name)) : nullptr;
    }

    OModule m_module;
};

class ProxyChannel final : public DalChannel {
public:
    ProxyChannel(const OString& program, const OString& path, const OString& pipeName,
                 DWORD connectTimeoutMs, std::vector<std::string> exports)
        : m_program(program),
          m_path(path),
          m_pipeName(pipeName),
          m_connectTimeoutMs(connectTimeoutMs),
          m_exports(std::move(exports)) {}
    ~ProxyChannel() override { End(0); }

    uint64_t Open(HANDLE, const OString& printerName) override {
        // A module without the export would not be opened in this process
        // either: no proxy is started for it.
        if (!Has(kOpenExport)) {
            return 0;
        }
        // The pipe exists before the proxy starts, so its first attempt to
        // connect finds it.
        if (m_program.IsEmpty() || !CreateProxyPipe(m_pipeName, m_proxy) ||
            !StartProxyProcess(m_program, DalProxyCommandLine(m_program, m_path, m_pipeName),
                               m_proxy)) {
            m_proxy.Close();
            return 0;
        }
        if (!ConnectProxyPipe(m_proxy, m_connectTimeoutMs) || !ClientIsTheProxy(m_proxy)) {
            End(0);
            return 0;
        }
        // The printer handle does not cross processes: the proxy opens the
        // printer by name.
        int64_t reply = 0;
        if (!Exchange(kOpenExport, {DalArgument::Text(printerName.GetWide())}, reply)) {
            return 0;
        }
        return static_cast<uint64_t>(reply);
    }

    DalCall Call(DalExport which, uint64_t dal, std::initializer_list<DalArgument> arguments,
                 int64_t& reply) override {
        const char* name = DalExportName(which);
        if (!Has(name)) {
            return DalCall::Missing;
        }
        std::vector<DalArgument> items{DalArgument::Number(static_cast<int64_t>(dal))};
        items.insert(items.end(), arguments.begin(), arguments.end());
        return Exchange(name, items, reply) ? DalCall::Done : DalCall::Failed;
    }

    void End(DWORD graceMs) override {
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

    bool IsProxy() const override { return true; }

private:
    bool Has(const char* name) const {
        return std::find(m_exports.begin(), m_exports.end(), name) != m_exports.end();
    }

    // One exchange: the export's name, the arguments, one reply. False when
    // the pipe layer failed.
    bool Exchange(const char* name, const std::vector<DalArgument>& items, int64_t& reply) {
        if (!m_proxy.IsOpen()) {
            return false;
        }
        try {
            PutPipeData(m_proxy, std::wstring(name, name + std::strlen(name)));
            for (const DalArgument& item : items) {
                if (item.text != nullptr) {
                    PutPipeData(m_proxy, std::wstring_view(item.text));
                } else {
                    PutPipeData(m_proxy, item.number);
                }
            }
            GetPipeData(m_proxy, reply);
            return true;
        } catch (const DriverProxyException&) {
            return false;
        }
    }

    OString m_program;
    OString m_path;
    OString m_pipeName;
    DWORD m_connectTimeoutMs;
    std::vector<std::string> m_exports;
    ProxyPipe m_proxy;
};

// No DAL module comes near this; a larger file is not read into the host.
constexpr int64_t kMaxModuleFileBytes = 64ll << 20;

// The module file's bytes; false when it cannot be read whole or is larger
// than any DAL module.
bool ReadModuleFile(const OString& path, std::vector<uint8_t>& bytes) {
    OFile file;
    if (!file.Open(path, 0)) {
        return false;
    }
    const int64_t size = file.GetSize();
    if (size < 0 || size > kMaxModuleFileBytes) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    for (size_t done = 0; done < bytes.size();) {
        uint32_t read =
            file.ReadRaw(bytes.data() + done,
                         static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, 1u << 20)));
        if (read == 0) {
            return false;
        }
        done += read;
    }
    return true;
}

}  // namespace

bool DriverDLLProxy::ReadModuleExports(const OString& path, std::vector<std::string>& names) {
    // The exports the library calls, and the proxy's entries a support
    // engineer asks about.
    const char* const wanted[] = {
        kOpenExport,
        DalExportName(DalExport::PrinterClose),
        DalExportName(DalExport::SettingsSave),
        DalExportName(DalExport::SettingsExport),
        DalExportName(DalExport::SettingsImport),
        DalExportName(DalExport::SettingsReset),
        DalExportName(DalExport::PrinterAction),
        DalExportName(DalExport::PrinterActionUI),
        DalExportName(DalExport::PrinterActionFlag),
        "DAL_Proxy",
        "DAL_ProxyW",
    };
    std::vector<uint8_t> file;
    return ReadModuleFile(path, file) && DalImageExportNames(file, wanted, names);
}

const char* DalExportName(DalExport which) {
    switch (which) {
        case DalExport::PrinterClose:
            return "DAL_Printer_Close";
        case DalExport::SettingsSave:
            return "DAL_Settings_Save";
        case DalExport::SettingsExport:
            return "DAL_Settings_Export";
        case DalExport::SettingsImport:
            return "DAL_Settings_Import";
        case DalExport::SettingsReset:
            return "DAL_Settings_Reset";
        case DalExport::PrinterAction:
            return "DAL_Printer_Action";
        case DalExport::PrinterActionUI:
            return "DAL_Printer_ActionUI";
        case DalExport::PrinterActionFlag:
            return "DAL_Printer_ActionFlag";
    }
    return "";
}

DWORD DalSettingsError(DalCall call, int64_t reply, DWORD moduleError) {
    switch (call) {
        case DalCall::Missing:
            return ERROR_PROC_NOT_FOUND;
        case DalCall::Failed:
            return ERROR_BROKEN_PIPE;
        case DalCall::Done:
            break;
    }
    if (reply != 0) {
        return ERROR_SUCCESS;
    }
    return moduleError != ERROR_SUCCESS ? moduleError : ERROR_GEN_FAILURE;
}

std::unique_ptr<DalChannel> MakeInProcessDalChannel(const OString& path) {
    HMODULE module = ::LoadLibraryW(path.GetWide());
    return module != nullptr ? std::make_unique<InProcessChannel>(module) : nullptr;
}

std::unique_ptr<DalChannel> MakeProxyDalChannel(const OString& program, const OString& path,
                                                const OString& pipeName, DWORD connectTimeoutMs) {
    std::vector<std::string> exports;
    if (!DriverDLLProxy::ReadModuleExports(path, exports)) {
        return nullptr;
    }
    return std::make_unique<ProxyChannel>(program, path, pipeName, connectTimeoutMs,
                                          std::move(exports));
}
