// qvdemoprinter: sets up the Wine printer scripts/demo shows the driver
// interface on, so that qvhost has a real printer to open.
//
//   qvdemoprinter install NAME          driver, printer and file port; again is fine
//   qvdemoprinter set-status NAME HEX   the spooler's status word (PRINTER_STATUS_ bits)
//   qvdemoprinter label NAME MODULE PORT
//                                       make it the simulated label printer: MODULE
//                                       as its DAL module, bidi and status
//                                       monitoring on, its XPML server on PORT
//   qvdemoprinter isolation NAME 0|1    "Settings:DAL/Isolation Mode"
//   qvdemoprinter remove NAME           printer, driver, description and port file
//   qvdemoprinter start NAME [PORT]     all of it at once: the XPML server
//                                       (qvxpmlserver.exe beside this program,
//                                       left running), the printer, and label
//                                       with qvsimdal.dll; prints the port
//   qvdemoprinter stop NAME             ends that server and removes the printer
//
// The driver is Wine's PostScript driver with a generated 203 dpi label
// description; the port is a file, so a printed page can be looked at.
// Exit codes: 0 done, 2 bad command line, 4 a Windows call failed.

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#include <winspool.h>

#include "core/handles.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 4;

constexpr int kDemoDpi = 203;

// Results go to standard output, errors and usage to standard error.
void Write(FILE* stream, const std::wstring& text) {
    std::wstring line = text + L"\n";
    int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(),
                              size, nullptr, nullptr);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

void Print(const std::wstring& text) {
    Write(stdout, text);
}

void PrintError(const std::wstring& text) {
    Write(stderr, text);
}

int Fail(const std::wstring& text) {
    PrintError(L"qvdemoprinter: " + text);
    return kExitFailure;
}

int Usage() {
    PrintError(
        L"usage: qvdemoprinter install NAME | set-status NAME HEX | label NAME MODULE PORT | "
        L"isolation NAME 0|1 | remove NAME | start NAME [PORT] | stop NAME");
    return kExitUsage;
}

// Lower-case letters and digits of the printer name, other runs as one '-':
// a file name without spaces for the description and the port.
std::wstring Slug(const std::wstring& name) {
    std::wstring slug;
    for (wchar_t c : name) {
        if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')) {
            slug += c;
        } else if (c >= L'A' && c <= L'Z') {
            slug += static_cast<wchar_t>(c - L'A' + L'a');
        } else if (!slug.empty() && slug.back() != L'-') {
            slug += L'-';
        }
    }
    while (!slug.empty() && slug.back() == L'-') {
        slug.pop_back();
    }
    return slug.empty() ? std::wstring(L"printer") : slug;
}

// Everything about the demo printer follows from its name, so that remove and
// a second install find what the first install made.
struct DemoNames {
    std::wstring printer;
    std::wstring driver;
    std::wstring description;
    std::wstring portFolder;
    std::wstring port;
    // What start leaves for stop, which runs in another process: the server's
    // port, its state file, its process id and its output.
    std::wstring serverPort;
    std::wstring serverState;
    std::wstring serverId;
    std::wstring serverLog;
};

DemoNames NamesFor(const std::wstring& printer) {
    DemoNames names;
    names.printer = printer;
    names.driver = printer + L" Driver";
    // Model family "qvd", model code "01".
    names.description = L"qvd01-" + Slug(printer) + L".ppd";
    wchar_t data[MAX_PATH] = {};
    DWORD length = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    std::wstring root = length > 0 && length < MAX_PATH ? data : L"C:\\ProgramData";
    names.portFolder = root + L"\\Quorvel";
    names.port = names.portFolder + L"\\" + Slug(printer) + L".prn";
    const std::wstring base = names.portFolder + L"\\" + Slug(printer);
    names.serverPort = base + L"-port.txt";
    names.serverState = base + L"-state.txt";
    names.serverId = base + L"-server.txt";
    names.serverLog = base + L"-server.log";
    return names;
}

void PrintNames(const DemoNames& names, const wchar_t* state) {
    Print(L"printer: " + names.printer + L" (" + state + L")");
    Print(L"driver: " + names.driver + L", data file " + names.description);
    Print(L"port: " + names.port);
}

