#include "support/wine_printer.h"

#include <winspool.h>

#include "support/files.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace QvTest {
namespace {

constexpr const wchar_t* kPrintersKey = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";
constexpr const wchar_t* kDriversKey =
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\";

std::wstring ProgramBaseName() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length < MAX_PATH ? length : 0);
    size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        name.erase(0, slash + 1);
    }
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) {
        name.erase(dot);
    }
    return name.empty() ? L"test" : name;
}

// AddPrinterDriverExW copies the files it is given by bare name from the driver
// folder into the driver's version folder (and ignores files it cannot find),
// so the description is written there first.
std::wstring DriverFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD needed = 0;
    if (!::GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(path),
                                      sizeof path, &needed)) {
        return std::wstring();
    }
    return std::wstring(path) + L"\\";
}

std::wstring ErrorText(const wchar_t* what, DWORD code) {
    return std::wstring(what) + L" failed with error " + std::to_wstring(code);
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

bool SetRegString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

}  // namespace

std::wstring WinePrinter::UniqueName(const std::wstring& tag) {
    static std::atomic<unsigned> counter{0};
    return ProgramBaseName() + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L"-" + tag;
}

WinePrinter::WinePrinter(const std::wstring& tag) : WinePrinter(tag, Options()) {}

WinePrinter::WinePrinter(const std::wstring& tag, const Options& options) {
    m_ok = Install(tag, options);
}

bool WinePrinter::Install(const std::wstring& tag, const Options& options) {
    std::wstring unique = UniqueName(tag);
    m_name = options.exactName.empty() ? unique + options.nameSuffix : options.exactName;
    m_driverName = L"Quorvel Test Driver " + unique;

    std::wstring dataFile = L"wineps.drv";
    bool describe = options.dpi != 0 || !options.dataFileName.empty();
    if (describe) {
        m_dataFileName = options.dataFileName.empty()
                             ? options.dataFilePrefix + L"-" + unique + L".ppd"
                             : options.dataFileName;
        m_sourceDataFile = DriverFolder() + m_dataFileName;
        if (!WriteWholeFile(m_sourceDataFile,
                            MakeDescription(options.dpi != 0 ? options.dpi : 300))) {
            m_error = ErrorText(L"writing the printer description", ::GetLastError());
            return false;
        }
        dataFile = m_dataFileName;
    } else {
        m_dataFileName = dataFile;
    }

    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = m_driverName.data();
    driver.pDriverPath = const_cast<wchar_t*>(L"wineps.drv");
    driver.pDataFile = dataFile.data();
    driver.pConfigFile = const_cast<wchar_t*>(L"wineps.drv");
    if (!::AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES)) {
        m_error = ErrorText(L"AddPrinterDriverExW", ::GetLastError());
        return false;
    }
    m_driverInstalled = true;
    if (describe) {
        // The copy in the version-3 folder, deleted with the driver.
        m_installedDataFile = DriverFolder() + L"3\\" + m_dataFileName;
    }

    // Wine keeps these three only in the driver's key; level 6 reads them back.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverRegistryPath().c_str(), 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        SetRegString(key, L"Manufacturer", options.manufacturer);
        SetRegString(key, L"HardwareID", options.hardwareId);
        SetRegString(key, L"Provider", options.provider);
        ::RegCloseKey(key);
    }

    if (options.port.empty()) {
        m_port = TempFolder() + unique + L".prn";
        m_portIsFile = true;
        ::DeleteFileW(m_port.c_str());
    } else {
        m_port = options.port;
    }

    PRINTER_INFO_2W info = {};
    info.pPrinterName = m_name.data();
    info.pPortName = m_port.data();
    info.pDriverName = m_driverName.data();
    info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
    info.pDatatype = const_cast<wchar_t*>(L"RAW");
    std::wstring comment = options.comment;
    std::wstring location = options.location;
    info.pComment = comment.data();
    info.pLocation = location.data();
    HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (printer == nullptr) {
        m_error = ErrorText(L"AddPrinterW", ::GetLastError());
        return false;
    }
    ::ClosePrinter(printer);
    m_printerInstalled = true;
    return true;
}

