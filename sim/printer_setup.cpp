#include "sim/printer_setup.h"

#include <winspool.h>

#include <cstdio>
#include <vector>

namespace QvSim {
namespace {

constexpr const wchar_t* kPrintersKey = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";
constexpr const wchar_t* kDriversKey =
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\";

std::wstring ErrorText(const wchar_t* what, DWORD code) {
    return std::wstring(what) + L" failed with error " + std::to_wstring(code);
}

void SetError(std::wstring* error, const std::wstring& text) {
    if (error != nullptr) {
        *error = text;
    }
}

// A minimal PostScript printer description whose only purpose is the
// resolution: Wine's PostScript driver reads the driver's data file as the
// description and reports its *DefaultResolution through LOGPIXELSX/Y. The
// imageable area is the whole page, so device pixel 0,0 is the page corner.
// The resolution is written "<x>x<y>dpi": Wine reads a plain "203dpi" as the
// broken "<x><y>dpi" form some vendors use (a zero followed by a non-zero digit
// starts the second number) and would answer 20 dots per inch.
std::string MakeDescription(int dpi) {
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "*PPD-Adobe: \"4.3\"\r\n"
        "*FormatVersion: \"4.3\"\r\n"
        "*FileVersion: \"1.0\"\r\n"
        "*LanguageVersion: English\r\n"
        "*LanguageEncoding: ISOLatin1\r\n"
        "*PCFileName: \"QVTEST.PPD\"\r\n"
        "*Manufacturer: \"Quorvel\"\r\n"
        "*Product: \"(Quorvel Test Label Printer)\"\r\n"
        "*ModelName: \"Quorvel Test Label Printer\"\r\n"
        "*NickName: \"Quorvel Test Label Printer\"\r\n"
        "*ShortNickName: \"Quorvel Test Label Printer\"\r\n"
        "*PSVersion: \"(3010.000) 0\"\r\n"
        "*LanguageLevel: \"3\"\r\n"
        "*ColorDevice: False\r\n"
        "*DefaultColorSpace: Gray\r\n"
        "*FileSystem: False\r\n"
        "*Throughput: \"1\"\r\n"
        "*DefaultResolution: %dx%ddpi\r\n"
        "*OpenUI *PageSize/Page Size: PickOne\r\n"
        "*OrderDependency: 10 AnySetup *PageSize\r\n"
        "*DefaultPageSize: Label\r\n"
        "*PageSize Label/Label 4 x 6: \"<</PageSize[288 432]/ImagingBBox null>>setpagedevice\"\r\n"
        "*CloseUI: *PageSize\r\n"
        "*OpenUI *PageRegion: PickOne\r\n"
        "*OrderDependency: 10 AnySetup *PageRegion\r\n"
        "*DefaultPageRegion: Label\r\n"
        "*PageRegion Label/Label 4 x 6: \"<</PageSize[288 432]/ImagingBBox "
        "null>>setpagedevice\"\r\n"
        "*CloseUI: *PageRegion\r\n"
        "*DefaultImageableArea: Label\r\n"
        "*ImageableArea Label/Label 4 x 6: \"0 0 288 432\"\r\n"
        "*DefaultPaperDimension: Label\r\n"
        "*PaperDimension Label/Label 4 x 6: \"288 432\"\r\n",
        dpi, dpi);
    return text;
}

bool WriteDescription(const std::wstring& path, int dpi) {
    std::string bytes = MakeDescription(dpi);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    return ok && written == bytes.size();
}

bool SetRegString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

}  // namespace

std::wstring ProgramFolder() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        // A full buffer means the name was cut: only a larger one tells.
        if (length < path.size()) {
            std::wstring full(path.data(), length);
            return full.substr(0, full.find_last_of(L"\\/") + 1);
        }
        path.resize(path.size() * 2);
    }
}

std::wstring PrinterDriverFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD needed = 0;
    if (!::GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(path),
                                      sizeof path, &needed)) {
        return std::wstring();
    }
    return std::wstring(path) + L"\\";
}

