// Real processor faults on a guarded thread, and what Handle reports.

#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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
    std::string function;
    int32_t line = 0;
};

class RecordingHandler : public OExceptionHandler {
public:
    // Without forward, the report stops here: no dump.
    RecordingHandler(Outcome& outcome, bool forward)
        : OExceptionHandler("Test::Guarded", kToLastError, nullptr),
          m_outcome(outcome),
          m_forward(forward) {}
    void Handle(OException& e) override {
        m_outcome.code = e.GetCode();
        m_outcome.message = e.GetMessage();
        m_outcome.function = e.GetFunction();
        m_outcome.line = e.GetLine();
        if (e.GetExceptionPointers() != nullptr) {
            m_outcome.faultCode = e.GetExceptionPointers()->ExceptionRecord->ExceptionCode;
        }
        if (m_forward) {
            OExceptionHandler::Handle(e);
            m_outcome.lastError = ::GetLastError();
        }
    }

private:
    Outcome& m_outcome;
    bool m_forward;
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

void RaiseRecord(Outcome&) {
    OException::RaisedErrorRecord& record = OException::RaisedRecord();
    record.line = 42;
    strcpy(record.function, "Raiser::Raise");
    strcpy(record.file, "raiser.cpp");
    strcpy(record.message, "raised on purpose");
    ULONG_PTR parameter = reinterpret_cast<ULONG_PTR>(&record);
    ::RaiseException(OException::kInternalError, 0, 1, &parameter);
}

struct Job {
    Fault fault;
    bool forward;
    Outcome outcome;
};

DWORD WINAPI GuardedThread(void* parameter) {
    auto* job = static_cast<Job*>(parameter);
    RecordingHandler handler(job->outcome, job->forward);
    bool ended = handler.Run([job] { job->fault(job->outcome); });
    return ended ? 0 : 7;
}

// Runs fault on a thread of its own; the thread's exit code is 7 when the
// handler caught something.
Outcome RunGuarded(Fault fault, DWORD& exitCode, bool forward = true) {
    Job job{fault, forward, {}};
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
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    bool read = false;
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    if (view != nullptr && std::memcmp(view, "MDMP", 4) == 0 &&
        ::MiniDumpReadDumpStream(view, ExceptionStream, &directory, &stream, &size)) {
        auto* exception = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream);
        code = exception->ExceptionRecord.ExceptionCode;
        thread = exception->ThreadId;
        read = true;
    }
    if (view != nullptr) {
        ::UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        ::CloseHandle(mapping);
    }
    ::CloseHandle(file);
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

TEST(OExceptionHandler, RaisedErrorRecordGivesFunctionFileAndLine) {
    DWORD exitCode = 0;
    // Not forwarded: its dump would race the other test's for the shared folder.
    Outcome raised = RunGuarded(&RaiseRecord, exitCode, /*forward=*/false);
    EXPECT_EQ(raised.code, OException::kRaisedError);
    EXPECT_EQ(raised.message, "raised on purpose");
    EXPECT_EQ(raised.function, "Raiser::Raise");
    EXPECT_EQ(raised.line, 42);
    EXPECT_EQ(exitCode, 7u);
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

TEST(OException, CodeZeroReportsInternalErrorWithTheSystemText) {
    OException e(0);
    EXPECT_EQ(e.GetErrorCode(), 1359);
    char text[1024];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, 1359, 0, text, sizeof text, nullptr);
    EXPECT_EQ(e.GetMessage(), std::string(text, length));
    EXPECT_EQ(e.GetLine(), -1);
}

TEST(OExceptionHandler, TranslatesFaultCodes) {
    struct Row {
        DWORD exception;
        int32_t code;
        const char* message;  // null: the system's text
    } rows[] = {
        {EXCEPTION_ACCESS_VIOLATION, 487, nullptr},
        {EXCEPTION_IN_PAGE_ERROR, 487, nullptr},
        {EXCEPTION_DATATYPE_MISALIGNMENT, 487, nullptr},
        {EXCEPTION_ILLEGAL_INSTRUCTION, 1359, "Illegal instruction."},
        {EXCEPTION_FLT_DENORMAL_OPERAND, 1359, "Floating point error."},
        {EXCEPTION_FLT_UNDERFLOW, 1359, "Floating point error."},
        {EXCEPTION_INT_DIVIDE_BY_ZERO, 1359, "Division by zero."},
        {EXCEPTION_INT_OVERFLOW, 534, nullptr},
        {EXCEPTION_STACK_OVERFLOW, 1001, nullptr},
        {1359, 1287, nullptr},  // without the record's address
        {0xC0000135, 1287, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.exception);
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = row.exception;
        OExceptionHandler::Translation translation = OExceptionHandler::Translate(record);
        EXPECT_EQ(translation.code, row.code);
        EXPECT_STREQ(translation.message, row.message);
    }
}

}  // namespace
