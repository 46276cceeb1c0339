// The proxy pipe with a real client; DriverDLLProxy with real RunDLL32 proxies.
#include "dal/dal_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dal/dal_module.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim_dal_printer.h"
#include "support/files.h"

namespace {

using QvTest::SimDalPrinter;

// A pipe end as DriverDLLProxy makes it, connected to a client that runs
// body(client handle) on its own thread.
class PipePair {
public:
    template <typename Body>
    explicit PipePair(Body body) {
        static std::atomic<int> count{0};
        std::wstring name = L"\\\\.\\pipe\\qv-dal-test-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++count);
        bool created = CreateProxyPipe(OString(name.c_str()), m_server);
        m_client = std::thread([name, body] {
            OFileHandle client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
            DWORD mode = PIPE_READMODE_MESSAGE;
            ::SetNamedPipeHandleState(client.Get(), &mode, nullptr, nullptr);
            body(client.Get());
        });
        m_connected = created && ConnectProxyPipe(m_server, 5000);
    }
    ~PipePair() { JoinClient(); }
    bool Connected() const { return m_connected; }
    ProxyPipe& Server() { return m_server; }
    void JoinClient() {
        if (m_client.joinable()) {
            m_client.join();
        }
    }

private:
    ProxyPipe m_server;
    bool m_connected = false;
    std::thread m_client;
};

// Debugger lines: OutputDebugStringW raises this with the text (narrow in Wine).
struct DebugLines {
    static inline std::vector<std::string> lines;
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode == 0x40010006 /* DBG_PRINTEXCEPTION_C */) {
            lines.emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
};

TEST(ProxyPipe, ItemsTravelAsMessages) {
    std::wstring longText(65536 + 3, L'q');
    longText.replace(0, 3, L"abc");
    std::wstring fullText(65535, L'\0');
    std::vector<std::string> messages;
    PipePair pair([&](HANDLE client) {
        std::string buffer(1 << 18, '\0');
        DWORD read = 0;
        while (
            ::ReadFile(client, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            messages.emplace_back(buffer.data(), read);
        }
    });
    ASSERT_TRUE(pair.Connected());
    PutPipeData(pair.Server(), longText);
    PutPipeData(pair.Server(), fullText);
    PutPipeData(pair.Server(), std::wstring_view());
    PutPipeData(pair.Server(), int64_t{-2});
    pair.Server().Close();
    pair.JoinClient();
    struct Row {
        std::string bytes;
        const char* note;
    };
    const Row rows[] = {
        {std::string("\x03\x00", 2), "65539 units: the low 16 bits of the length"},
        {std::string("a\0b\0c\0", 6), "and only that many units, UTF-16LE"},
        {"\xFF\xFF", "65535 units: the length whole"},
        {std::string(65535 * 2, '\0'), "and every unit"},
        {std::string("\x00\x00", 2), "empty: a 0 length"},
        {"", "then a message of 0 bytes"},
        {"\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "-2 as 8 bytes little-endian"},
    };
    ASSERT_EQ(messages.size(), std::size(rows));
    for (size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(rows[i].note);
        EXPECT_TRUE(messages[i] == rows[i].bytes) << messages[i].size() << " bytes";
    }
}

TEST(ProxyPipe, ReplyInPiecesIsReadWhole) {
    PipePair pair([](HANDLE client) {
        DWORD written = 0;
        ::WriteFile(client, "\x01\x02\x03", 3, &written, nullptr);
        ::Sleep(100);
        ::WriteFile(client, "\x04\x05\x06\x07\x80", 5, &written, nullptr);
    });
    ASSERT_TRUE(pair.Connected());
    int64_t value = 0;
    GetPipeData(pair.Server(), value);
    EXPECT_EQ(static_cast<uint64_t>(value), 0x8007060504030201u);
}

TEST(ProxyPipe, FailuresRaiseTheFamilyAfterTheirDebuggerLine) {
    auto caught = [](auto transfer) -> std::string {
        try {
            transfer();
        } catch (const DriverProxyException& e) {
            return e.GetMessage();
        }
        return "no exception";
    };
    int64_t value = 0;
    ProxyPipe none;
    EXPECT_EQ(caught([&] { PutPipeData(none, value); }), "Invalid pipe file handle.");
    PipePair pair([](HANDLE) {});  // the client leaves at once
    ASSERT_TRUE(pair.Connected());
    pair.JoinClient();
    PVOID handler = ::AddVectoredExceptionHandler(1, &DebugLines::Catch);
    DebugLines::lines.clear();
    EXPECT_EQ(caught([&] { PutPipeData(pair.Server(), value); }), "Failed to write to pipe.");
    EXPECT_EQ(caught([&] { GetPipeData(pair.Server(), value); }), "Failed to read from pipe.");
    ::RemoveVectoredExceptionHandler(handler);
    // Codes as Wine reports a pipe whose client has gone: 232 for writes, 109
    // for reads (the same as Windows).
    std::vector<std::string> expected = {
        "DriverDLLProxy::PutPipeData() failed: bytesToWrite=8;bytesWritten=0;GetLastError()=232",
        "DriverDLLProxy::GetPipeData() failed: bytesToRead=8;bytesRead=0;GetLastError()=109"};
    EXPECT_EQ(DebugLines::lines, expected);
}

class DalProxyWineTest : public ::testing::Test {
protected:
    void SetUp() override {
        QV_SKIP_WITHOUT_PRINTER(m_printer);
        ASSERT_TRUE(m_printer.SetIsolation(1));
        SimDalPrinter::ClearCalls();
        m_handle = m_printer.Open();
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(QvSimDal::kProxyFaultVariable, nullptr);
        PrinterInfoCache::ClearThisThread();
    }
    // Opens through a proxy; its process id.
    DWORD OpenProxied(DriverDLLProxy& dal, uint64_t& handle) {
        handle = dal.PrinterOpen(m_handle.Get());
        EXPECT_TRUE(handle != 0 && dal.IsProxied());
        return SimDalPrinter::LastProcessOf(L"DAL_Proxy");
    }
    static double Seconds(ULONGLONG since) { return (::GetTickCount64() - since) / 1000.0; }

    SimDalPrinter m_printer{L"proxy", L"qvsimdal"};
    OPrinterHandle m_handle;
};

TEST_F(DalProxyWineTest, EveryOperationMatchesTheInProcessCall) {
    QvTest::ScratchFolder folder;
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(QvTest::WriteWholeFile(folder.File(L"in.txt"), "Darkness=30\r\n"));
    std::vector<std::wstring> calls[2];
    for (DWORD isolation : {0u, 1u}) {
        SCOPED_TRACE(isolation ? "through the proxy" : "in-process");
        ASSERT_TRUE(m_printer.SetIsolation(isolation));
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        uint64_t handle = dal.PrinterOpen(m_handle.Get());
        ASSERT_NE(handle, 0u);
        EXPECT_EQ(dal.IsProxied(), isolation == 1);
        const std::pair<int, uint32_t> flags[] = {{QvSimDal::kActionPrintConfiguration, 0x1},
                                                  {QvSimDal::kActionCalibrate, 0x3},
                                                  {QvSimDal::kActionResetPrinter, 0x31},
                                                  {QvSimDal::kActionHighFlag, 0x80000003},
                                                  {7, 0}};
        for (auto [action, expected] : flags) {
            EXPECT_EQ(dal.PrinterActionFlag(handle, action), expected) << action;
        }
        EXPECT_TRUE(dal.PrinterAction(handle, QvSimDal::kActionPrintConfiguration));
        EXPECT_FALSE(dal.PrinterAction(handle, 7));
        EXPECT_TRUE(dal.PrinterActionUI(handle, reinterpret_cast<HWND>(0x1234),
                                        QvSimDal::kActionCalibrate));
        dal.SettingsReset(handle, 0x2);
        dal.SettingsExport(handle, OString(folder.File(L"defaults.txt").c_str()), 0x80000001);
        dal.SettingsImport(handle, OString(folder.File(L"in.txt").c_str()), 0x4);
        dal.SettingsSave(handle);
        dal.SettingsExport(handle, OString(folder.File(L"out.txt").c_str()), 0);
        dal.SettingsExport(handle, OString(), 0);
        dal.PrinterClose(handle);
        EXPECT_EQ(QvTest::ReadWholeFile(folder.File(L"defaults.txt")),
                  std::string(QvSimDal::kDefaultSettings));
        EXPECT_EQ(QvTest::ReadWholeFile(folder.File(L"out.txt")), std::string("Darkness=30\r\n"));
        calls[isolation] = SimDalPrinter::CallTexts();
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        if (isolation == 1) {
            calls[1].erase(calls[1].begin());  // the proxy's own entry
            EXPECT_EQ(SimDalPrinter::LastProcessOf(L"DAL_Printer_Close"), proxy);
            EXPECT_TRUE(QvTest::ProcessEnded(proxy, 2000)) << "the proxy left after close";
        }
    }
    EXPECT_EQ(calls[0], calls[1]);
    ASSERT_EQ(calls[0].size(), 16u);
    EXPECT_EQ(calls[0][8], L"DAL_Printer_ActionUI " + m_printer.Printer().Name() + L" 0x1234 101");
    EXPECT_EQ(calls[0][10], L"DAL_Settings_Export " + m_printer.Printer().Name() + L" " +
                                folder.File(L"defaults.txt") + L" 0x80000001");
    EXPECT_EQ(calls[0][14], L"DAL_Settings_Export " + m_printer.Printer().Name() + L"  0x0");
}

TEST_F(DalProxyWineTest, WaitsDispatchWindowMessagesAndSlowActionsFinish) {
    DriverDLLProxy dal;
    uint64_t handle = 0;
    OpenProxied(dal, handle);
    DWORD self = ::GetCurrentThreadId();
    BOOL posted = FALSE;
    std::thread poster([&] { ::Sleep(200), posted = ::PostThreadMessageW(self, WM_APP, 0, 0); });
    ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(dal.PrinterAction(handle, QvSimDal::kActionSleepBase + 1500));
    EXPECT_GE(Seconds(start), 1.4) << "the slow action was waited for";
    poster.join();
    EXPECT_TRUE(posted);
    MSG message;
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_REMOVE))
        << "the wait took the message from the queue and dispatched it";
}

TEST_F(DalProxyWineTest, AProxyThatEndsIsNoticedAtOnceAndLaterCallsFailQuietly) {
    struct Row {
        int action;
        int killAfterMs;  // -1: not killed; 0: killed before the action
        const char* note;
    };
    const Row rows[] = {
        {QvSimDal::kActionCrash, -1, "the module crashes inside the action"},
        {QvSimDal::kActionPrintConfiguration, 0, "killed between exchanges"},
        {QvSimDal::kActionHang, 300, "killed while the action hangs"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        DriverDLLProxy dal;
        uint64_t handle = 0;
        DWORD proxy = OpenProxied(dal, handle);
        OKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, proxy));
        ASSERT_TRUE(process);
        if (row.killAfterMs == 0) {
            ::TerminateProcess(process.Get(), 1);
            ::WaitForSingleObject(process.Get(), 2000);
        }
        std::thread killer([&] {
            if (row.killAfterMs > 0) {
                ::Sleep(static_cast<DWORD>(row.killAfterMs));
                ::TerminateProcess(process.Get(), 1);
            }
        });
        ULONGLONG start = ::GetTickCount64();
        EXPECT_FALSE(dal.PrinterAction(handle, row.action));
        EXPECT_LT(Seconds(start), 3.0);
        killer.join();
        EXPECT_TRUE(QvTest::ProcessEnded(proxy, 0));
        EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionCalibrate), 0u);
        EXPECT_FALSE(dal.PrinterActionUI(handle, nullptr, QvSimDal::kActionCalibrate));
        dal.PrinterClose(handle);
    }
}

TEST_F(DalProxyWineTest, AProxyThatNeverConnectsFailsTheOpenWithinTheBound) {
    struct Row {
        const wchar_t* fault;
        double atLeast;
        double below;
    };
    // exit: RunDLL32 ends before connecting; stall: it lives but never connects.
    const Row rows[] = {{L"exit", 0.0, 3.0}, {L"stall", 9.5, 12.0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(OString(row.fault).GetNarrow());
        ::SetEnvironmentVariableW(QvSimDal::kProxyFaultVariable, row.fault);
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(dal.PrinterOpen(m_handle.Get()), 0u);
        EXPECT_GE(Seconds(start), row.atLeast);
        EXPECT_LT(Seconds(start), row.below);
        EXPECT_FALSE(dal.IsProxied());
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        EXPECT_NE(proxy, 0u);
        EXPECT_TRUE(QvTest::ProcessEnded(proxy, 2000)) << "no proxy left behind";
    }
}

}  // namespace
