#include "sim/label_printer.h"

#include <winspool.h>

#include <vector>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "sim/printer_setup.h"

namespace QvSim {
namespace {

// The machine's "NETWORK:" key, shared by the printers this computer serves.
PrinterRegistry NetworkRegistry(const std::wstring& printer) {
    PrinterRegistry registry(RegistryFactsOf(OString(printer.c_str())));
    registry.SetRedirect(false);
    return registry;
}

OPrinterHandle OpenForChange(const std::wstring& printer) {
    OPrinterHandle handle;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    ::OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.Put(), &defaults);
    return handle;
}

}  // namespace

std::wstring DalModuleCopyPath(const std::wstring& fileBase) {
    return PrinterDriverFolder() + L"3\\" + fileBase + L".d64";
}

std::wstring InstallDalModule(const std::wstring& printer, const std::wstring& module,
                              const std::wstring& fileBase, std::wstring* error) {
    const std::wstring copy = DalModuleCopyPath(fileBase);
    if (!::CopyFileW(module.c_str(), copy.c_str(), FALSE)) {
        *error = L"cannot copy " + module + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return std::wstring();
    }
    OPrinterHandle handle = OpenForChange(printer);
    std::wstring value = fileBase + L".dll";
    if (!handle || ::SetPrinterDataW(handle.Get(), const_cast<LPWSTR>(L"DAL Interface"), REG_SZ,
                                     reinterpret_cast<BYTE*>(value.data()),
                                     static_cast<DWORD>((value.size() + 1) * 2)) != ERROR_SUCCESS) {
        *error = L"cannot set the \"DAL Interface\" of '" + printer + L"'";
        ::DeleteFileW(copy.c_str());
        return std::wstring();
    }
    return copy;
}

std::wstring DriverSettingsKey(const std::wstring& printer, const std::wstring& key) {
    const std::wstring settings = PrinterRegistryPath(printer) + L"\\PrinterDriverData\\Settings";
    return key.empty() ? settings : settings + L"\\" + key;
}

bool SetDriverSetting(const std::wstring& printer, const std::wstring& key, const wchar_t* value,
                      DWORD number) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, DriverSettingsKey(printer, key).c_str(), value,
                             REG_DWORD, &number, sizeof number) == ERROR_SUCCESS;
}

bool SetPrinterBidi(const std::wstring& printer, bool enabled) {
    OPrinterHandle handle = OpenForChange(printer);
    std::vector<uint8_t> buffer;
    if (!handle || !OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
            return ::GetPrinterW(handle.Get(), 2, data, size, needed);
        })) {
        return false;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    info->Attributes = enabled ? info->Attributes | PRINTER_ATTRIBUTE_ENABLE_BIDI
                               : info->Attributes & ~DWORD{PRINTER_ATTRIBUTE_ENABLE_BIDI};
    return ::SetPrinterW(handle.Get(), 2, buffer.data(), 0) != FALSE;
}

bool FollowXpmlServer(const std::wstring& printer, int32_t port) {
    DWORD number = static_cast<DWORD>(port);
    uint8_t local = 0;
    PrinterRegistry network = NetworkRegistry(printer);
    return SetPrinterBidi(printer, true) &&
           SetDriverSetting(printer, L"Status", L"Status Monitoring Mode", 1) &&
           network.SetValue("NETWORK:TCP Port", &number, 4, REG_DWORD) == 4 &&
           network.SetValue("NETWORK:Network Bidirectional", &local, 1, REG_BINARY) == 1;
}

void ForgetXpmlServer(const std::wstring& printer) {
    PrinterRegistry network = NetworkRegistry(printer);
    network.Delete("NETWORK:TCP Port", false);
    network.Delete("NETWORK:Network Bidirectional", false);
}

}  // namespace QvSim
