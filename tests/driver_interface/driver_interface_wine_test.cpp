#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "dal/sim_dal_printer.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/exceptions.h"
#include "driver_interface/basic_spooler.h"
#include "driver_interface/di_exports.h"
#include "driver_interface/basic_interface.h"
#include "printer/printer_info.h"
#include "support/files.h"
#include "support/printer_cache.h"
#include "support/process.h"
#include "support/logged_events.h"
#include "support/scratch_registry.h"
#include "support/text.h"
#include "support/wine_printer.h"
#include "sim/dal_module/sim_dal_module.h"

// The resource libraries built beside this program hold 14337 "Papierstau",
// 14351 "Toner/Tinte niedrig", 14359 "Angehalten", 18005 "Bereit" and puiapi
// 300 "Druckbereit"; every other id is absent.

namespace {

using QvTest::LoggedEvents;
using QvTest::ProcessResult;
using QvTest::ProgramFolder;
using QvTest::RunProgram;
using QvTest::ScratchFolder;
using QvTest::TakeBstr;
using QvTest::WinePrinter;

// A real printer opened as a host opens it, and the driver interface on it:
// opened on first use, so that a test can set up its seams first, and closed
// at the end. PrinterInfo keeps the driver part per thread once read, so each
// test starts and ends with a clean cache.
class BasicDriverInterfaceOnPrinter : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    void SetUp() override {
        if (!m_printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << m_printer.Error();
        }
        m_handle = m_printer.Open();
        ASSERT_TRUE(m_handle);
    }
    void TearDown() override {
        if (m_driver != nullptr) {
            DI_Close_impl(m_driver);
        }
    }

    HDRIVERINTERFACE Driver() {
        if (m_driver == nullptr) {
            m_driver = DI_Open_impl(m_handle.Get());
            EXPECT_NE(m_driver, nullptr);
        }
        return m_driver;
    }
    BasicDriverInterface& Basic() {
        return static_cast<BasicDriverInterface&>(*reinterpret_cast<DriverInterface*>(Driver()));
    }

    // Makes the printer a package driver whose configuration module is a copy
    // of the version probe built beside this program ("Quorvel_ConfigModule_",
    // the upper-cased first three characters of the data file, ".dll").
    // Returns the module's path.
    std::wstring InstallProbeAsPackageModule() {
        std::wstring family = m_printer.DataFileName().substr(0, 3);
        for (wchar_t& c : family) {
            c = static_cast<wchar_t>(::towupper(c));
        }
        std::wstring module = m_package.File(L"Quorvel_ConfigModule_" + family + L".dll");
        bool ok = ::CopyFileW((ProgramFolder() + L"\\di_version_probe.dll").c_str(), module.c_str(),
                              FALSE) &&
                  m_printer.SetDataString(L"DriverPackage", m_package.Path());
        return ok ? module : std::wstring();
    }

    WinePrinter m_printer{L"di"};
    ScratchFolder m_package;
    OPrinterHandle m_handle;
    HDRIVERINTERFACE m_driver = nullptr;
};

// MM/dd/yyyy of a file's creation time in UTC, formatted here by hand.
std::wstring CreationDateOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SYSTEMTIME time;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        !::FileTimeToSystemTime(&data.ftCreationTime, &time)) {
        return L"<no time>";
    }
    wchar_t text[16];
    std::swprintf(text, 16, L"%02u/%02u/%04u", time.wMonth, time.wDay, time.wYear);
    return text;
}