WinePrinter::~WinePrinter() {
    if (m_printerInstalled) {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        HANDLE printer = nullptr;
        if (::OpenPrinterW(m_name.data(), &printer, &defaults)) {
            ::DeletePrinter(printer);
            ::ClosePrinter(printer);
        }
        // Whatever the spooler left behind (printer data written as keys).
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, RegistryPath().c_str());
    }
    if (m_driverInstalled) {
        ::DeletePrinterDriverW(nullptr, nullptr, m_driverName.data());
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, DriverRegistryPath().c_str());
    }
    if (!m_sourceDataFile.empty()) {
        ::DeleteFileW(m_sourceDataFile.c_str());
    }
    if (!m_installedDataFile.empty()) {
        ::DeleteFileW(m_installedDataFile.c_str());
    }
    if (m_portIsFile) {
        ::DeleteFileW(m_port.c_str());
    }
}

std::wstring WinePrinter::RegistryPath() const {
    return kPrintersKey + m_name;
}

std::wstring WinePrinter::DriverRegistryPath() const {
    return kDriversKey + m_driverName;
}

OPrinterHandle WinePrinter::Open() const {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    std::wstring name = m_name;
    if (!::OpenPrinterW(name.data(), &printer, &defaults)) {
        return OPrinterHandle();
    }
    return OPrinterHandle(printer);
}

std::string WinePrinter::ReadOutput() const {
    return ReadWholeFile(m_port).value_or(std::string());
}

void WinePrinter::ClearOutput() const {
    if (m_portIsFile) {
        ::DeleteFileW(m_port.c_str());
    }
}

bool WinePrinter::SetData(const std::wstring& value, DWORD type, const void* data,
                          DWORD size) const {
    OPrinterHandle printer = Open();
    if (!printer) {
        return false;
    }
    std::wstring name = value;
    return ::SetPrinterDataW(printer.Get(), name.data(), type,
                             static_cast<BYTE*>(const_cast<void*>(data)), size) == ERROR_SUCCESS;
}

bool WinePrinter::SetDataString(const std::wstring& value, const std::wstring& text) const {
    return SetData(value, REG_SZ, text.c_str(),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool WinePrinter::SetDataDword(const std::wstring& value, DWORD number) const {
    return SetData(value, REG_DWORD, &number, sizeof number);
}

bool WinePrinter::SetDataEx(const std::wstring& key, const std::wstring& value, DWORD type,
                            const void* data, DWORD size) const {
    OPrinterHandle printer = Open();
    if (!printer) {
        return false;
    }
    return ::SetPrinterDataExW(printer.Get(), key.c_str(), value.c_str(), type,
                               static_cast<BYTE*>(const_cast<void*>(data)), size) == ERROR_SUCCESS;
}

bool WinePrinter::DeleteData(const std::wstring& value, const std::wstring& key) const {
    std::wstring path =
        RegistryPath() + L"\\" + (key.empty() ? std::wstring(L"PrinterDriverData") : key);
    HKEY handle = nullptr;
    LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &handle);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (opened != ERROR_SUCCESS) {
        return false;
    }
    LONG deleted = ::RegDeleteValueW(handle, value.c_str());
    ::RegCloseKey(handle);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool WinePrinter::SetStatus(DWORD status) const {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, RegistryPath().c_str(), L"Status", REG_DWORD,
                             &status, sizeof status) == ERROR_SUCCESS;
}

bool WinePrinter::SetBidi(bool enabled) const {
    OPrinterHandle printer = Open();
    if (!printer) {
        return false;
    }
    DWORD needed = 0;
    ::GetPrinterW(printer.Get(), 2, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<BYTE> buffer(needed);
    if (!::GetPrinterW(printer.Get(), 2, buffer.data(), needed, &needed)) {
        return false;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    if (enabled) {
        info->Attributes |= PRINTER_ATTRIBUTE_ENABLE_BIDI;
    } else {
        info->Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_ENABLE_BIDI);
    }
    return ::SetPrinterW(printer.Get(), 2, buffer.data(), 0) != FALSE;
}

}  // namespace QvTest
