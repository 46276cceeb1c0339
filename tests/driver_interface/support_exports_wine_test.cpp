#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "dal/sim_dal_printer.h"
#include "driver_interface/di_exports.h"
#include "quorvel_driver_utility.h"
#include "sim/label_printer.h"
#include "sim/xpml_server_process.h"
#include "support/files.h"
#include "support/wine_printer.h"

// QVDI_DiagnosePrinter and QVDI_SendXpml on real Wine printers: a basic one,
// and one with the simulated DAL module whose network settings lead to the
// simulated XPML server, which reports a Paper Jam.

namespace {

using QvTest::SimDalPrinter;
using QvTest::TakeBstr;

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

TEST(SupportExports, DiagnosePrinterRefusesWhatItCannotReport) {
    const struct {
        const wchar_t* name;
        unsigned long flags;
        DWORD error;
        const char* note;
    } rows[] = {
        {nullptr, 0, ERROR_INVALID_PARAMETER, "no name"},
        {L"", 0, ERROR_INVALID_PARAMETER, "empty name: it would open the print server"},
        {L"QV Support No Such Printer", 0x8, ERROR_INVALID_FLAGS, "a flag bit without meaning"},
        {L"QV Support No Such Printer", 0, ERROR_INVALID_PRINTER_NAME, "the spooler's code"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        ::SetLastError(0xDEADBEEF);
        BSTR report = QVDI_DiagnosePrinter(row.name, row.flags);
        EXPECT_EQ(::GetLastError(), row.error);
        EXPECT_EQ(report, nullptr);
        ::SysFreeString(report);
    }
}

TEST(SupportExports, DiagnoseOfABasicPrinterLeavesOutWhatTheFlagsSay) {
    QvTest::WinePrinter printer(L"diagbasic");
    if (!printer.Ok()) {
        GTEST_SKIP() << "no Wine printer: " << printer.Error();
    }
    const struct {
        unsigned long flags;
        bool status, logs;
    } rows[] = {
        {QVDI_DIAGNOSE_NO_PROBE, true, true},
        {QVDI_DIAGNOSE_NO_PROBE | QVDI_DIAGNOSE_NO_STATUS | QVDI_DIAGNOSE_NO_LOGS, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flags);
        ::SetLastError(0xDEADBEEF);
        const std::wstring report =
            TakeBstr(QVDI_DiagnosePrinter(printer.Name().c_str(), row.flags));
        EXPECT_EQ(::GetLastError(), ERROR_SUCCESS);
        EXPECT_TRUE(Has(report, L"\"printer\":\"" + printer.Name() +
                                    L"\",\"verdict\":\"Status "
                                    L"comes from the spooler only"))
            << report;
        EXPECT_TRUE(Has(report, L"\"interface\":\"basic\"")) << report;
        EXPECT_TRUE(Has(report, L"\"gateCode\":9,")) << report;
        EXPECT_FALSE(Has(report, L"\"probe\":")) << report;
        EXPECT_EQ(Has(report, L"\"status\":{\"text\":"), row.status) << report;
        EXPECT_EQ(Has(report, L"\"provenanceCode\":9,"), row.status) << report;
        EXPECT_EQ(Has(report, L"\"tcpLibrary\":{\"source\":\"Quorvel TCP Library V3\""), row.logs)
            << report;
    }
}

// One server for the program's tests, ended with it.
QvSim::XpmlServerProcess& Server() {
    static QvSim::XpmlServerProcess server;
    return server;
}

class SupportExportsOnLabelPrinter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Server().Ok() || !m_printer.Ok() || !m_basic.Ok()) {
            GTEST_SKIP() << "no XPML server or no Wine printer: " << m_printer.Error()
                         << m_basic.Error();
        }
        ASSERT_FALSE(Server().Control({{"status", "Paper Jam"}, {"severity", "2"}}).empty());
        ASSERT_TRUE(QvSim::FollowXpmlServer(Name(), Server().Port()));
        m_handle = m_printer.Open();
        m_basicHandle = m_basic.Open();
        ASSERT_TRUE(m_handle && m_basicHandle);
    }
    void TearDown() override {
        if (m_printer.Ok()) {
            QvSim::ForgetXpmlServer(Name());
        }
    }
    const std::wstring& Name() const { return m_printer.Printer().Name(); }

    SimDalPrinter m_printer{L"support", L"qvsimdal"};
    QvTest::WinePrinter m_basic{L"supportbasic"};
    OPrinterHandle m_handle;
    OPrinterHandle m_basicHandle;
};

