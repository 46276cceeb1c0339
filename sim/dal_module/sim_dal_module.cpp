// The simulated printer's DAL module (see sim_dal_module.h): the nine DAL
// exports and the RunDLL32 proxy entry that serves them over the library's
// pipe. It links only system libraries, as a driver's own module would.
#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sim/dal_module/sim_dal_module.h"

namespace {

// Set in the proxy process before it serves: tells the log which side called.
bool g_inProxy = false;

struct SimPrinter {
    std::wstring name;
    std::string settings;
    HANDLE ownedSpooler = nullptr;  // opened by the proxy, closed with the DAL handle
    bool throwOnClose = false;
};

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    ::wsprintfW(text, L"0x%X", value);
    return text;
}

std::wstring NameOf(INT_PTR dal) {
    return dal == 0 ? L"(none)" : reinterpret_cast<SimPrinter*>(dal)->name;
}

void Log(const wchar_t* function, std::initializer_list<std::wstring> arguments) {
    std::wstring path = Environment(QvSimDal::kLogVariable);
    if (path.empty()) {
        return;
    }
    std::wstring line = std::to_wstring(::GetCurrentProcessId()) + L"\t" +
                        (g_inProxy ? L"proxy" : L"in-process") + L"\t" + function;
    for (const std::wstring& argument : arguments) {
        line += L"\t" + argument;
    }
    line += L"\r\n";
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                    nullptr);
        ::CloseHandle(file);
    }
}

bool ReadWholeFile(const std::wstring& path, std::string& text) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buffer[4096];
    DWORD read = 0;
    text.clear();
    while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    ::CloseHandle(file);
    return true;
}

// False with the file system's last error when the file cannot be written
// whole.
bool WriteWholeFile(const std::wstring& path, const std::string& text) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool whole =
        ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(whole ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT));
    return whole;
}

std::wstring SettingsFile(const std::wstring& printer) {
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    std::wstring name = printer;
    for (wchar_t& c : name) {
        if (c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
            c == L'<' || c == L'>' || c == L'|') {
            c = L'_';
        }
    }
    return std::wstring(folder) + L"qvsimdal-" + name + L".settings";
}

DWORD FlagsOf(int action) {
    switch (action) {
        case QvSimDal::kActionPrintConfiguration:
        case QvSimDal::kActionCrash:
        case QvSimDal::kActionHang:
        case QvSimDal::kActionThrow:
        case QvSimDal::kActionThrowOnClose:
            return 0x1;
        case QvSimDal::kActionCalibrate:
            return 0x3;
        case QvSimDal::kActionResetPrinter:
            return 0x31;
        case QvSimDal::kActionHighFlag:
            return 0x80000003;
        default:
            return action > QvSimDal::kActionSleepBase ? 0x1 : 0;
    }
}

BYTE RunAction(INT_PTR dal, int action) {
    if (action == QvSimDal::kActionThrow) {
        throw std::runtime_error("the simulated DAL action threw");
    }
    if (action == QvSimDal::kActionThrowOnClose && dal != 0) {
        reinterpret_cast<SimPrinter*>(dal)->throwOnClose = true;
    }
    if (action == QvSimDal::kActionCrash) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    if (action == QvSimDal::kActionHang) {
        ::Sleep(INFINITE);
    }
    if (action > QvSimDal::kActionSleepBase) {
        ::Sleep(static_cast<DWORD>(action - QvSimDal::kActionSleepBase));
    }
    return FlagsOf(action) != 0 ? 1 : 0;
}

}  // namespace