// What every export answers, and the last error it leaves, for a handle that
// is no live interface and for a live one whose every operation throws.
void ExpectNeutralResults(HDRIVERINTERFACE handle, bool live) {
    const DWORD memory = live ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE;
    const DWORD other = live ? ERROR_INTERNAL_ERROR : ERROR_INVALID_HANDLE;
    const struct {
        const char* name;
        std::function<bool()> neutral;
        DWORD error;
    } rows[] = {
        {"status text", [&] { return !DI_GetPrinterStatusText_impl(handle); }, memory},
        {"status flags", [&] { return DI_GetPrinterStatusFlags_impl(handle) == 0; }, other},
        {"extended", [&] { return DI_GetPrinterExtendedStatusFlags_impl(handle) == 0; }, memory},
        {"version", [&] { return !DI_GetPrinterDriverVersion_impl(handle); }, other},
        {"date", [&] { return !DI_GetPrinterDriverDate_impl(handle); }, memory},
        {"flags set before a throw do not count",
         [&] { return !DI_IsCommandSupported_impl(handle, 1); }, memory},
        {"has UI", [&] { return !DI_IsCommandUI_impl(handle, 1); }, memory},
        {"command", [&] { return DI_Command_impl(handle, 1), true; }, memory},
        {"command UI", [&] { return DI_CommandUI_impl(handle, ::GetDesktopWindow(), 1), true; },
         memory},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ::SetLastError(ERROR_GEN_FAILURE);
        EXPECT_TRUE(row.neutral());
        EXPECT_EQ(::GetLastError(), row.error);
    }
}

// An interface whose every operation throws, to prove that the shells stop
// anything before it reaches the host.
class ThrowingInterface final : public BasicDriverInterface {
    OString DoGetPrinterStatusText() override { throw std::bad_alloc(); }
    uint32_t DoGetPrinterStatusFlags() override { throw 42; }
    uint32_t DoGetPrinterExtendedStatusFlags() override { throw std::bad_alloc(); }
    OString DoGetPrinterDriverVersion() override { throw std::runtime_error("version"); }
    OString DoGetPrinterDriverDate() override { throw std::bad_alloc(); }
    bool DoPauseJob(uint32_t) override { throw OException(5, "denied"); }
    void DoCommand(int, DriverCommand& record) override {
        record.supported = true;
        record.hasUserInterface = true;
        throw std::bad_alloc();
    }
};

TEST(DriverInterfaceExports, NullHandleOrAnyThrowGivesNeutralResults) {
    // A closed interface's address and a value DI_Open never gave are refused
    // from the address alone: the memory they name is never read.
    DriverInterface* closed = new BasicDriverInterface();
    closed->DeleteThis(DriverInterface::kDeleteMemory);
    for (HDRIVERINTERFACE handle : {HDRIVERINTERFACE{}, reinterpret_cast<HDRIVERINTERFACE>(closed),
                                    reinterpret_cast<HDRIVERINTERFACE>(uintptr_t{0x1234})}) {
        SCOPED_TRACE(reinterpret_cast<uintptr_t>(handle));
        DI_Close_impl(handle);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        ExpectNeutralResults(handle, false);
        EXPECT_FALSE(QVDI_IsAdvanced(handle));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    SCOPED_TRACE("every operation throws");
    LoggedEvents log;
    auto* driver = new ThrowingInterface();
    HDRIVERINTERFACE handle =
        reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(driver));
    ExpectNeutralResults(handle, true);
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE, L"DI_"), 9) << "one line per failed export";
    // The same through the object's slots, as a host of another compiler calls them.
    DriverCommand record;
    record.execute = true;
    driver->Command(1, record);
    EXPECT_FALSE(record.supported || record.hasUserInterface) << "flags set before a throw";
    EXPECT_EQ(driver->GetPrinterStatusFlags(), 0u);
    EXPECT_FALSE(driver->PauseJob(1));
    struct Row {
        const wchar_t* line;
    } rows[] = {
        {L"DriverInterface::Command: stopped an exception: std::bad_alloc"},
        {L"DriverInterface::GetPrinterStatusFlags: stopped an exception of unknown type"},
        {L"DriverInterface::PauseJob: stopped OException 5: denied"},
        {L"DI_GetPrinterDriverVersion: stopped an exception: version"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(OString(row.line).GetNarrow());
        EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE, row.line), 1);
    }
    EXPECT_EQ(driver->DeleteThis(DriverInterface::kDeleteMemory), driver);
}

