#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#define QV_NO_PROTOTYPES
#include "quorvel_driver_utility.h"

#include "driver_interface/basic_spooler.h"
#include "driver_interface/di_exports.h"
#include "driver_interface/driver_interface.h"
#include "printer/printer_info.h"
#include "support/wine_printer.h"

// Conformance tests of the driver interface on real Wine printers. The status
// word is written to the printer's registry key, the localised texts come from
// the resource-only printui.dll / puiapi.dll built beside this program (their
// texts: 14337 "Papierstau", 14341 "Offline-Betrieb", 14351 "Toner/Tinte
// niedrig", 14359 "Angehalten", 18003 "Fehler", 18005 "Bereit", puiapi 300
// "Druckbereit"; every other id is absent). Only what Wine cannot produce goes
// through a seam: queued jobs and their status strings, job writes, and a
// non-zero driver version and date.

namespace {

using QvTest::WinePrinter;

// Libraries that do not exist, so every text is its English fallback.
const StatusTextLibraries kNoLibraries{L"di_no_such_printui.dll", L"di_no_such_puiapi.dll"};

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

// The BSTR's text, then frees it; "<null>" for a null BSTR.
std::string TakeBstr(BSTR text) {
    if (text == nullptr) {
        return "<null>";
    }
    std::string out = Narrow(text);
    ::SysFreeString(text);
    return out;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// A fresh folder under the temp folder, removed with its files.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + WinePrinter::UniqueName(L"pkg");
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchFolder() {
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                ::DeleteFileW((m_path + L"\\" + found.cFileName).c_str());
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(m_path.c_str());
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

// The configuration module a package driver names: "Quorvel_ConfigModule_",
// the upper-cased first three characters of the data file, ".dll".
std::wstring PackageModuleName(const WinePrinter& printer) {
    std::wstring family = printer.DataFileName().substr(0, 3);
    for (wchar_t& c : family) {
        c = static_cast<wchar_t>(::towupper(c));
    }
    return L"Quorvel_ConfigModule_" + family + L".dll";
}

// Makes the printer a package driver whose configuration module is a copy of
// the version probe built beside this program. Returns the module's path.
std::wstring InstallProbeAsPackageModule(const WinePrinter& printer, const ScratchFolder& folder) {
    std::wstring module = folder.Path() + L"\\" + PackageModuleName(printer);
    if (!::CopyFileW((ProgramFolder() + L"\\di_version_probe.dll").c_str(), module.c_str(),
                     FALSE) ||
        !printer.SetDataString(L"DriverPackage", folder.Path())) {
        return std::wstring();
    }
    return module;
}

// MM/dd/yyyy of a file's creation time in UTC, formatted here by hand.
std::string CreationDateOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SYSTEMTIME time;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        !::FileTimeToSystemTime(&data.ftCreationTime, &time)) {
        return "<no time>";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02u/%02u/%04u", time.wMonth, time.wDay, time.wYear);
    return text;
}

// PrinterInfo keeps the driver part per thread once read; each test that
// changes driver facts starts and ends with a clean cache.
class BasicDriverInterfaceDriverFacts : public ::testing::Test {
protected:
    void SetUp() override { PrinterInfoCache::ClearThisThread(); }
    void TearDown() override { PrinterInfoCache::ClearThisThread(); }
};

TEST(DriverInterfaceExports, NullHandleGivesNeutralResults) {
    HWND window = ::GetDesktopWindow();
    DI_Close_impl(nullptr);
    DI_Command_impl(nullptr, 1);
    DI_CommandUI_impl(nullptr, window, 1);
    EXPECT_FALSE(DI_IsCommandSupported_impl(nullptr, 1));
    EXPECT_FALSE(DI_IsCommandUI_impl(nullptr, 1));
    EXPECT_EQ(DI_GetPrinterStatusText_impl(nullptr), nullptr);
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(nullptr), 0u);
    EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(nullptr), 0u);
    EXPECT_EQ(DI_GetPrinterDriverVersion_impl(nullptr), nullptr);
    EXPECT_EQ(DI_GetPrinterDriverDate_impl(nullptr), nullptr);
}