extern "C" {

INT_PTR WINAPI DAL_Printer_Open(HANDLE printer) {
    std::wstring name;
    DWORD needed = 0;
    ::GetPrinterW(printer, 4, nullptr, 0, &needed);
    std::string info(needed, '\0');
    if (needed > 0 &&
        ::GetPrinterW(printer, 4, reinterpret_cast<BYTE*>(info.data()), needed, &needed)) {
        name = reinterpret_cast<PRINTER_INFO_4W*>(info.data())->pPrinterName;
    }
    Log(L"DAL_Printer_Open", {name});
    if (name.empty()) {
        return 0;
    }
    auto* simPrinter = new SimPrinter{name, QvSimDal::kDefaultSettings, nullptr};
    ReadWholeFile(SettingsFile(name), simPrinter->settings);
    return reinterpret_cast<INT_PTR>(simPrinter);
}

BOOL WINAPI DAL_Printer_Close(INT_PTR dal) {
    Log(L"DAL_Printer_Close", {NameOf(dal)});
    auto* simPrinter = reinterpret_cast<SimPrinter*>(dal);
    if (simPrinter != nullptr && simPrinter->ownedSpooler != nullptr) {
        ::ClosePrinter(simPrinter->ownedSpooler);
    }
    const bool fail = simPrinter != nullptr && simPrinter->throwOnClose;
    delete simPrinter;
    if (fail) {
        throw std::runtime_error("the simulated DAL close threw");
    }
    return TRUE;
}

BOOL WINAPI DAL_Settings_Save(INT_PTR dal) {
    Log(L"DAL_Settings_Save", {NameOf(dal)});
    auto* simPrinter = reinterpret_cast<SimPrinter*>(dal);
    return WriteWholeFile(SettingsFile(simPrinter->name), simPrinter->settings) ? TRUE : FALSE;
}

BOOL WINAPI DAL_Settings_Export(INT_PTR dal, LPCWSTR path, DWORD flags) {
    Log(L"DAL_Settings_Export", {NameOf(dal), path, Hex(flags)});
    return WriteWholeFile(path, reinterpret_cast<SimPrinter*>(dal)->settings) ? TRUE : FALSE;
}

BOOL WINAPI DAL_Settings_Import(INT_PTR dal, LPCWSTR path, DWORD flags) {
    Log(L"DAL_Settings_Import", {NameOf(dal), path, Hex(flags)});
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return FALSE;
    }
    if (!QvSimDal::IsSettingsText(text)) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    reinterpret_cast<SimPrinter*>(dal)->settings = text;
    return TRUE;
}

BOOL WINAPI DAL_Settings_Reset(INT_PTR dal, DWORD flags) {
    Log(L"DAL_Settings_Reset", {NameOf(dal), Hex(flags)});
    reinterpret_cast<SimPrinter*>(dal)->settings = QvSimDal::kDefaultSettings;
    return TRUE;
}

BYTE WINAPI DAL_Printer_Action(INT_PTR dal, int action) {
    Log(L"DAL_Printer_Action", {NameOf(dal), std::to_wstring(action)});
    return RunAction(dal, action);
}

BYTE WINAPI DAL_Printer_ActionUI(INT_PTR dal, HWND parent, int action) {
    Log(L"DAL_Printer_ActionUI",
        {NameOf(dal), Hex(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(parent))),
         std::to_wstring(action)});
    return RunAction(dal, action);
}

DWORD WINAPI DAL_Printer_ActionFlag(INT_PTR dal, int action) {
    Log(L"DAL_Printer_ActionFlag", {NameOf(dal), std::to_wstring(action)});
    return FlagsOf(action);
}

}  // extern "C"

namespace {

// The client end of the library's pipe, read synchronously.
class ProxyServer {
public:
    explicit ProxyServer(HANDLE pipe) : m_pipe(pipe) {}