// A host whose window procedure runs while the interface waits (the DAL
// proxy's waits dispatch messages) and calls the same interface back.
class CallingBack final : public BasicDriverInterface {
public:
    std::vector<uint32_t> nested;
    DWORD nestedError = 0;
    uint32_t otherThread = 0;
    void* deleted = this;

protected:
    uint32_t DoGetPrinterStatusFlags() override { return 7; }
    int DoGetPrinterStatusSeverity() override {
        for (int i = 0; i < 3; ++i) {
            nested.push_back(GetPrinterStatusFlags());
            nested.push_back(DI_GetPrinterStatusFlags_impl(Handle()));
            nestedError = ::GetLastError();
        }
        deleted = DeleteThis(kDeleteMemory);
        // Another thread is not refused (hosts keep to one at a time; this one waits).
        std::thread([this] { otherThread = GetPrinterStatusFlags(); }).join();
        return 3;
    }

private:
    HDRIVERINTERFACE Handle() {
        return reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(this));
    }
};

TEST(DriverInterfaceGuard, ANestedCallOnTheSameThreadGetsTheNeutralAnswerAtOnce) {
    LoggedEvents log;
    auto* driver = new CallingBack();
    for (int episode = 0; episode < 2; ++episode) {
        SCOPED_TRACE(episode);
        driver->nested.clear();
        EXPECT_EQ(driver->GetPrinterStatusSeverity(), 3);
        EXPECT_EQ(driver->nested, std::vector<uint32_t>(6, 0u)) << "refused, neutral 0";
        EXPECT_EQ(driver->nestedError, static_cast<DWORD>(ERROR_BUSY));
        EXPECT_EQ(driver->deleted, nullptr) << "not destroyed under its own call";
        EXPECT_EQ(driver->otherThread, 7u);
        EXPECT_EQ(driver->GetPrinterStatusFlags(), 7u) << "answered again after the call";
    }
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_WARNING_TYPE, L"refused"), 1) << "once per interface";
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE, L""), 0);
    DI_Close_impl(reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(driver)));
}

// A host's use after close must not drive the next interface: no handle is
// given out twice, so every stale one is refused.
TEST(DriverInterfaceExports, AClosedHandleNeverNamesALaterInterface) {
    WinePrinter first(L"reuse1"), second(L"reuse2");
    QV_SKIP_WITHOUT_PRINTER(first);
    QV_SKIP_WITHOUT_PRINTER(second);
    OPrinterHandle printers[] = {first.Open(), second.Open()};
    std::set<HDRIVERINTERFACE> closed;
    for (int round = 0; round < 1000; ++round) {
        HDRIVERINTERFACE handle = DI_Open_impl(printers[round % 2].Get());
        ASSERT_NE(handle, nullptr);
        EXPECT_TRUE(closed.insert(handle).second) << "handle given out again at round " << round;
        DI_Close_impl(handle);
    }
    for (HDRIVERINTERFACE handle : closed) {
        EXPECT_FALSE(QVDI_IsAdvanced(handle));
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

// A destructor that dispatches messages (a DAL proxy given time to leave)
// lets a window procedure close the interface again: refused, destroyed once.
class ClosingAgain final : public BasicDriverInterface {
public:
    static inline int destroyed = 0;
    static inline DWORD nestedError = 0;
    ~ClosingAgain() override {
        ++destroyed;
        DI_Close_impl(reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(this)));
        nestedError = ::GetLastError();
    }
};

TEST(DriverInterfaceGuard, ACloseFromInsideTheDestructorIsRefused) {
    auto* driver = new ClosingAgain();
    DI_Close_impl(reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(driver)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ClosingAgain::destroyed, 1);
    EXPECT_EQ(ClosingAgain::nestedError, static_cast<DWORD>(ERROR_BUSY));
}

// A DAL module that lets a C++ exception escape its action or its close: the
// host gets the neutral answer, keeps running, and each failure is one line.
TEST(DriverInterfaceGuard, AThrowingDalModuleNeitherReachesTheHostNorEndsIt) {
    using QvTest::SimDalPrinter;
    SimDalPrinter printer(L"throw", L"qvsimdal");
    if (!printer.Ok()) {
        GTEST_SKIP() << "no Wine printer";
    }
    ASSERT_TRUE(printer.SetIsolation(0));
    OPrinterHandle handle = printer.Open();
    LoggedEvents log;
    HDRIVERINTERFACE driverHandle = DI_Open_impl(handle.Get());
    auto* driver = reinterpret_cast<DriverInterface*>(driverHandle);
    ASSERT_TRUE(driver->IsAdvanced());
    DriverCommand record;
    record.execute = true;
    driver->Command(QvSimDal::kActionThrow, record);
    EXPECT_FALSE(record.supported);
    DI_Command_impl(driverHandle, QvSimDal::kActionThrow);
    EXPECT_TRUE(DI_IsCommandSupported_impl(driverHandle, QvSimDal::kActionThrow)) << "still usable";
    DI_Command_impl(driverHandle, QvSimDal::kActionThrowOnClose);
    DI_Close_impl(driverHandle);
    const std::wstring action = L": stopped an exception: the simulated DAL action threw";
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE, L"DriverInterface::Command" + action), 1);
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE, L"DI_Command" + action), 1);
    EXPECT_EQ(LoggedEvents::Count(EVENTLOG_ERROR_TYPE,
                                  L"AdvancedDriverInterface::~AdvancedDriverInterface: stopped an "
                                  L"exception: the simulated DAL close threw"),
              1);
}

