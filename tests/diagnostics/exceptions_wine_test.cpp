// Real processor faults on a guarded thread, and what Handle reports.

#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "diagnostics/exceptions.h"
#include "diagnostics/minidump.h"
#include "support/files.h"

namespace {

// What one guarded thread saw.
struct Outcome {
    bool caught = false;   // Run reported that the handler ended it
    bool unwound = false;  // a destructor of the faulting frame ran
    int32_t code = 0;
    std::string message;
    DWORD lastError = 0;
    DWORD thread = 0;
};

class RecordingHandler : public OExceptionHandler {
public:
    explicit RecordingHandler(Outcome& outcome)
        : OExceptionHandler("Test::Guarded", kToLastError, nullptr), m_outcome(outcome) {}
    void Handle(OException& e) override {
        m_outcome.code = e.GetCode();
        m_outcome.message = e.GetMessage();
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

// Where the faulting function returns to: the slot holding it is the first
// thing its handler's calls overwrite once the frame has unwound.
void* volatile g_faultReturn = nullptr;

__attribute__((noinline)) void AccessViolation(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    g_faultReturn = __builtin_return_address(0);
    *g_null = 1;
}

void DivideByZero(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    g_zero = 7 / g_zero;
}

Outcome RunGuarded(void (*fault)(Outcome&)) {
    Outcome outcome;
    std::thread([&] {
        outcome.thread = ::GetCurrentThreadId();
        RecordingHandler handler(outcome);
        outcome.caught = !handler.Run([&] { fault(outcome); });
    }).join();
    return outcome;
}

size_t DumpCount(const OString& folder) {
    size_t count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find =
        ::FindFirstFileW((std::wstring(folder.GetWide()) + L"qvcrash_*.dmp").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            ++count;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return count;
}

// Whether the dump of thread's fault, among the folder's, still shows the
// faulting function: the fault's context in it, and the stack above that
// context holding the return address into the function's caller.
::testing::AssertionResult DumpShowsTheFault(const OString& folder, DWORD thread) {
    WIN32_FIND_DATAW data;
    std::wstring pattern = std::wstring(folder.GetWide()) + L"qvcrash_*.dmp";
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
        std::string dump =
            QvTest::ReadWholeFile(std::wstring(folder.GetWide()) + data.cFileName).value_or("");
        void* stream = nullptr;
        ULONG size = 0;
        if (dump.size() < 4 ||
            !::MiniDumpReadDumpStream(dump.data(), ExceptionStream, nullptr, &stream, &size)) {
            continue;
        }
        auto* exception = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream);
        if (exception->ThreadId != thread) {
            continue;
        }
        ::FindClose(find);
        CONTEXT context;
        std::memcpy(&context, dump.data() + exception->ThreadContext.Rva, sizeof context);
        auto start = reinterpret_cast<DWORD64>(&AccessViolation);
        if (context.Rip < start || context.Rip > start + 256) {
            return ::testing::AssertionFailure() << "the context is not the fault's";
        }
        ::MiniDumpReadDumpStream(dump.data(), ThreadListStream, nullptr, &stream, &size);
        auto* threads = static_cast<MINIDUMP_THREAD_LIST*>(stream);
        for (ULONG i = 0; i < threads->NumberOfThreads; ++i) {
            const MINIDUMP_MEMORY_DESCRIPTOR& stack = threads->Threads[i].Stack;
            if (threads->Threads[i].ThreadId != thread || context.Rsp < stack.StartOfMemoryRange) {
                continue;
            }
            uint64_t offset = context.Rsp - stack.StartOfMemoryRange;
            for (uint64_t at = offset; at + 8 <= stack.Memory.DataSize && at < offset + 512;
                 at += 8) {
                void* value = nullptr;
                std::memcpy(&value, dump.data() + stack.Memory.Rva + at, 8);
                if (value == g_faultReturn) {
                    return ::testing::AssertionSuccess();
                }
            }
        }
        return ::testing::AssertionFailure() << "the faulting frame is gone from the stack";
    }
    if (find != INVALID_HANDLE_VALUE) {
        ::FindClose(find);
    }
    return ::testing::AssertionFailure() << "no dump of the faulting thread";
}

// One test for both faults: the second falls within a minute of the first,
// so it reaches Handle but writes no dump, and no two test processes race for
// the numbers of the shared dump folder.
TEST(OExceptionHandler, RealFaultsOnAGuardedThreadReachHandleAndTheFirstWritesADump) {
    OString folder = OMiniDump::Instance().GetFolder();
    ASSERT_FALSE(folder.IsEmpty()) << "the common application-data folder";
    // The folder keeps the newest kMaxFiles: a prefix used before may be full.
    const size_t after = std::min(DumpCount(folder) + 1, OMiniDump::kMaxFiles);
    Outcome violation = RunGuarded(&AccessViolation);
    EXPECT_TRUE(violation.caught && violation.unwound) << "the frame unwound to the handler";
    EXPECT_EQ(violation.code, ERROR_INVALID_ADDRESS);
    EXPECT_EQ(violation.message, OException::SystemText(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(violation.lastError, static_cast<DWORD>(ERROR_INVALID_ADDRESS)) << "option 8";
    EXPECT_EQ(DumpCount(folder), after) << "one new dump";
    EXPECT_TRUE(DumpShowsTheFault(folder, violation.thread));
    Outcome division = RunGuarded(&DivideByZero);
    EXPECT_TRUE(division.caught && division.unwound);
    EXPECT_EQ(division.code, OException::kInternalError);
    EXPECT_EQ(division.message, "Division by zero.");
    EXPECT_EQ(DumpCount(folder), after) << "no second dump within a minute";
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
        int writes, boxes;
        const char* note;
    } rows[] = {
        {9, 0, 0, "the close thread's options: event log and last error only"},
        {4, 1, 0, "standard error"},
        {2, 0, 1, "message box"},
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
