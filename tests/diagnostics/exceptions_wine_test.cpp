// Real processor faults on a guarded thread, and what Handle reports.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "diagnostics/exceptions.h"
#include "diagnostics/minidump.h"

namespace {

// What one guarded thread saw.
struct Outcome {
    bool caught = false;   // Run reported that the handler ended it
    bool unwound = false;  // a destructor of the faulting frame ran
    int32_t code = 0;
    std::string message;
    DWORD lastError = 0;
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

void AccessViolation(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    *g_null = 1;
}

void DivideByZero(Outcome& outcome) {
    SetOnUnwind guard{outcome.unwound};
    g_zero = 7 / g_zero;
}

Outcome RunGuarded(void (*fault)(Outcome&)) {
    Outcome outcome;
    std::thread([&] {
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

// One test for both faults: the second falls within a minute of the first,
// so it reaches Handle but writes no dump, and no two test processes race for
// the numbers of the shared dump folder.
TEST(OExceptionHandler, RealFaultsOnAGuardedThreadReachHandleAndTheFirstWritesADump) {
    OString folder = OMiniDump::Instance().GetFolder();
    ASSERT_FALSE(folder.IsEmpty()) << "the common application-data folder";
    size_t before = DumpCount(folder);
    Outcome violation = RunGuarded(&AccessViolation);
    EXPECT_TRUE(violation.caught && violation.unwound) << "the frame unwound to the handler";
    EXPECT_EQ(violation.code, ERROR_INVALID_ADDRESS);
    EXPECT_EQ(violation.message, OException::SystemText(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(violation.lastError, static_cast<DWORD>(ERROR_INVALID_ADDRESS)) << "option 8";
    EXPECT_EQ(DumpCount(folder), before + 1) << "one new dump";
    Outcome division = RunGuarded(&DivideByZero);
    EXPECT_TRUE(division.caught && division.unwound);
    EXPECT_EQ(division.code, OException::kInternalError);
    EXPECT_EQ(division.message, "Division by zero.");
    EXPECT_EQ(DumpCount(folder), before + 1) << "no second dump within a minute";
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
