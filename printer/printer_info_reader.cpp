#include "printer/printer_info_reader.h"

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

// The model and, for a driver installed from a package, its modules; with
// each read of the driver part.
void ReadPackage(PrinterFacts& facts) {
    if (!facts.dataFile.IsEmpty()) {
        PrinterModel model = ModelOf(facts.dataFile);
        facts.modelFamily = model.family;
        facts.modelCode = model.code;
    }

    // A driver upgraded from a package to a classic one keeps no package folder.
    facts.packageFolder.Empty();
    facts.configModule.Empty();
    facts.printModule.Empty();
    facts.classicLayout = true;
    OPrinterHandle printer = OpenByName(facts.printerName);
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
    facts.packageFolder = TextFromBytes(package);
    facts.classicLayout = false;
    OString family = facts.modelFamily;
    family.MakeUpper();
    facts.configModule = OString("Quorvel_ConfigModule_") + family + ".dll";
    facts.printModule = OString("Quorvel_PrintModule_") + family + ".dll";
}

}  // namespace

OString PrinterInfoReader::KeyFromHandle(HANDLE printer) {
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

namespace {

// The package part of a first driver read that could not ask the spooler; a
// later one keeps what was read before.
void FirstPackageRead(PrinterFacts& facts) {
    if (!facts.driverPartRead) {
        ReadPackage(facts);
        facts.driverPartRead = true;
    }
}

}  // namespace

void PrinterInfoReader::Read(PrinterFacts& facts, bool driverPart) {
    const PrinterInfoApi& api = PrinterInfoApi::Current();
    const bool driverDue = driverPart || !facts.driverPartRead;
    if (driverDue) {
        // Counted from the attempt: a printer whose driver cannot be read is
        // not asked again every second.
        facts.driverPartTime = OTickCount();
    }
    OPrinterHandle printer = OpenByName(facts.printerName);
    if (!printer) {
        FirstPackageRead(facts);
        return;
    }

    std::vector<uint8_t> buffer;
    bool levelTwo = OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return api.getPrinter(printer.Get(), 2, data, size, needed);
    });
    levelTwo = levelTwo && buffer.size() >= sizeof(PRINTER_INFO_2W);
    if (levelTwo) {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
        facts.lastRefresh = OTickCount();
        facts.printerName = TextOf(info->pPrinterName);
        facts.serverName = TextOf(info->pServerName);
        facts.shareName = TextOf(info->pShareName);
        facts.portName = TextOf(info->pPortName);
        facts.driverName = TextOf(info->pDriverName);
        facts.comment = TextOf(info->pComment);
        facts.location = TextOf(info->pLocation);
        facts.sepFile = TextOf(info->pSepFile);
        facts.printProcessor = TextOf(info->pPrintProcessor);
        facts.dataType = TextOf(info->pDatatype);
        facts.parameters = TextOf(info->pParameters);
        facts.attributes = info->Attributes;
        facts.devMode.clear();
        if (info->pDevMode != nullptr) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(info->pDevMode);
            size_t size = size_t{info->pDevMode->dmSize} + info->pDevMode->dmDriverExtra;
            // The two sizes are the driver's: a device mode inside the spooler's
            // buffer that claims to run past its end is malformed, and copying it
            // would read beyond the buffer.
            const uint8_t* end = buffer.data() + buffer.size();
            bool inside = bytes >= buffer.data() && bytes < end;
            if (!inside || size <= static_cast<size_t>(end - bytes)) {
                facts.devMode.assign(bytes, bytes + size);
            }
        }
    }

    // A refresh whose level 2 read failed keeps what the last good read
    // derived: its server name would otherwise make a local printer remote.
    if (levelTwo || !facts.driverPartRead) {
        PrinterPlace place = PlaceOf(facts.serverName, facts.shareName, facts.portName,
                                     facts.printerName, ComputerName());
        facts.serverName = place.serverName;
        facts.shareName = place.shareName;
        facts.shortName = place.shortName;
        facts.remote = place.remote;

        if (!facts.remote) {
            TerminalSession session = LookupTerminalSession(printer.Get());
            if (session.IsSessionPrinter()) {
                facts.serverName = session.clientName;
                facts.shortName = session.clientPrinterName;
                facts.remote = true;
                facts.sessionRedirected = true;
            }
        }
    }

    if (!driverDue) {
        return;
    }

    std::vector<uint8_t> driverBuffer;
    bool driverRead = OQueryBoolBuffer(driverBuffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return api.getPrinterDriver(printer.Get(), nullptr, 6, data, size, needed);
    });
    if (!driverRead || driverBuffer.size() < sizeof(DRIVER_INFO_6W)) {
        printer.Reset();
        FirstPackageRead(facts);
        return;
    }
    const auto* driver = reinterpret_cast<const DRIVER_INFO_6W*>(driverBuffer.data());
    facts.driverVersionNumber = driver->cVersion;
    facts.environment = TextOf(driver->pEnvironment);
    facts.driverDirectory.Empty();
    facts.driverFile.Empty();
    if (driver->pDriverPath != nullptr) {
        const wchar_t* slash = std::wcsrchr(driver->pDriverPath, L'\\');
        if (slash != nullptr) {
            facts.driverDirectory =
                OString(driver->pDriverPath, static_cast<int32_t>(slash - driver->pDriverPath));
            facts.driverFile = OString(slash + 1);
        } else {
            facts.driverFile = OString(driver->pDriverPath);
        }
    }
    facts.dataFile = FileNamePart(driver->pDataFile);
    facts.configFile = FileNamePart(driver->pConfigFile);
    facts.helpFile = FileNamePart(driver->pHelpFile);
    facts.dependentFiles.RemoveAll();
    if (driver->pDependentFiles != nullptr) {
        // A list of strings ended by an empty one.
        for (const wchar_t* file = driver->pDependentFiles; *file != L'\0';
             file += std::wcslen(file) + 1) {
            facts.dependentFiles.Add(FileNamePart(file));
        }
    }
    facts.monitorName = TextOf(driver->pMonitorName);
    facts.defaultDataType = TextOf(driver->pDefaultDataType);
    facts.driverDate = driver->ftDriverDate;
    facts.driverVersion = driver->dwlDriverVersion;
    facts.manufacturer = TextOf(driver->pszMfgName);
    facts.hardwareId = TextOf(driver->pszHardwareID);
    facts.provider = TextOf(driver->pszProvider);

    printer.Reset();
    ReadPackage(facts);
    facts.driverPartRead = true;
}