TEST(DriverInterfaceExports, NullPrinterGetsAReadyBasicInterface) {
    // No printer data can be read from a null printer, so the choice falls
    // to the basic interface, whose spooler calls all fail: ready, 0, no jobs.
    HDRIVERINTERFACE handle = DI_Open_impl(nullptr);
    ASSERT_NE(handle, nullptr);
    auto* driver = reinterpret_cast<DriverInterface*>(handle);
    EXPECT_FALSE(driver->IsAdvanced());
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(handle), 0u);
    EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(handle), 0u);
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(handle)), "Druckbereit");
    EXPECT_TRUE(DI_IsCommandSupported_impl(handle, 1));
    OdometerData odometer = driver->GetOdometer();
    EXPECT_EQ(odometer.GetPages(), 0u);
    EXPECT_EQ(odometer.GetDistance(), 0.0);
    DI_Close_impl(handle);
}

// An interface whose every operation throws, to prove that the shells stop
// anything before it reaches the host.
class ThrowingInterface : public DriverInterface {
public:
    void SetPrinterHandle(HANDLE) override {}
    OString GetPrinterStatusText() override { throw std::bad_alloc(); }
    uint32_t GetPrinterStatusFlags() override { throw 42; }
    uint32_t GetPrinterExtendedStatusFlags() override { throw std::bad_alloc(); }
    OString GetPrinterDriverVersion() override { throw std::runtime_error("version"); }
    OString GetPrinterDriverDate() override { throw std::bad_alloc(); }
    void Command(int, DriverCommand& record) override {
        record.supported = true;
        record.hasUserInterface = true;
        throw std::bad_alloc();
    }
    OdometerData GetOdometer() override { return OdometerData(); }
    void SetOdometer(const OdometerData&) override {}
};

TEST(DriverInterfaceExports, WhateverEscapesGivesTheNullHandleResult) {
    ThrowingInterface driver;
    auto handle = reinterpret_cast<HDRIVERINTERFACE>(static_cast<DriverInterface*>(&driver));
    EXPECT_EQ(DI_GetPrinterStatusText_impl(handle), nullptr);
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(handle), 0u);
    EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(handle), 0u);
    EXPECT_EQ(DI_GetPrinterDriverVersion_impl(handle), nullptr);
    EXPECT_EQ(DI_GetPrinterDriverDate_impl(handle), nullptr);
    EXPECT_FALSE(DI_IsCommandSupported_impl(handle, 1))
        << "flags set before the throw do not count";
    EXPECT_FALSE(DI_IsCommandUI_impl(handle, 1));
    DI_Command_impl(handle, 1);
    DI_CommandUI_impl(handle, nullptr, 1);
}

