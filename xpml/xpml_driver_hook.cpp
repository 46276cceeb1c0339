#include "xpml/xpml_driver_hook.h"

#include <algorithm>
#include <cstring>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "registry/printer_registry.h"

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
