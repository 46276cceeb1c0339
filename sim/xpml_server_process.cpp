#include "sim/xpml_server_process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/printer_setup.h"
#include "xpml/http.h"
#include "xpml/xpml_exchange.h"

namespace QvSim {

namespace {

constexpr DWORD kStartWaitMs = 20000;
constexpr DWORD kQuitWaitMs = 3000;
constexpr int32_t kControlTimeoutMs = 5000;

int32_t ReadPort(const std::wstring& file) {
    FILE* stream = _wfopen(file.c_str(), L"rb");
    if (stream == nullptr) {
        return 0;
    }
    char text[32] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stream);
    std::fclose(stream);
    return n > 0 ? std::atoi(text) : 0;
}

}  // namespace

XpmlServerProcess::XpmlServerProcess(const std::wstring& stateFile, int32_t port) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    m_portFile = std::wstring(temp) + L"qvxpmlserver-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + std::to_wstring(reinterpret_cast<uintptr_t>(this)) + L".port";
    DeleteFileW(m_portFile.c_str());
    std::wstring command = L"\"" + ProgramFolder() + L"qvxpmlserver.exe\" --port " +
                           std::to_wstring(port) + L" --port-file \"" + m_portFile + L"\"";
    if (!stateFile.empty()) {
        command += L" --state-file \"" + stateFile + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        m_error = L"cannot start " + command + L" (error " + std::to_wstring(GetLastError()) + L")";
        return;
    }
    CloseHandle(info.hThread);
    m_process.Reset(info.hProcess);
    const ULONGLONG deadline = GetTickCount64() + kStartWaitMs;
    while (m_port == 0 && GetTickCount64() < deadline) {
        if (WaitForSingleObject(m_process.Get(), 20) == WAIT_OBJECT_0) {
            m_error = L"the server ended at once: " + command;
            return;
        }
        m_port = ReadPort(m_portFile);
    }
    if (m_port == 0) {
        m_error = L"the server did not report its port: " + command;
    }
}

XpmlServerProcess::~XpmlServerProcess() {
    if (m_process) {
        if (m_port > 0) {
            Control({{"quit", "1"}});
        }
        if (WaitForSingleObject(m_process.Get(), kQuitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(m_process.Get(), 1);
            WaitForSingleObject(m_process.Get(), kQuitWaitMs);
        }
    }
    DeleteFileW(m_portFile.c_str());
}

std::string XpmlServerProcess::Control(
    const std::vector<std::pair<std::string, std::string>>& settings) const {
    HttpRequest request;
    request.SetMethod("POST");
    request.SetPath("/control");
    for (const auto& [name, value] : settings) {
        // Values are UTF-8, as the form carries them.
        std::wstring wide(value.size(), L'\0');
        wide.resize(static_cast<size_t>(
            MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                wide.data(), static_cast<int>(wide.size()))));
        request.AddField(name.c_str(), OString(wide.c_str()));
    }
    std::unique_ptr<HttpResponse> answer =
        ExchangeXpml(request, "127.0.0.1", m_port, kControlTimeoutMs);
    return answer ? std::string(answer->Body().begin(), answer->Body().end()) : std::string();
}

int64_t XpmlServerProcess::Counter(const char* name) const {
    const std::string counters = Control({});
    const size_t at = counters.find(name);
    return at == std::string::npos ? -1 : std::atoll(counters.c_str() + at + std::strlen(name));
}

}  // namespace QvSim