TEST(DriverInterfaceOpen, DalValueChoosesTheAdvancedInterface) {
    struct Row {
        const wchar_t* tag;
        const wchar_t* value;  // printer data value written, or null
        size_t length;         // characters of the value's text
        bool advanced;
        const char* note;
    };
    static const Row rows[] = {
        {L"dalv3", L"DAL Interface V3", 12, true, "the current value"},
        {L"dal", L"DAL Interface", 12, true, "only the older value"},
        {L"nodal", nullptr, 0, false, "neither value"},
        {L"dallong", L"DAL Interface V3", 400, true, "a value longer than the 520-byte buffer"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        WinePrinter printer(row.tag);
        if (!printer.Ok()) {
            GTEST_SKIP() << Narrow(printer.Error().c_str());
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

TEST(BasicDriverInterfaceStatus, StatusWordsThroughTheRegistry) {
    WinePrinter printer(L"status");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);
    auto* basic = static_cast<BasicDriverInterface*>(reinterpret_cast<DriverInterface*>(driver));

    struct Row {
        DWORD status;
        const char* localised;  // with the libraries beside this program
        const char* english;    // with no libraries at all
        int severity;
        unsigned long extended;
        const char* note;
    };
    static const Row rows[] = {
        {0x0, "Druckbereit", "Ready", 1, 0, "ready: puiapi.dll's text first"},
        {0x2, "Fehler", "Error", 2, 0x80000000, "the error bit alone"},
        {0x2 | 0x8, "Papierstau", "Paper Jam", 2, 0x80000000, "no generic error beside a jam"},
        {0x81, "Angehalten, Offline-Betrieb", "Paused, Offline", 1, 0, "table order"},
        {0x4, "<null>", "", 1, 0, "pending deletion: empty text, null BSTR"},
        {0x20000, "Toner/Tinte niedrig", "Toner/Ink Low", 3, 0x40000000, "a warning"},
        {0x20008, "Papierstau, Toner/Tinte niedrig", "Paper Jam, Toner/Ink Low", 2, 0x80000000,
         "error wins over warning"},
        {0x400, "Printing", "Printing", 1, 0, "id absent from the library: English"},
        {0x11, "Angehalten, Out of Paper", "Paused, Out of Paper", 2, 0x80000000,
         "localised and fallback texts mixed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(printer.SetStatus(row.status));
        EXPECT_EQ(DI_GetPrinterStatusFlags_impl(driver), row.status);
        EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(driver)), row.localised);
        EXPECT_STREQ(
            BasicDriverInterface::FormatStatusWord(basic->GetPrinterStatusFlags(), kNoLibraries)
                .GetNarrow(),
            row.english);
        EXPECT_EQ(basic->GetPrinterStatusSeverity(), row.severity);
        EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(driver), row.extended);
    }
    DI_Close_impl(driver);
}

TEST(BasicDriverInterfaceStatus, HasPrinterStatusIdsOnARealPrinter) {
    WinePrinter printer(L"statusids");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    BasicDriverInterface driver;
    driver.SetPrinterHandle(handle.Get());
    // Paper jam (bit 3), server unknown (bit 23, no id) and power save (bit 24).
    ASSERT_TRUE(printer.SetStatus(0x8 | 0x800000 | 0x1000000));
    struct Row {
        int id;
        bool expected;
    };
    static const Row rows[] = {{99, false}, {100, false}, {101, true},  {102, false}, {120, false},
                               {121, true}, {122, false}, {200, false}, {201, false}, {-5, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(driver.HasPrinterStatus(row.id), row.expected);
    }
}

TEST(BasicDriverInterfaceStatus, ReadyTextFallsBackLibraryByLibrary) {
    // puiapi.dll missing: printui.dll's 18005; both missing: "Ready".
    EXPECT_STREQ(
        BasicDriverInterface::FormatStatusWord(0, {L"printui.dll", L"di_no_such_puiapi.dll"})
            .GetNarrow(),
        "Bereit");
    EXPECT_STREQ(BasicDriverInterface::FormatStatusWord(0, kNoLibraries).GetNarrow(), "Ready");
    // A library that loads but lacks the id gives the fallback too.
    EXPECT_STREQ(BasicDriverInterface::LoadResourceText(L"puiapi.dll", 14337, OString("Paper Jam"))
                     .GetNarrow(),
                 "Paper Jam");
    EXPECT_STREQ(
        BasicDriverInterface::LoadResourceText(L"puiapi.dll", 300, OString("x")).GetNarrow(),
        "Druckbereit");
    EXPECT_TRUE(
        BasicDriverInterface::LoadResourceText(L"di_no_such.dll", 300, OString()).IsEmpty());
}

// Wine's EnumJobsW never lists a job: this one lists a single job whose status
// string is g_jobStatus (null when g_jobHasStatus is false).
std::wstring g_jobStatus;
bool g_jobHasStatus = true;
int g_enumCalls = 0;

BOOL WINAPI EnumOneJob(HANDLE, DWORD first, DWORD count, DWORD level, LPBYTE jobs, DWORD size,
                       LPDWORD needed, LPDWORD returned) {
    ++g_enumCalls;
    DWORD want =
        sizeof(JOB_INFO_2W) + static_cast<DWORD>((g_jobStatus.size() + 1) * sizeof(wchar_t));
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

BOOL WINAPI EnumJobsThrows(HANDLE, DWORD, DWORD, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) {
    throw std::bad_alloc();
}

TEST(BasicDriverInterfaceStatus, FirstJobStatusWinsOverTheStatusWord) {
    WinePrinter printer(L"jobstatus");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    ASSERT_TRUE(printer.SetStatus(0x8));
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);

    BasicSpooler spooler;
    spooler.enumJobs = &EnumOneJob;
    ScopedBasicSpooler scoped(spooler);

    g_jobStatus = L"Ribbon low (port monitor)";
    g_jobHasStatus = true;
    g_enumCalls = 0;
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(driver)), "Ribbon low (port monitor)");
    EXPECT_EQ(g_enumCalls, 2) << "a size query, then the read";
    // Flags still come from the status word.
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(driver), 0x8u);

    g_jobHasStatus = false;
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(driver)), "Papierstau");
    g_jobHasStatus = true;
    g_jobStatus.clear();
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(driver)), "Papierstau");
    DI_Close_impl(driver);
}

