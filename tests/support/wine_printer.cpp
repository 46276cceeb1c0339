#include "support/wine_printer.h"

#include <winspool.h>

#include "support/files.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"

#include <atomic>
#include <filesystem>
#include <vector>

namespace QvTest {
namespace {

std::wstring ProgramBaseName() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name =
        std::filesystem::path(std::wstring(path, length < MAX_PATH ? length : 0)).stem();
    return name.empty() ? L"test" : name;
}

}  // namespace

SpoolerLock::SpoolerLock()
    : m_mutex(::CreateMutexW(nullptr, FALSE, L"Local\\QuorvelTests.Spooler")) {
    if (!m_mutex) {
        ADD_FAILURE() << "cannot create the spooler mutex: " << ::GetLastError();
        return;
    }
    // A holder that died while printing leaves the mutex abandoned, not held.
    DWORD waited = ::WaitForSingleObject(m_mutex.Get(), 120000);
    m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!m_held) {
        ADD_FAILURE() << "another test program held the spooler for two minutes";
    }
}

SpoolerLock::~SpoolerLock() {
    if (m_held) {
        ::ReleaseMutex(m_mutex.Get());
    }
}

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
    QvSim::PrinterDriverSetup driver;
    driver.name = m_driverName;
    m_dataFileName = options.dpi != 0 ? L"qvz42-" + unique + L".ppd" : L"wineps.drv";
    if (options.dpi != 0) {
        driver.descriptionFile = m_dataFileName;
        driver.dpi = options.dpi;
    }
    driver.manufacturer = L"Quorvel Test Manufacturer";
    driver.hardwareId = L"quorvel_test_hwid";
    driver.provider = L"Quorvel Test Provider";
    m_driverInstalled = QvSim::InstallPrinterDriver(driver, &m_error, &m_descriptionWritten);
    if (!m_driverInstalled) {
        return false;
    }
    m_port = TempFolder() + unique + L".prn";
    ::DeleteFileW(m_port.c_str());
    QvSim::PrinterSetup printer;
    printer.name = m_name;
    printer.driverName = m_driverName;
    printer.port = m_port;
    printer.comment = L"test comment";
    printer.location = L"test location";
    m_printerInstalled = QvSim::InstallPrinter(printer, &m_error);
    return m_printerInstalled;
}

WinePrinter::~WinePrinter() {
    if (m_printerInstalled) {
        QvSim::RemovePrinter(m_name);
    }
    if (m_driverInstalled || m_descriptionWritten) {
        QvSim::RemovePrinterDriver(m_driverName,
                                   m_descriptionWritten ? m_dataFileName : std::wstring());
    }
    ::DeleteFileW(m_port.c_str());
}

std::wstring WinePrinter::RegistryPath() const {
    return QvSim::PrinterRegistryPath(m_name);
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
    ::DeleteFileW(m_port.c_str());
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
    return QvSim::SetPrinterStatusWord(m_name, status);
}

bool WinePrinter::SetBidi(bool enabled) const {
    return QvSim::SetPrinterBidi(m_name, enabled);
}

}  // namespace QvTest
