#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "dal/sim_dal_printer.h"
#include "driver_interface/di_exports.h"
#include "driver_interface/advanced_interface.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/label_printer.h"
#include "sim/xpml_server_process.h"
#include "support/sim_server_test.h"
#include "support/files.h"
#include "support/printer_cache.h"
#include "support/process.h"

// The advanced interface on a real Wine printer whose driver carries the
// simulated DAL module and whose network settings lead to the simulated XPML
// server (its states set through its control requests, its request counter
// telling whether the library asked). printui.dll 14359 is "Angehalten".

namespace {

using QvTest::ScratchFolder;
using QvTest::SimDalPrinter;

uint64_t g_now = 0;
ULONGLONG WINAPI SteppedClock() {
    return g_now;
}

class AdvancedInterfaceTest : public QvTest::SimServerTest {
protected:
    QvTest::FreshPrinterCache m_freshCache;

    void SetUp() override {
        SimServerTest::SetUp();
        if (!Ready()) {
            return;
        }
        if (!m_printer.Ok()) {
            GTEST_SKIP() << "no Wine printer: " << m_printer.Error();
        }
        m_name = OString(m_printer.Printer().Name().c_str());
        ASSERT_TRUE(QvSim::FollowXpmlServer(m_printer.Printer().Name(), s_server->Port()));
        m_handle = m_printer.Open();
        ASSERT_TRUE(m_handle);
        SimDalPrinter::ClearCalls();
    }
    void TearDown() override {
        Close();
        QvSim::ForgetXpmlServer(m_printer.Printer().Name());
    }

    // "Status/Status Monitoring Mode"; a negative mode removes the value.
    void SetMonitoring(int mode) {
        std::wstring key = QvSim::DriverSettingsKey(m_printer.Printer().Name(), L"Status");
        if (mode < 0) {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Status Monitoring Mode");
        } else {
            ASSERT_TRUE(QvSim::SetDriverSetting(m_printer.Printer().Name(), L"Status",
                                                L"Status Monitoring Mode", mode));
        }
    }

    // A fresh interface each time: the bidi answer is cached per object.
    HDRIVERINTERFACE Reopen() {
        Close();
        m_driver = DI_Open_impl(m_handle.Get());
        return m_driver;
    }
    DriverInterface& Object() { return *reinterpret_cast<DriverInterface*>(m_driver); }
    void Close() {
        if (m_driver != nullptr) {
            DI_Close_impl(m_driver);
            m_driver = nullptr;
        }
    }

    SimDalPrinter m_printer{L"adv", L"qvsimdal"};
    OString m_name;
    OPrinterHandle m_handle;
    HDRIVERINTERFACE m_driver = nullptr;
};

}  // namespace

TEST_F(AdvancedInterfaceTest, MonitoringGateSendsNothingUnlessBidiAndModeOneToThree) {
    struct Row {
        int mode;
        bool bidi;
        bool asks;
        const char* note;
    } rows[] = {
        {-1, true, false, "setting absent: default 0"},
        {0, true, false, "mode 0"},
        {7, true, false, "4 or more is the default"},
        {1, false, false, "bidi off"},
        {1, true, true, "mode 1"},
        {3, true, true, "mode 3"},
    };
    ASSERT_FALSE(s_server->Control({{"status", "Paper Jam"}, {"severity", "2"}}).empty());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        SetMonitoring(row.mode);
        ASSERT_TRUE(m_printer.Printer().SetBidi(row.bidi));
        int64_t before = s_server->Requests();
        std::wstring text = QvTest::TakeBstr(DI_GetPrinterStatusText_impl(Reopen()));
        EXPECT_EQ(text, row.asks ? L"Paper Jam" : L"Druckbereit");
        EXPECT_EQ(s_server->Requests() - before, row.asks ? 1 : 0);
    }
}