TEST(BasicDriverInterfaceStatus, AnExceptionInsideAnExportGivesNull) {
    BasicSpooler spooler;
    spooler.enumJobs = &EnumJobsThrows;
    ScopedBasicSpooler scoped(spooler);
    HDRIVERINTERFACE driver = DI_Open_impl(nullptr);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(DI_GetPrinterStatusText_impl(driver), nullptr);
    DI_Close_impl(driver);
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
    std::wstring document;
};
std::vector<SetJobCall> g_setJobCalls;

BOOL WINAPI RecordSetJob(HANDLE, DWORD jobId, DWORD level, LPBYTE info, DWORD command) {
    SetJobCall call{jobId, level, command, info != nullptr, 0, 0, 0, L""};
    if (info != nullptr && level == 2) {
        const auto* job = reinterpret_cast<const JOB_INFO_2W*>(info);
        call.priority = job->Priority;
        call.startTime = job->StartTime;
        call.untilTime = job->UntilTime;
        call.document = job->pDocument != nullptr ? job->pDocument : L"";
    }
    g_setJobCalls.push_back(call);
    return TRUE;
}

TEST(BasicDriverInterfaceJobs, ControlCodesAndReadModifyWrite) {
    WinePrinter printer(L"jobs");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    BasicDriverInterface driver;
    driver.SetPrinterHandle(handle.Get());

    BasicSpooler spooler;
    spooler.setJob = &RecordSetJob;
    ScopedBasicSpooler scoped(spooler);
    g_setJobCalls.clear();

    // JOB_CONTROL_PAUSE 1, RESUME 2, DELETE 5, RESTART 4.
    EXPECT_TRUE(driver.PauseJob(11));
    EXPECT_TRUE(driver.ResumeJob(12));
    EXPECT_TRUE(driver.DeleteJob(13));
    EXPECT_TRUE(driver.RestartJob(14));
    ASSERT_EQ(g_setJobCalls.size(), 4u);
    const DWORD codes[] = {1, 2, 5, 4};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_setJobCalls[i].jobId, 11 + i);
        EXPECT_EQ(g_setJobCalls[i].level, 0u);
        EXPECT_FALSE(g_setJobCalls[i].hasInfo);
        EXPECT_EQ(g_setJobCalls[i].command, codes[i]);
    }

    // A job that does not exist is not written.
    g_setJobCalls.clear();
    EXPECT_FALSE(driver.SetJobPriority(999999, 5));
    EXPECT_TRUE(g_setJobCalls.empty());

    DOC_INFO_1W doc = {};
    doc.pDocName = const_cast<LPWSTR>(L"priority probe");
    DWORD job = ::StartDocPrinterW(handle.Get(), 1, reinterpret_cast<LPBYTE>(&doc));
    ASSERT_NE(job, 0u);
    EXPECT_TRUE(driver.SetJobPriority(job, 42));
    EXPECT_TRUE(driver.SetJobStartTime(job, 90));
    EXPECT_TRUE(driver.SetJobUntilTime(job, 1439));
    ::EndDocPrinter(handle.Get());
    ASSERT_EQ(g_setJobCalls.size(), 3u);
    for (const SetJobCall& call : g_setJobCalls) {
        EXPECT_EQ(call.jobId, job);
        EXPECT_EQ(call.level, 2u);
        EXPECT_EQ(call.command, 0u);
        EXPECT_EQ(call.document, L"priority probe")
            << "the rest of the job is written back as read";
    }
    EXPECT_EQ(g_setJobCalls[0].priority, 42u);
    EXPECT_EQ(g_setJobCalls[1].startTime, 90u);
    EXPECT_EQ(g_setJobCalls[2].untilTime, 1439u);
}