TEST(DriverInterfaceOpen, DalValueChoosesTheAdvancedInterface) {
    struct Row {
        const wchar_t* value;  // printer data value written, or null
        size_t length;         // characters of the value's text
        bool advanced;
        const char* note;
    } rows[] = {
        {L"DAL Interface V3", 12, true, "the current value"},
        {L"DAL Interface", 12, true, "only the older value"},
        {nullptr, 0, false, "neither value"},
        {L"DAL Interface V3", 400, false,
         "a value longer than the 520-byte buffer: no module path can be read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        WinePrinter printer(L"dal");
        if (!printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << printer.Error();
        }
        if (row.value != nullptr) {
            ASSERT_TRUE(printer.SetDataString(row.value, std::wstring(row.length, L'm')));
        }
        OPrinterHandle handle = printer.Open();
        ASSERT_TRUE(handle);
        HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(reinterpret_cast<DriverInterface*>(driver)->IsAdvanced(), row.advanced);
        // Both kinds answer the spooler's status until the advanced interface
        // has its own monitoring.
        ASSERT_TRUE(printer.SetStatus(0x81));
        EXPECT_EQ(DI_GetPrinterStatusFlags_impl(driver), 0x81u);
        DI_Close_impl(driver);
        // The host's printer handle is still open after DI_Close.
        DWORD needed = 0;
        ::GetPrinterW(handle.Get(), 6, nullptr, 0, &needed);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

// The texts of each status word and its severity are checked in
// printer_status_test.cpp; here only that the word comes from the spooler and
// the texts from the resource libraries.
TEST_F(BasicDriverInterfaceOnPrinter, StatusWordsThroughTheRegistry) {
    struct Row {
        DWORD status;
        const wchar_t* text;
        unsigned long extended;
        const char* note;
    } rows[] = {
        {0x0, L"Druckbereit", 0, "ready: puiapi.dll's text first"},
        {0x4, L"(null)", 0, "pending deletion: empty text, null BSTR"},
        {0x20000, L"Toner/Tinte niedrig", 0x40000000, "a warning"},
        {0x11, L"Angehalten, Out of Paper", 0x80000000, "localised and fallback texts mixed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(m_printer.SetStatus(row.status));
        ::SetLastError(ERROR_GEN_FAILURE);
        EXPECT_EQ(DI_GetPrinterStatusFlags_impl(Driver()), row.status);
        EXPECT_EQ(::GetLastError(), 0u) << "a read, even of 0 flags";
        EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(Driver())), row.text);
        EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(Driver()), row.extended);
    }
}

TEST(DriverInterfaceExports, AFailedStatusReadLeavesTheSpoolersError) {
    HDRIVERINTERFACE driver = DI_Open_impl(nullptr);
    EXPECT_EQ(::GetLastError(), 0u);
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(driver), 0u);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "GetPrinter's own";
    DI_Close_impl(driver);
    EXPECT_EQ(::GetLastError(), 0u);
}

