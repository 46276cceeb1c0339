#pragma once

// Helper programs run beside the test program, held by the product's owners.

#include <windows.h>

#include <string>

#include "core/handles.h"

namespace QvTest {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;  // when the program could not be started
    std::string output;           // standard output and error, carriage returns removed
};

// Runs a command line in the program folder with its output on a pipe and
// waits up to a minute for it to end.
ProcessResult RunProgram(const std::wstring& commandLine);

// A program of the program folder running beside the test; terminated when
// the object goes if it has not ended within ten seconds.
class ChildProcess {
public:
    ChildProcess(const std::wstring& program, const std::wstring& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // 0 when the program started, else GetLastError of the attempt.
    DWORD StartError() const { return m_startError; }
    HANDLE Handle() const { return m_process.Get(); }
    // The exit code, or STILL_ACTIVE when it has not ended within waitMs.
    DWORD WaitExit(DWORD waitMs = 10000);

private:
    OKernelHandle m_process;
    DWORD m_startError = 0;
};

}  // namespace QvTest