int Install(const DemoNames& names) {
    if (QvSim::PrinterExists(names.printer)) {
        PrintNames(names, L"already installed");
        return kExitOk;
    }
    QvSim::PrinterDriverSetup driver;
    driver.name = names.driver;
    driver.descriptionFile = names.description;
    driver.dpi = kDemoDpi;
    driver.manufacturer = L"Quorvel";
    driver.hardwareId = L"quorvel_demo_label_printer";
    driver.provider = L"Quorvel";
    std::wstring error;
    // A driver left by an interrupted install is replaced.
    if (!QvSim::InstallPrinterDriver(driver, &error)) {
        return Fail(error);
    }
    // The file port writes into an existing folder only.
    if (!::CreateDirectoryW(names.portFolder.c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return Fail(L"cannot create " + names.portFolder + L" (error " +
                    std::to_wstring(::GetLastError()) + L")");
    }
    QvSim::PrinterSetup printer;
    printer.name = names.printer;
    printer.driverName = names.driver;
    printer.port = names.port;
    printer.comment = L"Demo printer for QuorvelDriverUtility.dll";
    printer.location = L"Wine";
    if (!QvSim::InstallPrinter(printer, &error)) {
        return Fail(error);
    }
    PrintNames(names, L"installed");
    return kExitOk;
}

int SetStatus(const DemoNames& names, const std::wstring& hex) {
    const wchar_t* digits = hex.c_str();
    if (std::wcsncmp(digits, L"0x", 2) == 0 || std::wcsncmp(digits, L"0X", 2) == 0) {
        digits += 2;
    }
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long long status = std::wcstoull(digits, &end, 16);
    if (*digits == L'\0' || *end != L'\0' || errno != 0 || status > 0xFFFFFFFFull ||
        *digits == L'-' || *digits == L'+') {
        PrintError(L"qvdemoprinter: the status wants a 32-bit hexadecimal number, not '" + hex +
                   L"'");
        return kExitUsage;
    }
    if (!QvSim::PrinterExists(names.printer)) {
        return Fail(L"no printer '" + names.printer + L"' (install it first)");
    }
    if (!QvSim::SetPrinterStatusWord(names.printer, static_cast<DWORD>(status))) {
        return Fail(L"cannot write the status of '" + names.printer + L"'");
    }
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(status));
    Print(L"status: " + std::wstring(text));
    return kExitOk;
}

int Label(const DemoNames& names, const std::wstring& module, const std::wstring& portText) {
    wchar_t* end = nullptr;
    unsigned long port = std::wcstoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end != L'\0' || port == 0 || port > 65535) {
        PrintError(L"qvdemoprinter: the port wants a number from 1 to 65535");
        return kExitUsage;
    }
    if (!QvSim::PrinterExists(names.printer)) {
        return Fail(L"no printer '" + names.printer + L"' (install it first)");
    }
    std::wstring error;
    std::wstring copy = QvSim::InstallDalModule(names.printer, module, Slug(names.printer), &error);
    if (copy.empty()) {
        return Fail(error);
    }
    if (!QvSim::FollowXpmlServer(names.printer, static_cast<int32_t>(port))) {
        return Fail(L"cannot set up '" + names.printer + L"' as the label printer");
    }
    Print(L"dal module: " + copy);
    Print(L"xpml server: localhost:" + portText);
    return kExitOk;
}

int Isolation(const DemoNames& names, const std::wstring& mode) {
    if (mode != L"0" && mode != L"1") {
        return Usage();
    }
    if (!QvSim::SetDriverSetting(names.printer, L"DAL", L"Isolation Mode", mode == L"1" ? 1 : 0)) {
        return Fail(L"cannot write the isolation mode of '" + names.printer + L"'");
    }
    Print(L"isolation: " + mode);
    return kExitOk;
}

int Remove(const DemoNames& names) {
    bool existed = QvSim::PrinterExists(names.printer);
    QvSim::ForgetXpmlServer(names.printer);
    ::DeleteFileW(QvSim::DalModuleCopyPath(Slug(names.printer)).c_str());
    QvSim::RemovePrinter(names.printer);
    QvSim::RemovePrinterDriver(names.driver, names.description);
    ::DeleteFileW(names.port.c_str());
    Print(L"printer: " + names.printer + (existed ? L" (removed)" : L" (was not installed)"));
    return kExitOk;
}

// The decimal number a file holds (a port, a process id); 0 when none.
unsigned long ReadNumber(const std::wstring& path) {
    std::ifstream file(path.c_str());
    unsigned long number = 0;
    return file >> number ? number : 0;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// The server start left running for this printer; null when there is none.
// The recorded id is trusted only while it still names a running
// qvxpmlserver.exe: ids are reused once a process has ended.
OKernelHandle RunningServer(const DemoNames& names) {
    const DWORD id = ReadNumber(names.serverId);
    OKernelHandle process(
        id == 0 ? nullptr
                : ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                FALSE, id));
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    const std::wstring server = L"qvxpmlserver.exe";
    if (!process || ::WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT ||
        !::QueryFullProcessImageNameW(process.Get(), 0, image, &length) || length < server.size() ||
        _wcsicmp(image + length - server.size(), server.c_str()) != 0) {
        return OKernelHandle();
    }
    return process;
}