TEST(BasicDriverInterfaceStatus, ReadyTextFallsBackLibraryByLibrary) {
    // puiapi.dll missing: printui.dll's 18005; both missing: "Ready".
    EXPECT_STREQ(
        BasicDriverInterface::FormatStatusWord(0, {L"printui.dll", L"di_no_such_puiapi.dll"})
            .GetNarrow(),
        "Bereit");
    EXPECT_STREQ(BasicDriverInterface::FormatStatusWord(
                     0, {L"di_no_such_printui.dll", L"di_no_such_puiapi.dll"})
                     .GetNarrow(),
                 "Ready");
}

// Wine's EnumJobsW never lists a job: this one lists a single job whose status
// string is g_jobStatus (null when g_jobHasStatus is false).
std::wstring g_jobStatus;
bool g_jobHasStatus = true;
int g_enumCalls = 0;
DWORD g_arrivesAfterFirstCall = 0;  // bytes another job adds once the first call is made

BOOL WINAPI EnumOneJob(HANDLE, DWORD first, DWORD count, DWORD level, LPBYTE jobs, DWORD size,
                       LPDWORD needed, LPDWORD returned) {
    DWORD want = sizeof(JOB_INFO_2W) +
                 static_cast<DWORD>((g_jobStatus.size() + 1) * sizeof(wchar_t)) +
                 (g_enumCalls > 0 ? g_arrivesAfterFirstCall : 0);
    ++g_enumCalls;
    *needed = want;
    *returned = 0;
    if (first != 0 || count == 0 || level != 2) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (jobs == nullptr || size < want) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(jobs, 0, want);
    auto* job = reinterpret_cast<JOB_INFO_2W*>(jobs);
    auto* text = reinterpret_cast<wchar_t*>(jobs + sizeof(JOB_INFO_2W));
    std::memcpy(text, g_jobStatus.c_str(), (g_jobStatus.size() + 1) * sizeof(wchar_t));
    job->JobId = 7;
    job->pStatus = g_jobHasStatus ? text : nullptr;
    *returned = 1;
    return TRUE;
}

TEST_F(BasicDriverInterfaceOnPrinter, FirstJobStatusWinsOverTheStatusWord) {
    ASSERT_TRUE(m_printer.SetStatus(0x8));
    BasicSpooler spooler;
    spooler.enumJobs = &EnumOneJob;
    ScopedBasicSpooler scoped(spooler);

    g_jobStatus = L"Ribbon low (port monitor)";
    g_jobHasStatus = true;
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(Driver())), L"Ribbon low (port monitor)");

    // A long status, and a job arriving between the size query and the read:
    // the read is short again and is asked once more with the new size.
    g_jobStatus = std::wstring(300, L'x');
    g_arrivesAfterFirstCall = 64;
    g_enumCalls = 0;
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(Driver())), g_jobStatus);
    EXPECT_EQ(g_enumCalls, 3) << "short, short again after the arrival, then the read";
    g_arrivesAfterFirstCall = 0;
    // Flags still come from the status word.
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(Driver()), 0x8u);

    g_jobHasStatus = false;
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(Driver())), L"Papierstau");
    g_jobHasStatus = true;
    g_jobStatus.clear();
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(Driver())), L"Papierstau");
}

