#include "support/process.h"

#include <thread>

#include "support/files.h"

namespace QvTest {

ProcessResult RunProgram(const std::wstring& commandLine, DWORD waitMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    OKernelHandle readEnd;
    OKernelHandle writeEnd;
    if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) {
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
    BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    ProgramFolder().c_str(), &startup, &info);
    writeEnd.Reset();  // the pipe ends when the child's copy closes
    if (!started) {
        return result;
    }
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