// Starts qvxpmlserver.exe from this program's folder, detached: it outlives
// this run and writes to its log file rather than to a console or to the pipe
// a script reads this program's output from.
DWORD StartServer(const DemoNames& names, unsigned long port, std::wstring* error) {
    const std::wstring command = L"\"" + QvSim::ProgramFolder() + L"qvxpmlserver.exe\" --port " +
                                 std::to_wstring(port) + L" --port-file \"" + names.serverPort +
                                 L"\" --state-file \"" + names.serverState + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    OFileHandle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));
    OFileHandle output(::CreateFileW(names.serverLog.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
    PROCESS_INFORMATION info{};
    std::wstring line = command;
    if (!input || !output ||
        !::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                          DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                          &info)) {
        *error =
            L"cannot start " + command + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return 0;
    }
    ::CloseHandle(info.hThread);
    OKernelHandle process(info.hProcess);
    // The server writes the port file once it listens (through a rename, so
    // a half-written number is never read).
    constexpr ULONGLONG kStartWaitMs = 20000;
    const ULONGLONG deadline = ::GetTickCount64() + kStartWaitMs;
    while (ReadNumber(names.serverPort) == 0 && ::GetTickCount64() < deadline) {
        if (::WaitForSingleObject(process.Get(), 50) == WAIT_OBJECT_0) {
            *error = L"the server ended at once; its output is in " + names.serverLog;
            return 0;
        }
    }
    if (ReadNumber(names.serverPort) == 0) {
        ::TerminateProcess(process.Get(), 1);
        *error = L"the server did not report its port; its output is in " + names.serverLog;
        return 0;
    }
    WriteText(names.serverId, std::to_string(info.dwProcessId));
    return info.dwProcessId;
}

int Start(const DemoNames& names, const std::wstring& portText) {
    wchar_t* end = nullptr;
    const unsigned long asked = std::wcstoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end != L'\0' || asked > 65535) {
        PrintError(L"qvdemoprinter: the port wants a number from 0 (any free port) to 65535");
        return kExitUsage;
    }
    if (RunningServer(names)) {
        Print(L"server: already running (qvdemoprinter stop first)");
        Print(L"server port: " + std::to_wstring(ReadNumber(names.serverPort)));
        return kExitOk;
    }
    int result = Install(names);
    if (result != kExitOk) {
        return result;
    }
    // A state file already there is the engineer's: it is kept.
    if (::GetFileAttributesW(names.serverState.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !WriteText(names.serverState, "status=Ready\r\nseverity=1\r\nflags2=00000000\r\n")) {
        return Fail(L"cannot write " + names.serverState);
    }
    ::DeleteFileW(names.serverPort.c_str());
    std::wstring error;
    const DWORD id = StartServer(names, asked, &error);
    if (id == 0) {
        return Fail(error);
    }
    const std::wstring port = std::to_wstring(ReadNumber(names.serverPort));
    result = Label(names, QvSim::ProgramFolder() + L"qvsimdal.dll", port);
    if (result != kExitOk) {
        return result;
    }
    Print(L"server: qvxpmlserver.exe, process " + std::to_wstring(id) + L", output in " +
          names.serverLog);
    Print(L"state file: " + names.serverState);
    Print(L"server port: " + port);
    return kExitOk;
}

int Stop(const DemoNames& names) {
    OKernelHandle server = RunningServer(names);
    constexpr DWORD kStopWaitMs = 5000;
    if (server && (!::TerminateProcess(server.Get(), 0) ||
                   ::WaitForSingleObject(server.Get(), kStopWaitMs) != WAIT_OBJECT_0)) {
        return Fail(L"cannot end the server (error " + std::to_wstring(::GetLastError()) + L")");
    }
    Print(server ? L"server: stopped" : L"server: was not running");
    for (const std::wstring* file : {&names.serverPort, &names.serverId, &names.serverState}) {
        ::DeleteFileW(file->c_str());
    }
    return Remove(names);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return Usage();
    }
    std::wstring command = argv[1];
    DemoNames names = NamesFor(argv[2]);
    if (names.printer.empty()) {
        return Usage();
    }
    if (command == L"install" && argc == 3) {
        return Install(names);
    }
    if (command == L"set-status" && argc == 4) {
        return SetStatus(names, argv[3]);
    }
    if (command == L"label" && argc == 5) {
        return Label(names, argv[3], argv[4]);
    }
    if (command == L"isolation" && argc == 4) {
        return Isolation(names, argv[3]);
    }
    if (command == L"remove" && argc == 3) {
        return Remove(names);
    }
    if (command == L"start" && (argc == 3 || argc == 4)) {
        return Start(names, argc == 4 ? argv[3] : L"0");
    }
    if (command == L"stop" && argc == 3) {
        return Stop(names);
    }
    return Usage();
}