// Job writes: Wine's SetJobW level 2 brings its spooler down, so the write is
// recorded instead; the read goes to Wine's GetJobW on a real open job.
struct SetJobCall {
    DWORD jobId;
    DWORD level;
    DWORD command;
    bool hasInfo;
    DWORD priority;
    DWORD startTime;
    DWORD untilTime;
    DWORD position;
    std::wstring document;
};
std::vector<SetJobCall> g_setJobCalls;

BOOL WINAPI RecordSetJob(HANDLE, DWORD jobId, DWORD level, LPBYTE info, DWORD command) {
    SetJobCall call{jobId, level, command, info != nullptr, 0, 0, 0, 0, L""};
    if (info != nullptr && level == 2) {
        const auto* job = reinterpret_cast<const JOB_INFO_2W*>(info);
        call.priority = job->Priority;
        call.position = job->Position;
        call.startTime = job->StartTime;
        call.untilTime = job->UntilTime;
        call.document = job->pDocument != nullptr ? job->pDocument : L"";
    }
    g_setJobCalls.push_back(call);
    return TRUE;
}

TEST_F(BasicDriverInterfaceOnPrinter, JobControlCodesAndReadModifyWrite) {
    BasicSpooler spooler;
    spooler.setJob = &RecordSetJob;
    ScopedBasicSpooler scoped(spooler);
    g_setJobCalls.clear();
    BasicDriverInterface& driver = Basic();

    // JOB_CONTROL_PAUSE 1, RESUME 2, DELETE 5, RESTART 4; a missing job is not written.
    EXPECT_TRUE(driver.PauseJob(11) && driver.ResumeJob(12) && driver.DeleteJob(13) &&
                driver.RestartJob(14));
    EXPECT_FALSE(driver.SetJobPriority(999999, 5));
    ASSERT_EQ(g_setJobCalls.size(), 4u);
    const DWORD codes[] = {1, 2, 5, 4};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_setJobCalls[i].jobId, 11 + i);
        EXPECT_EQ(g_setJobCalls[i].command, codes[i]);
        EXPECT_FALSE(g_setJobCalls[i].hasInfo);
    }
    g_setJobCalls.clear();
    DOC_INFO_1W doc = {};
    doc.pDocName = const_cast<LPWSTR>(L"priority probe");
    DWORD job = ::StartDocPrinterW(m_handle.Get(), 1, reinterpret_cast<LPBYTE>(&doc));
    ASSERT_NE(job, 0u);
    EXPECT_TRUE(driver.SetJobPriority(job, 42));
    EXPECT_TRUE(driver.SetJobStartTime(job, 90));
    EXPECT_TRUE(driver.SetJobUntilTime(job, 1439));
    ::EndDocPrinter(m_handle.Get());
    ASSERT_EQ(g_setJobCalls.size(), 3u);
    for (const SetJobCall& call : g_setJobCalls) {
        EXPECT_EQ(call.jobId, job);
        EXPECT_EQ(call.level, 2u);
        EXPECT_EQ(call.command, 0u);
        EXPECT_EQ(call.document, L"priority probe")
            << "the rest of the job is written back as read";
        EXPECT_EQ(call.position, static_cast<DWORD>(JOB_POSITION_UNSPECIFIED))
            << "but not its place in the queue, which may have changed since";
    }
    EXPECT_EQ(g_setJobCalls[0].priority, 42u);
    EXPECT_EQ(g_setJobCalls[1].startTime, 90u);
    EXPECT_EQ(g_setJobCalls[2].untilTime, 1439u);
}