std::wstring PrinterRegistryPath(const std::wstring& printer) {
    return kPrintersKey + printer;
}

std::wstring PrinterDriverRegistryPath(const std::wstring& driver) {
    return kDriversKey + driver;
}

bool InstallPrinterDriver(const PrinterDriverSetup& setup, std::wstring* error,
                          bool* wroteDescription) {
    if (wroteDescription != nullptr) {
        *wroteDescription = false;
    }
    std::wstring dataFile = L"wineps.drv";
    if (!setup.descriptionFile.empty()) {
        // Written into the driver folder, from where the spooler copies it.
        if (!WriteDescription(PrinterDriverFolder() + setup.descriptionFile, setup.dpi)) {
            SetError(error, ErrorText(L"writing the printer description", ::GetLastError()));
            return false;
        }
        if (wroteDescription != nullptr) {
            *wroteDescription = true;
        }
        dataFile = setup.descriptionFile;
    }

    std::wstring name = setup.name;
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = name.data();
    driver.pDriverPath = const_cast<wchar_t*>(L"wineps.drv");
    driver.pDataFile = dataFile.data();
    driver.pConfigFile = const_cast<wchar_t*>(L"wineps.drv");
    if (!::AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES)) {
        SetError(error, ErrorText(L"AddPrinterDriverExW", ::GetLastError()));
        return false;
    }

    // Wine keeps these three only in the driver's key; level 6 reads them back.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PrinterDriverRegistryPath(setup.name).c_str(), 0,
                        KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        SetRegString(key, L"Manufacturer", setup.manufacturer);
        SetRegString(key, L"HardwareID", setup.hardwareId);
        SetRegString(key, L"Provider", setup.provider);
        ::RegCloseKey(key);
    }
    return true;
}

void RemovePrinterDriver(const std::wstring& name, const std::wstring& descriptionFile) {
    std::wstring driver = name;
    ::DeletePrinterDriverW(nullptr, nullptr, driver.data());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, PrinterDriverRegistryPath(name).c_str());
    if (!descriptionFile.empty()) {
        std::wstring folder = PrinterDriverFolder();
        ::DeleteFileW((folder + descriptionFile).c_str());
        // The copy in the version-3 folder.
        ::DeleteFileW((folder + L"3\\" + descriptionFile).c_str());
    }
}

bool InstallPrinter(const PrinterSetup& setup, std::wstring* error) {
    std::wstring name = setup.name;
    std::wstring port = setup.port;
    std::wstring driver = setup.driverName;
    std::wstring comment = setup.comment;
    std::wstring location = setup.location;
    PRINTER_INFO_2W info = {};
    info.pPrinterName = name.data();
    info.pPortName = port.data();
    info.pDriverName = driver.data();
    info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
    info.pDatatype = const_cast<wchar_t*>(L"RAW");
    info.pComment = comment.data();
    info.pLocation = location.data();
    HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (printer == nullptr) {
        SetError(error, ErrorText(L"AddPrinterW", ::GetLastError()));
        return false;
    }
    ::ClosePrinter(printer);
    return true;
}

bool PrinterExists(const std::wstring& name) {
    std::wstring printerName = name;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE printer = nullptr;
    if (!::OpenPrinterW(printerName.data(), &printer, &defaults)) {
        return false;
    }
    ::ClosePrinter(printer);
    return true;
}

void RemovePrinter(const std::wstring& name) {
    std::wstring printerName = name;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (::OpenPrinterW(printerName.data(), &printer, &defaults)) {
        ::DeletePrinter(printer);
        ::ClosePrinter(printer);
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, PrinterRegistryPath(name).c_str());
}

bool SetPrinterStatusWord(const std::wstring& printer, DWORD status) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, PrinterRegistryPath(printer).c_str(), L"Status",
                             REG_DWORD, &status, sizeof status) == ERROR_SUCCESS;
}

}  // namespace QvSim
