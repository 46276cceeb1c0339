#include "support/process.h"

#include <string>
#include <thread>

#include "support/files.h"

namespace QvTest {

namespace {
constexpr int kStartAttempts = 3;
}

ProcessResult RunProgram(const std::wstring& commandLine, DWORD waitMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    OKernelHandle readEnd;
    OKernelHandle writeEnd;
    if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) {
        result.startError = ::GetLastError();
        return result;
    }
    ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = writeEnd.Get();
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    // Wine's process creation fails now and then on a loaded machine, when
    // the new process dies before its start-up is done (CreateProcess then
    // answers with that process's exit status); the program never ran, so it
    // is started again, and the failed starts stay in the output.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             ProgramFolder().c_str(), &startup, &info)) {
            break;
        }
        result.startError = ::GetLastError();
        result.output += "start " + std::to_string(attempt) + " failed with error " +
                         std::to_string(result.startError) + "\n";
        if (attempt == kStartAttempts) {
            return result;
        }
        ::Sleep(250);
        line = commandLine;
    }
    writeEnd.Reset();  // the pipe ends when the child's copy closes
    OKernelHandle process(info.hProcess);
    OKernelHandle thread(info.hThread);
    // Ending the program closes its end of the pipe, which ends the reading.
    std::thread limit([&] {
        if (::WaitForSingleObject(process.Get(), waitMs) == WAIT_TIMEOUT) {
            ::TerminateProcess(process.Get(), STILL_ACTIVE);
        }
    });
    char chunk[1024];
    DWORD read = 0;
    while (::ReadFile(readEnd.Get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
        for (DWORD i = 0; i < read; ++i) {
            if (chunk[i] != '\r') {
                result.output += chunk[i];
            }
        }
    }
    limit.join();
    ::WaitForSingleObject(process.Get(), INFINITE);
    ::GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

}  // namespace QvTest