// The flat exports on a basic interface: an answer leaves 0, what needs a DAL
// module says it is not supported, and a failed Windows call leaves its code.
TEST_F(BasicDriverInterfaceOnPrinter, FlatExportsSayWhyTheyFailed) {
    HDRIVERINTERFACE driver = Driver();
    unsigned long size = 8;
    const struct {
        const char* name;
        std::function<bool()> neutral;
        DWORD error;
    } rows[] = {
        {"answer", [&] { return !QVDI_IsAdvanced(driver); }, ERROR_SUCCESS},
        {"severity", [&] { return QVDI_GetPrinterStatusSeverity(driver) == 1; }, ERROR_SUCCESS},
        {"settings", [&] { return !QVDI_ImportSettings(driver, L"C:\\s.xml", 0); },
         ERROR_NOT_SUPPORTED},
        {"job text", [&] { return !QVDI_GetJobStatusText(driver, 1); }, ERROR_NOT_SUPPORTED},
        {"query status", [&] { return QVDI_GetDalQueryStatus(driver, L"q") == 0; },
         ERROR_NOT_SUPPORTED},
        {"response", [&] { return !QVDI_GetDalQueryResponse(driver, L"q", nullptr, &size); },
         ERROR_NOT_SUPPORTED},
        {"no data", [&] { return !QVDI_SendDalQuery(driver, nullptr, 4, L"q", 0, 0, 0); },
         ERROR_INVALID_PARAMETER},
        {"file", [&] { return !QVDI_SendFile(driver, L"C:\\no\\such.prn", nullptr); },
         ERROR_PATH_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ::SetLastError(ERROR_GEN_FAILURE);
        EXPECT_TRUE(row.neutral());
        EXPECT_EQ(::GetLastError(), row.error);
    }
    BasicSpooler spooler;
    spooler.setJob = [](HANDLE, DWORD, DWORD, LPBYTE, DWORD) -> BOOL {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    ScopedBasicSpooler scoped(spooler);
    EXPECT_FALSE(QVDI_PauseJob(driver, 7));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the spooler's own";
}

TEST_F(BasicDriverInterfaceOnPrinter, VersionAndDateFallBackToTheConfigurationModule) {
    std::wstring module = InstallProbeAsPackageModule();
    ASSERT_FALSE(module.empty());
    // The probe's first translation (German) has no ProductVersion; the second
    // (English) has 7.20.3.15, the third 9.9.9.9.
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverVersion_impl(Driver())), L"7.20.3.15");
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverDate_impl(Driver())), CreationDateOf(module));
}