TEST_F(AdvancedInterfaceTest, AnswersAreReadOrFallBack) {
    struct Row {
        std::vector<std::pair<std::string, std::string>> state;
        DWORD spoolerStatus;
        const wchar_t* text;
        int severity;
        uint32_t extended;
        const char* note;
    } rows[] = {
        {{{"monitoring", "0"}, {"status", "Head Open"}, {"severity", "2"}},
         0,
         L"Druckbereit",
         1,
         0,
         "\"0\": not monitored, the spooler's answers"},
        {{{"status", "Ready"}, {"severity", "1"}},
         0x1,
         L"Angehalten",
         1,
         0,
         "paused and ready: the paused text alone"},
        {{{"status", "Head Open"}, {"severity", "2"}},
         0x1,
         L"Head Open, Angehalten",
         2,
         0x80000000,
         "paused with an error: appended"},
        {{{"status", "x"}, {"severity", "3"}, {"flags2", "1F2E"}},
         0,
         L"x",
         3,
         0x5F2E0000,
         "four digits fill the two high bytes; warning bit 30"},
        // "Bu" = 11 * 16 + (('u' & 15) + 9) = 0xBE, "sy" = 12 * 16 + 18 = 0xD2.
        {{{"answer", "1;Busy;abc"}},
         0,
         L"Busy",
         0,
         0xBED20000,
         "no number: severity 0; letters read by the flag word's digit rule"},
        {{{"status", "Big"}, {"severity", "1"}, {"size", "200000"}},
         0,
         L"Big",
         1,
         0,
         "a huge answer: the filler follows the last value"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_FALSE(s_server->Control({{"reset", "1"}}).empty());
        ASSERT_FALSE(s_server->Control(row.state).empty());
        ASSERT_TRUE(m_printer.Printer().SetStatus(row.spoolerStatus));
        Reopen();
        EXPECT_EQ(QvTest::TakeBstr(DI_GetPrinterStatusText_impl(m_driver)), row.text);
        EXPECT_EQ(Object().GetPrinterStatusSeverity(), row.severity);
        EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(m_driver), row.extended);
    }
    ASSERT_TRUE(m_printer.Printer().SetStatus(0));
}

TEST_F(AdvancedInterfaceTest, JobRequestIsSentWhateverTheMonitoringMode) {
    SetMonitoring(0);
    ASSERT_FALSE(s_server->Control({{"job", "Printing"}}).empty());
    Reopen();
    int64_t before = s_server->Requests();
    // The server answers a job request with its id and its "job" state.
    EXPECT_STREQ(Object().GetJobStatusText(42).GetNarrow(), "42;Printing");
    EXPECT_EQ(s_server->Requests() - before, 1);
}

TEST_F(AdvancedInterfaceTest, BidiAnswerIsReusedForOneSecond) {
    OClockOverride clock(OClockApi{&SteppedClock});
    QvTest::FreshPrinterCache::Forget();
    g_now = 50000;
    Reopen();
    EXPECT_TRUE(Object().IsBidiEnabled());
    ASSERT_TRUE(m_printer.Printer().SetBidi(false));
    g_now += 500;
    EXPECT_TRUE(Object().IsBidiEnabled()) << "500 ms later: the cached answer, no spooler call";
    g_now += 501;
    EXPECT_FALSE(Object().IsBidiEnabled()) << "1001 ms after the check: asked again";
}

TEST_F(AdvancedInterfaceTest, CommandsComeFromTheDalActionFlagsButOneAndTwoNeverReachIt) {
    struct Row {
        int command;
        bool supported;
        bool userInterface;
        const char* note;
    } rows[] = {
        {1, true, false, "the test page"},
        {2, true, false, "the empty page"},
        {QvSimDal::kActionPrintConfiguration, true, false, "flags 0x1"},
        {QvSimDal::kActionCalibrate, true, true, "flags 0x3"},
        {5, false, false, "flags 0"},
    };
    Reopen();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(DI_IsCommandSupported_impl(m_driver, row.command), row.supported);
        EXPECT_EQ(DI_IsCommandUI_impl(m_driver, row.command), row.userInterface);
    }
    DriverCommand record;
    Object().Command(QvSimDal::kActionResetPrinter, record);
    EXPECT_TRUE(record.dalActionBit20 && record.dalActionBit10) << "flags 0x31";
    DI_Command_impl(m_driver, QvSimDal::kActionPrintConfiguration);
    const std::wstring name = m_printer.Printer().Name();
    auto flag = [&](int command) {
        return L"DAL_Printer_ActionFlag " + name + L" " + std::to_wstring(command);
    };
    std::vector<std::wstring> expected = {L"DAL_Printer_Open " + name,
                                          flag(100),
                                          flag(100),
                                          flag(101),
                                          flag(101),
                                          flag(5),
                                          flag(5),
                                          flag(102),
                                          flag(100),
                                          L"DAL_Printer_ActionUI " + name + L" 0x0 100"};
    EXPECT_EQ(SimDalPrinter::CallTexts(), expected)
        << "1 and 2 never reach the module; DI_Command passes no window";
}

