#pragma once

// Helper programs run beside the test program.

#include <windows.h>

#include <string>

#include "core/handles.h"

namespace QvTest {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;  // when the program could not be started
    DWORD startError = 0;         // why the last start failed, 0 when none did
    std::string output;           // standard output and error, carriage returns removed
};

// Runs a command line in the program folder with its output on a pipe and
// waits up to waitMs for it to end; a program still running then is ended,
// its exit code reading STILL_ACTIVE. A start that fails is tried twice more.
ProcessResult RunProgram(const std::wstring& commandLine, DWORD waitMs = 60000);

}  // namespace QvTest
