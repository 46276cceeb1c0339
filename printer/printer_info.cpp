#include "printer/printer_info.h"

#include <cwchar>
#include <string>

#include "core/clock.h"
#include "core/handles.h"
#include "core/win_buffer.h"
#include "printer/printer_names.h"
#include "printer/terminal_session.h"

namespace {

// GetComputerNameW's buffer: a NetBIOS name has at most 15 characters.
constexpr DWORD kComputerNameChars = 16;
// Printer data holding the directory-service name of a shared printer.
constexpr DWORD kDsPrinterNameBytes = 520;

OString TextOf(const wchar_t* text) {
    return text != nullptr ? OString(text) : OString();
}

// Text of a printer-data or registry value given in bytes, up to its first NUL
// (a value need not carry one).
OString TextFromBytes(const std::vector<uint8_t>& bytes) {
    auto chars = static_cast<int32_t>(bytes.size() / sizeof(wchar_t));
    if (chars == 0) {
        return OString();
    }
    return OString(reinterpret_cast<const wchar_t*>(bytes.data()), chars);
}

// The part of a path after its last backslash (the whole path without one).
OString FileNamePart(const wchar_t* path) {
    if (path == nullptr) {
        return OString();
    }
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return OString(slash != nullptr ? slash + 1 : path);
}

// This computer's name; empty when it cannot be read.
OString ComputerName() {
    wchar_t buffer[kComputerNameChars] = {};
    DWORD chars = kComputerNameChars;
    if (!::GetComputerNameW(buffer, &chars)) {
        return OString();
    }
    return OString(buffer, static_cast<int32_t>(chars));
}

// OpenPrinterW wants a writable name.
OPrinterHandle OpenByName(const OString& name) {
    OPrinterHandle printer;
    if (name.IsEmpty()) {
        // An empty name would open the local print server, not a printer.
        return printer;
    }
    std::wstring writable(name.GetWide());
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE handle = nullptr;
    if (::OpenPrinterW(writable.data(), &handle, &defaults)) {
        printer.Reset(handle);
    }
    return printer;
}

}  // namespace

PrinterInfo::PrinterInfo(HANDLE printer) {
    m_printerName = KeyFromHandle(printer);
    FillFromCache();
}

PrinterInfo::PrinterInfo(const OString& printerName) {
    m_printerName = printerName;
    FillFromCache();
}

void PrinterInfo::Refresh() {
    m_lastRefresh = 0;
    m_driverPartRead = false;
    m_remote = false;
    m_devMode.clear();
    FillFromCache();
}

OString PrinterInfo::KeyFromHandle(HANDLE printer) {
    if (printer == nullptr) {
        return OString();
    }
    const PrinterInfoApi& api = PrinterInfoApi::Current();
    std::vector<uint8_t> buffer;
    bool read = OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return api.getPrinter(printer, 4, data, size, needed);
    });
    if (!read || buffer.size() < sizeof(PRINTER_INFO_4W)) {
        return OString();
    }
    const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());

    OString server;
    OString key;
    if (ForeignServerOf(TextOf(info->pServerName), ComputerName(), server)) {
        // A printer shared from another machine: the directory-service name
        // is the one every user of the share sees alike.
        std::vector<uint8_t> dsName;
        bool found = OQueryStatusBuffer(
            dsName,
            [&](uint8_t* data, DWORD size, DWORD* needed) {
                DWORD type = 0;
                return api.getPrinterDataEx(printer, L"DsSpooler", L"printerName", &type, data,
                                            size, needed);
            },
            nullptr, kDsPrinterNameBytes);
        if (found && dsName.size() > 2) {
            key = OString("\\\\") + server + "\\" + TextFromBytes(dsName);
        }
    }
    if (key.IsEmpty()) {
        key = TextOf(info->pPrinterName);
    }
    return key;
}

void PrinterInfo::FillFromCache() {
    PrinterInfoCache* cache = PrinterInfoCache::Get();
    if (cache == nullptr) {
        Gather();
        return;
    }
    cache->Fill(*this);
}

