#include "printer/printer_info.h"

#include <cwchar>
#include <memory>
#include <string>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "printer/odometer.h"

namespace {

constexpr uint64_t kRefreshIntervalMs = 1000;
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

bool ComputerName(OString& name) {
    wchar_t buffer[kComputerNameChars] = {};
    DWORD chars = kComputerNameChars;
    if (!::GetComputerNameW(buffer, &chars)) {
        name.Empty();
        return false;
    }
    name = OString(buffer, static_cast<int32_t>(chars));
    return true;
}

// A copy of the text in a body of its own, in the same code page.
bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
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

    OString computer;
    bool haveComputer = ComputerName(computer);

    OString key;
    if (info->pServerName != nullptr && info->pServerName[0] != L'\0') {
        OString server;
        // A printer of this machine seen through a terminal-services client
        // redirection carries the "\\CSR|" prefix before its server name.
        if (StartsWith(info->pServerName, L"\\\\CSR|")) {
            server = info->pServerName + 6;
        } else if (StartsWith(info->pServerName, L"\\\\")) {
            server = info->pServerName + 2;
        } else {
            server = computer;
        }
        server.MakeLower();
        if (haveComputer && computer.CompareNoCase(server) != 0) {
            // A printer shared from another machine: the directory-service
            // name is the one every user of the share sees alike.
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
        m_lastRefresh = api.getTickCount64();
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
        if (!m_serverName.IsEmpty()) {
            m_serverName.TrimLeft(OString("\\"));
            m_remote = true;
        } else if (StartsWith(m_portName.GetWide(), L"\\\\")) {
            // A port "\\host\queue" sends the jobs to a queue of another machine.
            int32_t slash = m_portName.Find("\\", 2);
            if (slash >= 0) {
                m_serverName = m_portName.Mid(2, slash - 2);
                m_shareName = m_portName.Mid(slash + 1);
            } else {
                m_serverName = m_portName.Mid(2);
            }
            m_remote = true;
        } else {
            ComputerName(m_serverName);
            m_remote = false;
        }

        int32_t slash = m_printerName.Find("\\", 2);
        m_shortName = slash >= 0 ? m_printerName.Mid(slash + 1) : m_printerName;

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
        m_modelFamily = m_dataFile.Left(3);
        m_modelFamily.MakeLower();
        m_modelCode = m_dataFile.Mid(3, 2);
        m_modelCode.MakeLower();
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

PrinterInfoCache::~PrinterInfoCache() {
    RemoveAll();
}

void PrinterInfoCache::RemoveAll() {
    for (int32_t i = 0; i < m_entries.GetCount(); ++i) {
        delete m_entries.GetValueAt(i);
    }
    m_entries.RemoveAll();
}

void PrinterInfoCache::ClearThisThread() {
    PrinterInfoCache* cache = Peek();
    if (cache != nullptr) {
        cache->RemoveAll();
    }
}

void PrinterInfoCache::Fill(PrinterInfo& record) {
    const OString key = record.m_printerName;
    int32_t index = m_entries.Find(key);
    if (index >= 0) {
        PrinterInfo* entry = m_entries.GetValueAt(index);
        if (PrinterInfoApi::Current().getTickCount64() >
            entry->m_lastRefresh + kRefreshIntervalMs) {
            entry->Gather();
        }
        record = *entry;
        return;
    }
    record.Gather();
    auto entry = std::make_unique<PrinterInfo>(record);
    m_entries.SetAt(key, entry.get());
    entry.release();
}

// The slot is allocated while the library loads, as its other process-wide
// objects are, rather than on the first lookup of some thread.
template class ThreadLocalSingleton<PrinterInfoCache>;

namespace {

// A thread's printer cache ends with the thread: hosts that look printers up
// on short-lived threads kept about 2.7 KB per finished thread until unload.
// Only memory is freed here, which is safe under the loader lock.
void NTAPI ReleaseThreadCache(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH) {
        PrinterInfoCache::ReleaseThisThread();
    }
}

}  // namespace

// The run-time's TLS directory calls every entry between its .CRT$XLA and
// .CRT$XLZ markers at thread and process events, in an executable as in a DLL.
extern "C" {
extern PIMAGE_TLS_CALLBACK qvReleaseThreadCache;
__attribute__((section(".CRT$XLQ"), used)) PIMAGE_TLS_CALLBACK qvReleaseThreadCache =
    &ReleaseThreadCache;
}