// Wine's driver version and date are always 0; this wrapper reports the
// version 1.2.3.4 and the date 2024-03-05 (file time 0x01DA6E9010F9C000).
BOOL WINAPI DriverWithVersion(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE info,
                              DWORD size, LPDWORD needed) {
    BOOL ok = ::GetPrinterDriverW(printer, environment, level, info, size, needed);
    if (ok && level == 6 && info != nullptr) {
        auto* driver = reinterpret_cast<DRIVER_INFO_6W*>(info);
        driver->dwlDriverVersion = 0x0001000200030004ull;
        driver->ftDriverDate.dwLowDateTime = 0x10F9C000;
        driver->ftDriverDate.dwHighDateTime = 0x01DA6E90;
    }
    return ok;
}

TEST_F(BasicDriverInterfaceDriverFacts, DriverVersionAndDateFromTheSpooler) {
    WinePrinter printer(L"version");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    PrinterInfoApi api;
    api.getPrinterDriver = &DriverWithVersion;
    ScopedPrinterInfoApi scoped(api);
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverVersion_impl(driver)), "1.2.3.4");
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverDate_impl(driver)), "03/05/2024");
    DI_Close_impl(driver);
}

TEST_F(BasicDriverInterfaceDriverFacts, VersionAndDateFallBackToTheConfigurationModule) {
    WinePrinter printer(L"fallback");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    ScratchFolder folder;
    std::wstring module = InstallProbeAsPackageModule(printer, folder);
    ASSERT_FALSE(module.empty());
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);
    // The probe's first translation (German) has no ProductVersion; the second
    // (English) has 7.20.3.15, the third 9.9.9.9.
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverVersion_impl(driver)), "7.20.3.15");
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverDate_impl(driver)), CreationDateOf(module));
    DI_Close_impl(driver);
}

TEST_F(BasicDriverInterfaceDriverFacts, NoModuleNoVersionNoDate) {
    WinePrinter printer(L"nomodule");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    ScratchFolder folder;  // empty: the package names a module that is not there
    ASSERT_TRUE(printer.SetDataString(L"DriverPackage", folder.Path()));
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(DI_GetPrinterDriverVersion_impl(driver), nullptr);
    EXPECT_EQ(DI_GetPrinterDriverDate_impl(driver), nullptr);
    DI_Close_impl(driver);
}

TEST(BasicDriverInterfaceVersion, VersionResourceWalksTranslationsInOrder) {
    OString probe(std::wstring(ProgramFolder() + L"\\di_version_probe.dll").c_str());
    EXPECT_STREQ(
        BasicDriverInterface::ReadVersionString(probe, OString("ProductVersion")).GetNarrow(),
        "7.20.3.15");
    EXPECT_STREQ(
        BasicDriverInterface::ReadVersionString(probe, OString("FileDescription")).GetNarrow(),
        "Konfigurationsmodul")
        << "the first translation has it";
    EXPECT_TRUE(BasicDriverInterface::ReadVersionString(probe, OString("CompanyName")).IsEmpty());
    // A library without a version resource.
    OString plain(std::wstring(ProgramFolder() + L"\\printui.dll").c_str());
    EXPECT_TRUE(
        BasicDriverInterface::ReadVersionString(plain, OString("ProductVersion")).IsEmpty());
}