TEST_F(AdvancedInterfaceTest, SettingsExportImportRoundTripAndReset) {
    ScratchFolder folder;
    const std::wstring changed = folder.File(L"changed.txt");
    const std::wstring again = folder.File(L"again.txt");
    const std::string mine = "Darkness=30\r\nSpeed=2\r\nMedia=Tags\r\n";
    ASSERT_TRUE(QvTest::WriteWholeFile(changed, mine));
    Reopen();
    DriverInterface& driver = Object();
    ASSERT_TRUE(driver.ImportSettings(OString(changed.c_str()), 0x1));
    ASSERT_TRUE(driver.ExportSettings(OString(again.c_str()), 0));
    EXPECT_EQ(QvTest::ReadWholeFile(again).value_or(""), mine) << "the import took";
    ASSERT_TRUE(driver.ResetSettings(0x2));
    ASSERT_TRUE(driver.ExportSettings(OString(again.c_str()), 0));
    EXPECT_EQ(QvTest::ReadWholeFile(again).value_or(""), QvSimDal::kDefaultSettings);
    const std::wstring name = m_printer.Printer().Name();
    std::vector<std::wstring> expected = {
        L"DAL_Printer_Open " + name,
        L"DAL_Settings_Import " + name + L" " + changed + L" 0x1",
        L"DAL_Settings_Save " + name,
        L"DAL_Settings_Export " + name + L" " + again + L" 0x0",
        L"DAL_Settings_Reset " + name + L" 0x2",
        L"DAL_Settings_Save " + name,
        L"DAL_Settings_Export " + name + L" " + again + L" 0x0",
    };
    EXPECT_EQ(SimDalPrinter::CallTexts(), expected) << "one open for all, import and reset saved";
    // The module refuses a malformed or missing file and keeps its settings;
    // the interface says so with the module's reason, and saves nothing.
    ASSERT_TRUE(QvTest::WriteWholeFile(changed, "Darkness=30\r\nno setting\r\n"));
    const std::pair<std::wstring, DWORD> refused[] = {
        {changed, ERROR_INVALID_DATA}, {folder.File(L"missing.txt"), ERROR_FILE_NOT_FOUND}};
    for (const auto& [path, error] : refused) {
        SimDalPrinter::ClearCalls();
        EXPECT_FALSE(driver.ImportSettings(OString(path.c_str()), 0));
        EXPECT_EQ(::GetLastError(), error);
        ASSERT_TRUE(driver.ExportSettings(OString(again.c_str()), 0));
        EXPECT_EQ(QvTest::ReadWholeFile(again).value_or(""), QvSimDal::kDefaultSettings);
        EXPECT_EQ(SimDalPrinter::CallTexts().size(), 2u) << "import and export, no save";
    }
}

TEST_F(AdvancedInterfaceTest, DalQueryRoundTripThroughTheServer) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 3000; ++i) {
        data.push_back(static_cast<uint8_t>(i * 7 % 251));
    }
    Reopen();
    DriverInterface& driver = Object();
    EXPECT_EQ(driver.GetDalQueryStatus("q-7"), 0) << "not sent yet";
    ASSERT_TRUE(driver.SendDalQueryEx(data.data(), static_cast<uint32_t>(data.size()), "q-7", 100,
                                      -5, 0, "<end>&", true));
    EXPECT_EQ(driver.GetDalQueryStatus("q-7"), 1);
    std::vector<uint8_t> response = {0xEE};
    ASSERT_TRUE(driver.GetDalQueryResponse("q-7", response));
    EXPECT_EQ(response, data) << "the server inflated the payload back to the bytes sent";

    // Random bytes do not compress: their base64 alone is beyond the limit.
    std::vector<uint8_t> huge(AdvancedDriverInterface::kMaxDalQueryEnvelopeBytes);
    uint32_t seed = 12345;
    for (uint8_t& item : huge) {
        seed = seed * 1103515245 + 12345;
        item = static_cast<uint8_t>(seed >> 24);
    }
    int64_t before = s_server->Requests();
    EXPECT_FALSE(
        driver.SendDalQuery(huge.data(), static_cast<uint32_t>(huge.size()), "big", 0, 0, 0));
    EXPECT_EQ(s_server->Requests(), before) << "refused, not cut";
}

