// Real processor faults on a guarded thread, and what Handle reports.

#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/minidump.h"

namespace {

// What one guarded thread saw.
struct Outcome {
    int32_t code = 0;
    std::string message;
    DWORD faultCode = 0;
    DWORD lastError = 0;
    bool unwound = false;  // a destructor of the faulting frame ran
};

class RecordingHandler : public OExceptionHandler {
public:
    explicit RecordingHandler(Outcome& outcome)
        : OExceptionHandler("Test::Guarded", kToLastError, nullptr), m_outcome(outcome) {}
    void Handle(OException& e) override {
        m_outcome.code = e.GetCode();
        m_outcome.message = e.GetMessage();
        if (e.GetExceptionPointers() != nullptr) {
            m_outcome.faultCode = e.GetExceptionPointers()->ExceptionRecord->ExceptionCode;
        }
        OExceptionHandler::Handle(e);
        m_outcome.lastError = ::GetLastError();
    }

private:
    Outcome& m_outcome;
};

struct SetOnUnwind {
    bool& flag;
    ~SetOnUnwind() { flag = true; }
};

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

using Fault = void (*)(Outcome&);

void AccessViolation(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    *g_null = 1;
}

void DivideByZero(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    g_zero = 7 / g_zero;
}

struct Job {
    Fault fault;
    Outcome outcome;
};

DWORD WINAPI GuardedThread(void* parameter) {
    auto* job = static_cast<Job*>(parameter);
    RecordingHandler handler(job->outcome);
    bool ended = handler.Run([job] { job->fault(job->outcome); });
    return ended ? 0 : 7;
}

// Runs fault on a thread of its own; the thread's exit code is 7 when the
// handler caught something.
Outcome RunGuarded(Fault fault, DWORD& exitCode) {
    Job job{fault, {}};
    HANDLE thread = ::CreateThread(nullptr, 0, &GuardedThread, &job, 0, nullptr);
    ::WaitForSingleObject(thread, 30000);
    ::GetExitCodeThread(thread, &exitCode);
    ::CloseHandle(thread);
    return job.outcome;
}

std::vector<std::wstring> DumpFiles(const OString& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find =
        ::FindFirstFileW((std::wstring(folder.GetWide()) + L"qvcrash_*.dmp").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(data.cFileName);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return names;
}

// The exception code and thread of a dump, read back through dbghelp.
bool ReadDumpException(const std::wstring& path, DWORD& code, DWORD& thread) {
    OFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    OKernelHandle mapping(
        file ? ::CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr);
    void* view = mapping ? ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    bool read = view != nullptr && std::memcmp(view, "MDMP", 4) == 0 &&
                ::MiniDumpReadDumpStream(view, ExceptionStream, &directory, &stream, &size);
    if (read) {
        code = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord.ExceptionCode;
        thread = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ThreadId;
    }
    if (view != nullptr) {
        ::UnmapViewOfFile(view);
    }
    return read;
}

// One test for both faults: the second falls within a minute of the first,
// so it reaches Handle but writes no dump, and no two test processes race for
// the numbers of the shared dump folder.
TEST(OExceptionHandler, RealFaultsOnAGuardedThreadReachHandleAndTheFirstWritesADump) {
    OString folder = OMiniDump::Instance().GetFolder();
    ASSERT_FALSE(folder.IsEmpty()) << "the common application-data folder";
    std::vector<std::wstring> before = DumpFiles(folder);
    DWORD exitCode = 0;
    Outcome violation = RunGuarded(&AccessViolation, exitCode);
    EXPECT_EQ(exitCode, 7u) << "the thread ended through the handler";
    EXPECT_TRUE(violation.unwound) << "the faulting frame's destructors ran";
    EXPECT_EQ(violation.code, ERROR_INVALID_ADDRESS);
    EXPECT_EQ(violation.faultCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(violation.message, OException::SystemText(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(violation.lastError, static_cast<DWORD>(ERROR_INVALID_ADDRESS)) << "option 8";
    std::vector<std::wstring> after = DumpFiles(folder);
    ASSERT_EQ(after.size(), before.size() + 1) << "one new dump";

    Outcome division = RunGuarded(&DivideByZero, exitCode);
    EXPECT_EQ(exitCode, 7u);
    EXPECT_TRUE(division.unwound);
    EXPECT_EQ(division.code, OException::kInternalError);
    EXPECT_EQ(division.message, "Division by zero.");
    EXPECT_EQ(division.faultCode, static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO));
    EXPECT_EQ(DumpFiles(folder).size(), after.size()) << "no second dump within a minute";

    std::wstring newest;
    for (const std::wstring& name : after) {
        if (std::find(before.begin(), before.end(), name) == before.end()) {
            newest = name;
        }
    }
    DWORD code = 0;
    DWORD thread = 0;
    ASSERT_TRUE(ReadDumpException(std::wstring(folder.GetWide()) + newest, code, thread));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_NE(thread, 0u);
}

struct Outputs {
    static inline int writes = 0;
    static inline int boxes = 0;
    static inline std::string written;
    static BOOL WINAPI WriteFile(HANDLE, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED) {
        ++writes;
        written.assign(static_cast<const char*>(data), size);
        *done = size;
        return TRUE;
    }
    static int WINAPI MessageBox(HWND, LPCWSTR, LPCWSTR, UINT) {
        ++boxes;
        return IDOK;
    }
};

TEST(OExceptionHandler, OptionsChooseTheOutputs) {
    OExceptionHandlerApi api;
    api.writeFile = &Outputs::WriteFile;
    api.messageBox = &Outputs::MessageBox;
    OExceptionHandlerOverride use(api);
    struct Row {
        uint32_t options;
        int writes;
        int boxes;
        const char* note;
    } rows[] = {
        {9, 0, 0, "the close thread's options: event log and last error only"},
        {4, 1, 0, "standard error"},
        {2, 0, 1, "message box"},
        {6, 1, 1, "both"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        Outputs::writes = 0;
        Outputs::boxes = 0;
        OExceptionHandler handler("Test::Options", row.options, nullptr);
        OException e(ERROR_ACCESS_DENIED, " denied \r\n");
        handler.Handle(e);
        EXPECT_EQ(Outputs::writes, row.writes);
        EXPECT_EQ(Outputs::boxes, row.boxes);
    }
    EXPECT_EQ(Outputs::written,
              "+++ diagnostics_wine_tests.exe exception: denied\r\nCaught in [Test::Options]\r\n");
}

}  // namespace