void PrinterInfo::Gather() {
    const PrinterInfoApi& api = PrinterInfoApi::Current();
    OPrinterHandle printer = OpenByName(m_printerName);
    if (!printer) {
        PostProcess();
        m_driverPartRead = true;
        return;
    }

    std::vector<uint8_t> buffer;
    bool levelTwo = OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return api.getPrinter(printer.Get(), 2, data, size, needed);
    });
    levelTwo = levelTwo && buffer.size() >= sizeof(PRINTER_INFO_2W);
    if (levelTwo) {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
        m_lastRefresh = OTickCount();
        m_printerName = TextOf(info->pPrinterName);
        m_serverName = TextOf(info->pServerName);
        m_shareName = TextOf(info->pShareName);
        m_portName = TextOf(info->pPortName);
        m_driverName = TextOf(info->pDriverName);
        m_comment = TextOf(info->pComment);
        m_location = TextOf(info->pLocation);
        m_sepFile = TextOf(info->pSepFile);
        m_printProcessor = TextOf(info->pPrintProcessor);
        m_dataType = TextOf(info->pDatatype);
        m_parameters = TextOf(info->pParameters);
        m_attributes = info->Attributes;
        m_devMode.clear();
        if (info->pDevMode != nullptr) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(info->pDevMode);
            size_t size = size_t{info->pDevMode->dmSize} + info->pDevMode->dmDriverExtra;
            // The two sizes are the driver's: a device mode inside the spooler's
            // buffer that claims to run past its end is malformed, and copying it
            // would read beyond the buffer.
            const uint8_t* end = buffer.data() + buffer.size();
            bool inside = bytes >= buffer.data() && bytes < end;
            if (!inside || size <= static_cast<size_t>(end - bytes)) {
                m_devMode.assign(bytes, bytes + size);
            }
        }
    }

    // A refresh whose level 2 read failed keeps what the last good read
    // derived: its server name would otherwise make a local printer remote.
    if (levelTwo || !m_driverPartRead) {
        PrinterPlace place =
            PlaceOf(m_serverName, m_shareName, m_portName, m_printerName, ComputerName());
        m_serverName = place.serverName;
        m_shareName = place.shareName;
        m_shortName = place.shortName;
        m_remote = place.remote;

        if (!m_remote) {
            TerminalSession session = LookupTerminalSession(printer.Get());
            if (session.IsSessionPrinter()) {
                m_serverName = session.clientName;
                m_shortName = session.clientPrinterName;
                m_remote = true;
                m_sessionRedirected = true;
            }
        }
    }

    if (m_driverPartRead) {
        return;
    }

    std::vector<uint8_t> driverBuffer;
    bool driverRead = OQueryBoolBuffer(driverBuffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return api.getPrinterDriver(printer.Get(), nullptr, 6, data, size, needed);
    });
    if (!driverRead || driverBuffer.size() < sizeof(DRIVER_INFO_6W)) {
        printer.Reset();
        PostProcess();
        m_driverPartRead = true;
        return;
    }
    const auto* driver = reinterpret_cast<const DRIVER_INFO_6W*>(driverBuffer.data());
    m_driverVersionNumber = driver->cVersion;
    m_environment = TextOf(driver->pEnvironment);
    m_driverDirectory.Empty();
    m_driverFile.Empty();
    if (driver->pDriverPath != nullptr) {
        const wchar_t* slash = std::wcsrchr(driver->pDriverPath, L'\\');
        if (slash != nullptr) {
            m_driverDirectory =
                OString(driver->pDriverPath, static_cast<int32_t>(slash - driver->pDriverPath));
            m_driverFile = OString(slash + 1);
        } else {
            m_driverFile = OString(driver->pDriverPath);
        }
    }
    m_dataFile = FileNamePart(driver->pDataFile);
    m_configFile = FileNamePart(driver->pConfigFile);
    m_helpFile = FileNamePart(driver->pHelpFile);
    m_dependentFiles.RemoveAll();
    if (driver->pDependentFiles != nullptr) {
        // A list of strings ended by an empty one.
        for (const wchar_t* file = driver->pDependentFiles; *file != L'\0';
             file += std::wcslen(file) + 1) {
            m_dependentFiles.Add(FileNamePart(file));
        }
    }
    m_monitorName = TextOf(driver->pMonitorName);
    m_defaultDataType = TextOf(driver->pDefaultDataType);
    m_driverDate = driver->ftDriverDate;
    m_driverVersion = driver->dwlDriverVersion;
    m_manufacturer = TextOf(driver->pszMfgName);
    m_hardwareId = TextOf(driver->pszHardwareID);
    m_provider = TextOf(driver->pszProvider);

    printer.Reset();
    PostProcess();
    m_driverPartRead = true;
}

void PrinterInfo::PostProcess() {
    if (m_driverPartRead) {
        return;
    }
    if (!m_dataFile.IsEmpty()) {
        PrinterModel model = ModelOf(m_dataFile);
        m_modelFamily = model.family;
        m_modelCode = model.code;
    }

    m_configModule.Empty();
    m_printModule.Empty();
    m_classicLayout = true;
    OPrinterHandle printer = OpenByName(m_printerName);
    if (!printer) {
        return;
    }
    std::vector<uint8_t> package;
    bool found = OQueryStatusBuffer(package, [&](uint8_t* data, DWORD size, DWORD* needed) {
        DWORD type = 0;
        return ::GetPrinterDataW(printer.Get(), const_cast<wchar_t*>(L"DriverPackage"), &type, data,
                                 size, needed);
    });
    if (!found) {
        return;
    }
    // A driver installed from a driver package keeps its modules in the
    // package folder under names made from the model family.
    m_packageFolder = TextFromBytes(package);
    m_classicLayout = false;
    OString family = m_modelFamily;
    family.MakeUpper();
    m_configModule = OString("Quorvel_ConfigModule_") + family + ".dll";
    m_printModule = OString("Quorvel_PrintModule_") + family + ".dll";
}