TEST(BasicDriverInterfaceVersion, VersionResourceWalksTranslationsInOrder) {
    struct Row {
        std::wstring file;
        const char* name;
        const char* expected;
        const char* note;
    } rows[] = {
        {L"di_version_probe.dll", "ProductVersion", "7.20.3.15", "the second translation has it"},
        {L"di_version_probe.dll", "FileDescription", "Konfigurationsmodul",
         "the first translation has it"},
        {L"di_version_probe.dll", "CompanyName", "", "no translation has it"},
        {L"di_no_such_module.dll", "ProductVersion", "", "a missing file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString path((ProgramFolder() + L"\\" + row.file).c_str());
        EXPECT_STREQ(BasicDriverInterface::ReadVersionString(path, OString(row.name)).GetNarrow(),
                     row.expected);
    }
}

// The page itself is tested with the printing contexts; here only which
// commands exist and that both reach the printer.
TEST_F(BasicDriverInterfaceOnPrinter, TestPageAndEmptyPage) {
    for (int command : {0, 1, 2, 3, -1, 1000}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(DI_IsCommandSupported_impl(Driver(), command), command == 1 || command == 2);
        EXPECT_FALSE(DI_IsCommandUI_impl(Driver(), command)) << "the basic interface has no UI";
    }
    DI_Command_impl(Driver(), 3);
    EXPECT_TRUE(m_printer.ReadOutput().empty()) << "asking and unsupported commands print nothing";
    DI_Command_impl(Driver(), 2);
    std::string empty = m_printer.ReadOutput();
    m_printer.ClearOutput();
    // The window comes first; a swapped call would ask for command 0 and print nothing.
    DI_CommandUI_impl(Driver(), ::GetDesktopWindow(), 1);
    EXPECT_GT(m_printer.ReadOutput().size(), empty.size()) << "the test page draws, 2 is empty";
    EXPECT_FALSE(empty.empty());
}

// The odometer's record and its size rules are tested with the odometer; here
// only that the interface reads and writes the printer's own counters.
TEST_F(BasicDriverInterfaceOnPrinter, OdometerGoesToThePrintersData) {
    DriverInterface& driver = *reinterpret_cast<DriverInterface*>(Driver());
    OdometerData written;
    written.SetPages(1234);
    written.SetDistance(56.75);
    driver.SetOdometer(written);
    DWORD pages = 0, type = 0, needed = 0;
    ASSERT_EQ(::GetPrinterDataExW(m_handle.Get(), L"Trevamark", L"Odometer Pages", &type,
                                  reinterpret_cast<LPBYTE>(&pages), sizeof pages, &needed),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(pages, 1234u);
    EXPECT_EQ(driver.GetOdometer().GetDistance(), 56.75);
}

TEST_F(BasicDriverInterfaceOnPrinter, SendFileMakesTheFileBytesOneJob) {
    // 3000 bytes: more than one 1024-byte stream buffer, every byte value.
    std::string content;
    for (int i = 0; i < 3000; ++i) {
        content += static_cast<char>(i * 7 % 256);
    }
    ASSERT_TRUE(QvTest::WriteWholeFile(m_package.File(L"label.prn"), content));
    EXPECT_TRUE(Basic().SendFile(OString(m_package.File(L"label.prn").c_str()), OString()));
    EXPECT_EQ(m_printer.ReadOutput(), content);
    EXPECT_FALSE(Basic().SendFile(OString(m_package.File(L"missing.prn").c_str()), OString()));
}

// Most label programs are built with Microsoft's compiler and hold the handle
// as a DriverInterface pointer: every plain slot must answer through the
// object as through the exports, and delete must reach the library.
TEST_F(BasicDriverInterfaceOnPrinter, MsvcHostCallsTheSlotsThroughTheObject) {
    std::wstring host = ProgramFolder() + L"\\msvc_vtable_host.exe";
    ASSERT_NE(::GetFileAttributesW(host.c_str()), INVALID_FILE_ATTRIBUTES)
        << "not built: scripts/setup installs clang and lld";
    ASSERT_TRUE(m_printer.SetStatus(0x8));
    ProcessResult run = RunProgram(L"\"" + host + L"\" " + m_printer.Name());
    EXPECT_EQ(run.exitCode, 0u) << "the number of the first check that failed";
    EXPECT_FALSE(m_printer.ReadOutput().empty()) << "command 1 printed no test page";
    QvTest::SimDalPrinter throwing(L"msvc", L"qvsimdal");
    ASSERT_TRUE(throwing.Ok() && throwing.SetIsolation(0));
    run = RunProgram(L"\"" + host + L"\" throw " + throwing.Printer().Name());
    EXPECT_EQ(run.exitCode, 0u) << "a module's throw through the slots and entry 0";
}

}  // namespace

// The README's example, built by g++ and for the MSVC ABI, answers as the
// exports do.
TEST_F(BasicDriverInterfaceOnPrinter, ReadmeExampleRunsFromBothToolchains) {
    ASSERT_TRUE(m_printer.SetStatus(PRINTER_STATUS_PAPER_JAM));
    const std::string date = QvTest::N(TakeBstr(DI_GetPrinterDriverDate_impl(Driver())));
    std::string first;
    for (const wchar_t* name : {L"host_status_gnu.exe", L"host_status_msvc.exe"}) {
        SCOPED_TRACE(QvTest::N(name));
        const std::wstring host = ProgramFolder() + L"\\" + name;
        ASSERT_NE(::GetFileAttributesW(host.c_str()), INVALID_FILE_ATTRIBUTES) << "not built";
        ProcessResult run = RunProgram(L"\"" + host + L"\" \"" + m_printer.Name() + L"\"");
        ASSERT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_NE(run.output.find("flags: 0x00000008\n"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("provenance 9: spooler"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("driver date: " + date + "\n"), std::string::npos) << run.output;
        EXPECT_EQ(first.empty() ? run.output : first, run.output) << "the two builds differ";
        first = run.output;
    }
}