    bool Number(int64_t& value) {
        uint8_t bytes[8];
        if (!Read(bytes, sizeof bytes)) {
            return false;
        }
        uint64_t number = 0;
        for (int i = 7; i >= 0; --i) {
            number = (number << 8) | bytes[i];
        }
        value = static_cast<int64_t>(number);
        return true;
    }
    bool Text(std::wstring& text) {
        uint8_t length[2];
        if (!Read(length, sizeof length)) {
            return false;
        }
        size_t units = length[0] | (length[1] << 8);
        text.assign(units, L'\0');
        // One spare unit: the empty text arrives as a message of 0 bytes.
        std::wstring buffer(units + 1, L'\0');
        DWORD read = 0;
        if (!::ReadFile(m_pipe, buffer.data(), static_cast<DWORD>((units + 1) * 2), &read,
                        nullptr) ||
            read != units * 2) {
            return false;
        }
        text.assign(buffer.data(), units);
        return true;
    }
    bool Reply(int64_t value) {
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
        }
        DWORD written = 0;
        return ::WriteFile(m_pipe, bytes, sizeof bytes, &written, nullptr) && written == 8;
    }
    // Reads one request, calls its export, answers; false when the pipe ends
    // or the module does not export the function (a variant built without
    // it): the wire has no answer for that, so the proxy stops serving.
    bool ServeOne() {
        std::wstring function;
        int64_t dal = 0;
        if (!Text(function) || !Exported(function)) {
            return false;
        }
        if (function == L"DAL_Printer_Open") {
            std::wstring name;
            return Text(name) && Reply(Open(name));
        }
        if (!Number(dal)) {
            return false;
        }
        std::wstring path;
        int64_t first = 0;
        int64_t second = 0;
        if (function == L"DAL_Printer_Close") {
            return Reply(DAL_Printer_Close(dal));
        }
        if (function == L"DAL_Settings_Save") {
            return Reply(DAL_Settings_Save(dal));
        }
        if (function == L"DAL_Settings_Export" || function == L"DAL_Settings_Import") {
            if (!Text(path) || !Number(first)) {
                return false;
            }
            auto call =
                function == L"DAL_Settings_Export" ? DAL_Settings_Export : DAL_Settings_Import;
            return Reply(call(dal, path.c_str(), static_cast<DWORD>(first)));
        }
        if (function == L"DAL_Settings_Reset") {
            return Number(first) && Reply(DAL_Settings_Reset(dal, static_cast<DWORD>(first)));
        }
        if (function == L"DAL_Printer_Action") {
            return Number(first) && Reply(DAL_Printer_Action(dal, static_cast<int>(first)));
        }
        if (function == L"DAL_Printer_ActionUI") {
            return Number(first) && Number(second) &&
                   Reply(DAL_Printer_ActionUI(dal, reinterpret_cast<HWND>(first),
                                              static_cast<int>(second)));
        }
        if (function == L"DAL_Printer_ActionFlag") {
            // The flag word travels sign-extended, as a 32-bit int return would.
            return Number(first) && Reply(static_cast<int32_t>(
                                        DAL_Printer_ActionFlag(dal, static_cast<int>(first))));
        }
        return false;
    }

private:
    static bool Exported(const std::wstring& function) {
        HMODULE self = nullptr;
        ::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&g_inProxy), &self);
        std::string name(function.begin(), function.end());
        return self != nullptr && ::GetProcAddress(self, name.c_str()) != nullptr;
    }
    bool Read(void* data, DWORD size) {
        DWORD read = 0;
        return ::ReadFile(m_pipe, data, size, &read, nullptr) && read == size;
    }
    // The printer handle does not cross processes: open the printer here and
    // keep the handle with the DAL handle.
    static INT_PTR Open(std::wstring name) {
        HANDLE spooler = nullptr;
        if (!::OpenPrinterW(name.data(), &spooler, nullptr)) {
            Log(L"DAL_Printer_Open", {name});
            return 0;
        }
        INT_PTR dal = DAL_Printer_Open(spooler);
        if (dal == 0) {
            ::ClosePrinter(spooler);
        } else {
            reinterpret_cast<SimPrinter*>(dal)->ownedSpooler = spooler;
        }
        return dal;
    }

    HANDLE m_pipe;
};

HANDLE ConnectToHost(const std::wstring& pipeName) {
    // The host may create the pipe after starting this process: keep trying
    // for a minute.
    for (int attempt = 0; attempt < 6000; ++attempt) {
        HANDLE pipe = ::CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        if (::GetLastError() == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(pipeName.c_str(), 100);
        } else {
            ::Sleep(10);
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" {

void CALLBACK DAL_ProxyW(HWND, HINSTANCE, LPWSTR commandLine, int) {
    g_inProxy = true;
    std::wstring pipeName = commandLine != nullptr ? commandLine : L"";
    Log(L"DAL_Proxy", {pipeName});
    std::wstring fault = Environment(QvSimDal::kProxyFaultVariable);
    if (fault == L"exit") {
        return;
    }
    if (fault == L"stall") {
        ::Sleep(INFINITE);
    }
    HANDLE pipe = ConnectToHost(pipeName);
    if (pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    ProxyServer server(pipe);
    while (server.ServeOne()) {
    }
    ::CloseHandle(pipe);
}

void CALLBACK DAL_Proxy(HWND window, HINSTANCE instance, LPSTR commandLine, int show) {
    std::wstring wide;
    if (commandLine != nullptr) {
        int units = ::MultiByteToWideChar(CP_ACP, 0, commandLine, -1, nullptr, 0);
        wide.assign(static_cast<size_t>(units > 0 ? units : 1), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, commandLine, -1, wide.data(), units);
    }
    DAL_ProxyW(window, instance, wide.data(), show);
}

}  // extern "C"