// The transaction prefix alone is an empty answer, and one of another request
// is no answer: neither reaches the host as a response.
TEST_F(AdvancedInterfaceTest, ATransactionPrefixAloneIsNoResponse) {
    HDRIVERINTERFACE driver = Reopen();
    for (const char* answer : {"", "TID0123456789ABCDEX;"}) {
        SCOPED_TRACE(answer);
        ASSERT_FALSE(s_server
                         ->Control({{"prefix", *answer == '\0' ? "1" : "0"},
                                    {"answer", *answer == '\0' ? "" : answer}})
                         .empty());
        unsigned char buffer[64] = {};
        DWORD size = sizeof buffer;
        EXPECT_FALSE(QVDI_GetDalQueryResponse(driver, L"never-sent", buffer, &size));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
        EXPECT_EQ(QVDI_GetDalQueryStatus(driver, L"never-sent"), 0);
    }
}

// A host in plain C built for the MSVC ABI reaches every operation the DI_
// exports do not carry through the flat exports, and gets the object's answers.
TEST_F(AdvancedInterfaceTest, FlatCHostGetsTheObjectsAnswers) {
    const std::wstring host = QvTest::ProgramFolder() + L"\\flat_c_host.exe";
    ASSERT_NE(::GetFileAttributesW(host.c_str()), INVALID_FILE_ATTRIBUTES) << "clang, lld needed";
    ASSERT_FALSE(s_server->Control({{"job", "Printing"}}).empty());
    ScratchFolder folder;
    const std::wstring theirs = folder.File(L"host.txt"), mine = folder.File(L"object.txt");
    const std::wstring name = m_printer.Printer().Name();
    QvTest::ProcessResult run = QvTest::RunProgram(L"\"" + host + L"\" " + theirs + L" " + name);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    Reopen();
    DriverInterface& driver = Object();
    std::string expected;
    auto n = [&](long value) { expected += std::to_string(value) + " "; };
    auto text = [&](const auto& bytes) {
        expected += std::string(bytes.begin(), bytes.end()) + "|";
    };
    n(driver.IsAdvanced()), n(driver.IsBidiEnabled()), n(driver.GetPrinterStatusSeverity());
    n(driver.HasPrinterStatus(101)), n(driver.HasPrinterStatus(201));
    OString why;
    n(driver.GetStatusProvenance(why));
    text(std::string(driver.GetJobStatusText(42).GetNarrow()));
    n(driver.ExportSettings(mine.c_str(), 0)), n(driver.ResetSettings(2));
    n(driver.ImportSettings(mine.c_str(), 1)), n(driver.SendFile("C:\\no\\such.prn", "flat"));
    const uint32_t job = 999999;
    n(driver.PauseJob(job)), n(driver.ResumeJob(job)), n(driver.RestartJob(job));
    n(driver.SetJobPriority(job, 5)), n(driver.SetJobStartTime(job, 60));
    n(driver.SetJobUntilTime(job, 120)), n(driver.DeleteJob(job));
    const uint8_t* data = reinterpret_cast<const uint8_t*>("flat query");
    n(driver.SendDalQuery(data, 4, "o-1", 100, -5, 0));
    n(driver.SendDalQueryEx(data, 10, "o-2", 100, -5, 0, "<end>&", true));
    n(driver.GetDalQueryStatus("o-1")), n(driver.GetDalQueryStatus("o-3"));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(driver.GetDalQueryResponse("o-2", bytes));
    n(0), n(ERROR_MORE_DATA), n(static_cast<long>(bytes.size())), text(std::string());
    n(1), n(0), n(static_cast<long>(bytes.size())), text(bytes);
    n(0), n(ERROR_INVALID_HANDLE), n(0), text(std::string());  // a null handle
    n(0), n(ERROR_INVALID_PARAMETER), n(1);                    // no size; a null handle's severity
    EXPECT_EQ(run.output, expected);
    ASSERT_TRUE(QvTest::ReadWholeFile(mine).has_value());
    EXPECT_EQ(QvTest::ReadWholeFile(theirs), QvTest::ReadWholeFile(mine)) << "the host's path";
    const auto calls = SimDalPrinter::CallTexts();
    EXPECT_EQ(std::count(calls.begin(), calls.end(),
                         L"DAL_Settings_Import " + name + L" " + theirs + L" 0x1"),
              1);
}