TEST(BasicDriverInterfaceCommands, TestPageAndEmptyPage) {
    WinePrinter printer(L"commands");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
    ASSERT_NE(driver, nullptr);

    struct Row {
        int command;
        bool supported;
    };
    static const Row rows[] = {{0, false}, {1, true},   {2, true},
                               {3, false}, {-1, false}, {1000, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(DI_IsCommandSupported_impl(driver, row.command), row.supported);
        EXPECT_FALSE(DI_IsCommandUI_impl(driver, row.command)) << "the basic interface has no UI";
    }
    // Asking never prints.
    EXPECT_TRUE(printer.ReadOutput().empty());

    DI_Command_impl(driver, 3);
    EXPECT_TRUE(printer.ReadOutput().empty()) << "an unsupported command prints nothing";

    DI_Command_impl(driver, 2);
    std::string empty = printer.ReadOutput();
    printer.ClearOutput();
    // The window comes first; a swapped call would ask for command 0 and print nothing.
    DI_CommandUI_impl(driver, ::GetDesktopWindow(), 1);
    std::string pattern = printer.ReadOutput();
    printer.ClearOutput();

    ASSERT_FALSE(empty.empty());
    ASSERT_FALSE(pattern.empty());
    EXPECT_NE(empty.find("Printer Test"), std::string::npos) << "the document name";
    EXPECT_NE(pattern.find("Printer Test"), std::string::npos);
    EXPECT_GT(pattern.size(), empty.size()) << "21 rectangles add drawing to the page";
    DI_Close_impl(driver);
}

TEST(BasicDriverInterfaceOdometer, RoundTripThroughThePrinterData) {
    WinePrinter printer(L"odometer");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    HDRIVERINTERFACE opened = DI_Open_impl(handle.Get());
    ASSERT_NE(opened, nullptr);
    DriverInterface& driver = *reinterpret_cast<DriverInterface*>(opened);

    OdometerData none = driver.GetOdometer();
    EXPECT_EQ(none.GetPages(), 0u) << "a printer without counters reads as zero";

    OdometerData written;
    written.SetPages(1234);
    written.SetDistance(56.75);
    written.SetLastCleaningPageCount(1000);
    written.SetLastCleaningDistance(40.5);
    written.SetHasBeenCleaned(1);
    driver.SetOdometer(written);

    // What the driver's other components would read under "Trevamark".
    DWORD pages = 0;
    DWORD type = 0;
    DWORD needed = 0;
    ASSERT_EQ(::GetPrinterDataExW(handle.Get(), const_cast<LPWSTR>(L"Trevamark"),
                                  const_cast<LPWSTR>(L"Odometer Pages"), &type,
                                  reinterpret_cast<LPBYTE>(&pages), sizeof pages, &needed),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(pages, 1234u);

    OdometerData read = driver.GetOdometer();
    EXPECT_EQ(read.GetPages(), 1234u);
    EXPECT_EQ(read.GetDistance(), 56.75);
    EXPECT_EQ(read.GetLastCleaningPageCount(), 1000u);
    EXPECT_EQ(read.GetLastCleaningDistance(), 40.5);
    EXPECT_EQ(read.GetHasBeenCleaned(), 1u);

    // Without the distance the read fails and the interface answers zeros.
    ASSERT_TRUE(printer.DeleteData(L"Odometer Distance", L"Trevamark"));
    OdometerData partial = driver.GetOdometer();
    EXPECT_EQ(partial.GetPages(), 0u);
    EXPECT_EQ(partial.GetLastCleaningPageCount(), 0u);
    DI_Close_impl(opened);
}

TEST(BasicDriverInterfaceSendFile, FileBytesBecomeOneJob) {
    WinePrinter printer(L"sendfile");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    BasicDriverInterface driver;
    driver.SetPrinterHandle(handle.Get());
    ScratchFolder folder;

    // 3000 bytes: more than one 1024-byte stream buffer, every byte value.
    std::string content;
    for (int i = 0; i < 3000; ++i) {
        content += static_cast<char>(i * 7 % 256);
    }
    std::wstring path = folder.Path() + L"\\label.prn";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);

    EXPECT_TRUE(driver.SendFile(OString(path.c_str()), OString()));
    EXPECT_EQ(printer.ReadOutput(), content);
    printer.ClearOutput();

    std::wstring emptyPath = folder.Path() + L"\\empty.prn";
    file = ::CreateFileW(emptyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
    EXPECT_TRUE(driver.SendFile(OString(emptyPath.c_str()), OString("empty")))
        << "one write of 0 bytes";

    EXPECT_FALSE(driver.SendFile(OString((folder.Path() + L"\\missing.prn").c_str()), OString()));
}

TEST(BasicDriverInterfaceEventLog, SharesItsLog) {
    BasicDriverInterface driver;
    std::shared_ptr<OEventLog> first = driver.GetEventLog();
    std::shared_ptr<OEventLog> second = driver.GetEventLog();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.use_count(), 3) << "the interface's reference and two copies";
}

// A host: loads the DLL, finds the exports by their decorated names, opens a
// printer with the spooler and reads what a status monitor shows.
TEST(DriverInterfaceHost, DecoratedExportsOnARealPrinter) {
    WinePrinter printer(L"host");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    ScratchFolder folder;
    std::wstring module = InstallProbeAsPackageModule(printer, folder);
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(printer.SetStatus(0x81));

    HMODULE dll = ::LoadLibraryW((ProgramFolder() + L"\\QuorvelDriverUtility.dll").c_str());
    ASSERT_NE(dll, nullptr) << ::GetLastError();
    // Literal names (as MSVC decorates the signatures), the public header's types.
    auto open = reinterpret_cast<QV_PFN_DI_OPEN>(
        ::GetProcAddress(dll, "?DI_Open@@YAPEAUHDRIVERINTERFACE__@@PEAX@Z"));
    auto close = reinterpret_cast<QV_PFN_DI_CLOSE>(
        ::GetProcAddress(dll, "?DI_Close@@YAXPEAUHDRIVERINTERFACE__@@@Z"));
    auto statusText = reinterpret_cast<QV_PFN_DI_GET_PRINTER_STATUS_TEXT>(
        ::GetProcAddress(dll, "?DI_GetPrinterStatusText@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"));
    auto statusFlags = reinterpret_cast<QV_PFN_DI_GET_PRINTER_STATUS_FLAGS>(
        ::GetProcAddress(dll, "?DI_GetPrinterStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z"));
    auto extendedFlags = reinterpret_cast<QV_PFN_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS>(
        ::GetProcAddress(dll, "?DI_GetPrinterExtendedStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z"));
    auto version = reinterpret_cast<QV_PFN_DI_GET_PRINTER_DRIVER_VERSION>(
        ::GetProcAddress(dll, "?DI_GetPrinterDriverVersion@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"));
    auto date = reinterpret_cast<QV_PFN_DI_GET_PRINTER_DRIVER_DATE>(
        ::GetProcAddress(dll, "?DI_GetPrinterDriverDate@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"));
    auto supported = reinterpret_cast<QV_PFN_DI_IS_COMMAND_SUPPORTED>(
        ::GetProcAddress(dll, "?DI_IsCommandSupported@@YA_NPEAUHDRIVERINTERFACE__@@H@Z"));
    ASSERT_TRUE(open && close && statusText && statusFlags && extendedFlags && version && date &&
                supported);
    for (const char* name : {"?DI_IsCommandUI@@YA_NPEAUHDRIVERINTERFACE__@@H@Z",
                             "?DI_Command@@YAXPEAUHDRIVERINTERFACE__@@H@Z",
                             "?DI_CommandUI@@YAXPEAUHDRIVERINTERFACE__@@PEAUHWND__@@H@Z"}) {
        EXPECT_NE(::GetProcAddress(dll, name), nullptr) << name;
    }

    HANDLE spooler = nullptr;
    ASSERT_TRUE(::OpenPrinterW(const_cast<LPWSTR>(printer.Name().c_str()), &spooler, nullptr));
    HDRIVERINTERFACE driver = open(spooler);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(TakeBstr(statusText(driver)), "Angehalten, Offline-Betrieb");
    EXPECT_EQ(statusFlags(driver), 0x81u);
    EXPECT_EQ(extendedFlags(driver), 0u);
    EXPECT_EQ(TakeBstr(version(driver)), "7.20.3.15");
    EXPECT_EQ(TakeBstr(date(driver)), CreationDateOf(module));
    EXPECT_TRUE(supported(driver, 1));
    EXPECT_EQ(statusText(nullptr), nullptr);
    close(driver);
    ::ClosePrinter(spooler);
    ::FreeLibrary(dll);
}

}  // namespace