TEST_F(SupportExportsOnLabelPrinter, DiagnoseShowsWhatAClosedGateHides) {
    const struct {
        int mode;
        bool bidi;
        bool open;
        const wchar_t* gate;
        const wchar_t* verdict;
        const char* note;
    } rows[] = {
        {0, true, false, L"\"gateCode\":1,",
         L"Status comes from the spooler, not the printer: status "
         L"monitoring is off",
         "mode 0"},
        {1, false, false, L"\"gateCode\":2,",
         L"Status comes from the spooler, not the printer: the "
         L"printer's bidirectional support is off",
         "bidi off"},
        {1, true, true, L"\"gateCode\":0,", L"Status comes from the printer itself", "gate open"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(
            QvSim::SetDriverSetting(Name(), L"Status", L"Status Monitoring Mode", row.mode));
        ASSERT_TRUE(m_printer.Printer().SetBidi(row.bidi));
        ::SetLastError(0xDEADBEEF);
        const std::wstring report =
            TakeBstr(QVDI_DiagnosePrinter(Name().c_str(), QVDI_DIAGNOSE_NO_LOGS));
        EXPECT_EQ(::GetLastError(), ERROR_SUCCESS);
        EXPECT_TRUE(Has(report, L"\"verdict\":\"" + std::wstring(row.verdict))) << report;
        EXPECT_TRUE(Has(report, row.gate)) << report;
        // The probe asks the printer whatever the gate says.
        EXPECT_TRUE(Has(report, L"\"outcome\":\"answered\",\"code\":0,\"text\":\"answered by"))
            << report;
        EXPECT_TRUE(Has(report, L"\"printerStatus\":\"Paper Jam\",\"printerSeverity\":2"))
            << report;
        // A closed gate tells the host something else: the verdict says so.
        EXPECT_EQ(Has(report, L"The printer itself reports \\\"Paper Jam\\\""), !row.open)
            << report;
        EXPECT_EQ(Has(report, L"\"status\":{\"text\":\"Paper Jam\",\"provenanceCode\":0,"),
                  row.open)
            << report;
        EXPECT_TRUE(Has(report, L"\"image\":true,\"hasOpenEntry\":true")) << report;
    }
}

TEST_F(SupportExportsOnLabelPrinter, SendXpmlGivesTheAnswerAndWhereItCameFrom) {
    HDRIVERINTERFACE advanced = DI_Open_impl(m_handle.Get());
    HDRIVERINTERFACE basic = DI_Open_impl(m_basicHandle.Get());
    const wchar_t* status = L"<state name='Status' action='get' />&#00;";
    const struct {
        HDRIVERINTERFACE driver;
        int32_t port;  // where the network settings lead; 0: the server
        const wchar_t* request;
        const wchar_t* answer;  // a part of it; null: no answer
        int provenance;
        const wchar_t* text;
        DWORD error;
        const char* note;
    } rows[] = {
        {advanced, 0, status, L"Paper Jam", 0, L"answered over the network", ERROR_SUCCESS,
         "the server answers"},
        {advanced, 1, status, nullptr, 5, L"the printer at localhost:1 refused the connection",
         ERROR_NO_DATA, "nobody listens; no \"spooler:\" before why"},
        {basic, 0, status, nullptr, 9, L"basic interface", ERROR_NOT_SUPPORTED,
         "no XPML server for a basic interface"},
        {advanced, 0, L"", nullptr, 14, nullptr, ERROR_INVALID_PARAMETER, "empty request"},
        {nullptr, 0, status, nullptr, 14, nullptr, ERROR_INVALID_HANDLE, "null handle"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(QvSim::FollowXpmlServer(Name(), row.port != 0 ? row.port : Server().Port()));
        int provenance = -1;
        BSTR text = nullptr;
        ::SetLastError(0xDEADBEEF);
        BSTR answer = QVDI_SendXpml(row.driver, row.request, &provenance, &text);
        EXPECT_EQ(::GetLastError(), row.error);
        EXPECT_EQ(provenance, row.provenance);
        if (row.answer != nullptr) {
            EXPECT_TRUE(Has(TakeBstr(answer), row.answer));
        } else {
            EXPECT_EQ(answer, nullptr);
            ::SysFreeString(answer);
        }
        const std::wstring said = TakeBstr(text, L"");
        EXPECT_EQ(said.rfind(row.text != nullptr ? row.text : L"", 0), 0u) << said;
        EXPECT_EQ(said.empty(), row.text == nullptr) << said;
    }
    DI_Close_impl(basic);
    DI_Close_impl(advanced);
}

}  // namespace