namespace {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output, carriage returns removed
};

// Runs a program of this build's folder with its standard output on a pipe.
ProcessResult RunProgram(const std::wstring& commandLine) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return result;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    ProgramFolder().c_str(), &startup, &process);
    ::CloseHandle(writeEnd);
    if (started) {
        char chunk[1024];
        DWORD read = 0;
        while (::ReadFile(readEnd, chunk, sizeof chunk, &read, nullptr) && read > 0) {
            for (DWORD i = 0; i < read; ++i) {
                if (chunk[i] != '\r') {
                    result.output += chunk[i];
                }
            }
        }
        ::WaitForSingleObject(process.hProcess, 60000);
        ::GetExitCodeProcess(process.hProcess, &result.exitCode);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(readEnd);
    return result;
}

// qvhost, the host tool, on a real printer: what its printer commands print.
TEST(DriverInterfaceHost, QvhostPrinterCommands) {
    if (::GetFileAttributesW((ProgramFolder() + L"\\qvhost.exe").c_str()) ==
        INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "qvhost.exe is not built beside this program";
    }
    WinePrinter printer(L"qvhost");
    if (!printer.Ok()) {
        GTEST_SKIP() << Narrow(printer.Error().c_str());
    }
    ScratchFolder folder;
    std::wstring module = InstallProbeAsPackageModule(printer, folder);
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(printer.SetStatus(0x20008));
    std::string name = Narrow(printer.Name().c_str());
    std::wstring qvhost = L"\"" + ProgramFolder() + L"\\qvhost.exe\" ";
    std::wstring quoted = L" --printer \"" + printer.Name() + L"\"";

    ProcessResult status = RunProgram(qvhost + L"status" + quoted);
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_EQ(status.output,
              "printer: " + name +
                  "\nflags: 0x00020008\nextended flags: 0x80000000\nseverity: error\n"
                  "text: Papierstau, Toner/Tinte niedrig\n");

    ProcessResult json = RunProgram(qvhost + L"--json status" + quoted);
    EXPECT_EQ(json.exitCode, 0u);
    EXPECT_NE(json.output.find("\"flags\":131080"), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"severity\":\"error\""), std::string::npos) << json.output;

    ProcessResult info = RunProgram(qvhost + L"info" + quoted);
    EXPECT_EQ(info.exitCode, 0u);
    EXPECT_EQ(info.output, "printer: " + name + "\ndriver version: 7.20.3.15\ndriver date: " +
                               CreationDateOf(module) + "\n");

    struct Row {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* output;
        bool prints;
    };
    static const Row rows[] = {
        {L"is-supported 1", 0, "command 1: supported\n", false},
        {L"is-supported 3", 1, "command 3: not supported\n", false},
        {L"command 7", 1, "", false},
        {L"command 2", 0, "command 2: done\n", true},
        {L"command --ui 1", 0, "command 1: done\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.arguments));
        printer.ClearOutput();
        std::wstring arguments = row.arguments;
        ProcessResult run = RunProgram(qvhost + arguments + quoted);
        EXPECT_EQ(run.exitCode, row.exitCode);
        if (row.exitCode == 0 || *row.output != 0) {
            EXPECT_EQ(run.output, row.output);
        }
        EXPECT_EQ(!printer.ReadOutput().empty(), row.prints);
    }

    ProcessResult missing = RunProgram(qvhost + L"status --printer \"no such printer here\"");
    EXPECT_EQ(missing.exitCode, 4u) << "the spooler cannot open it";
}

}  // namespace
