// The proxy's pipe with a real client, and DriverDLLProxy with real RunDLL32
// proxy processes serving the simulated DAL module.
#include "dal/dal_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "dal/dal_module.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim_dal_printer.h"
#include "support/files.h"

namespace {

using QvTest::SimDalPrinter;

// A pipe end as DriverDLLProxy makes it, and a client on its own thread.
class PipePair {
public:
    PipePair() {
        static std::atomic<int> count{0};
        m_name = L"\\\\.\\pipe\\qv-dal-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++count);
        m_created = CreateProxyPipe(OString(m_name.c_str()), m_server);
    }
    // Connects a client that runs body(client handle) on its own thread.
    template <typename Body>
    bool Connect(Body body) {
        m_client = std::thread([this, body] {
            OFileHandle client(::CreateFileW(m_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
            DWORD mode = PIPE_READMODE_MESSAGE;
            ::SetNamedPipeHandleState(client.Get(), &mode, nullptr, nullptr);
            body(client.Get());
        });
        return m_created && ConnectProxyPipe(m_server, 5000);
    }
    ~PipePair() {
        if (m_client.joinable()) {
            m_client.join();
        }
    }
    ProxyPipe& Server() { return m_server; }
    void JoinClient() { m_client.join(); }

private:
    std::wstring m_name;
    ProxyPipe m_server;
    bool m_created = false;
    std::thread m_client;
};

// Debugger lines of the running test (OutputDebugStringW raises this
// exception with the text; Wine hands it on in narrow form).
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
    std::wstring fullText(65535, L'z');
    std::vector<std::string> messages;
    PipePair pair;
    ASSERT_TRUE(pair.Connect([&](HANDLE client) {
        std::string buffer(1 << 18, '\0');
        DWORD read = 0;
        while (
            ::ReadFile(client, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            messages.emplace_back(buffer.data(), read);
        }
    }));
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
        {std::string(65535 * 2, '\0'), "and every unit (size checked; 'z' below)"},
        {std::string("\x00\x00", 2), "empty: a 0 length"},
        {"", "then a message of 0 bytes"},
        {"\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "-2 as 8 bytes little-endian"},
    };
    ASSERT_EQ(messages.size(), std::size(rows));
    for (size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(rows[i].note);
        if (i == 3) {
            EXPECT_EQ(messages[i].size(), rows[i].bytes.size());
            EXPECT_EQ(messages[i].find_first_not_of(std::string("z\0", 2)), std::string::npos);
        } else {
            EXPECT_EQ(messages[i], rows[i].bytes);
        }
    }
}

TEST(ProxyPipe, ReplyInPiecesIsReadWhole) {
    PipePair pair;
    ASSERT_TRUE(pair.Connect([](HANDLE client) {
        DWORD written = 0;
        ::WriteFile(client, "\x01\x02\x03", 3, &written, nullptr);
        ::Sleep(100);
        ::WriteFile(client, "\x04\x05\x06\x07\x80", 5, &written, nullptr);
        ::WriteFile(client, "\x2A\0\0\0\0\0\0\0", 8, &written, nullptr);
    }));
    int64_t value = 0;
    GetPipeData(pair.Server(), value);
    EXPECT_EQ(static_cast<uint64_t>(value), 0x8007060504030201u);
    GetPipeData(pair.Server(), value);
    EXPECT_EQ(value, 42);
}

TEST(ProxyPipe, FailuresRaiseTheFamilyAfterTheirDebuggerLine) {
    ProxyPipe none;
    try {
        PutPipeData(none, int64_t{1});
        ADD_FAILURE() << "no exception";
    } catch (const DriverProxyException_InvalidHandle& e) {
        EXPECT_STREQ(e.GetMessage(), "Invalid pipe file handle.");
    }
    PipePair pair;
    ASSERT_TRUE(pair.Connect([](HANDLE) {}));  // the client leaves at once
    pair.JoinClient();
    PVOID handler = ::AddVectoredExceptionHandler(1, &DebugLines::Catch);
    DebugLines::lines.clear();
    const char* messages[2] = {};
    try {
        PutPipeData(pair.Server(), int64_t{1});
    } catch (const DriverProxyException& e) {
        messages[0] = e.GetMessage();
    }
    try {
        int64_t value = 0;
        GetPipeData(pair.Server(), value);
    } catch (const DriverProxyException& e) {
        messages[1] = e.GetMessage();
    }
    ::RemoveVectoredExceptionHandler(handler);
    EXPECT_STREQ(messages[0], "Failed to write to pipe.");
    EXPECT_STREQ(messages[1], "Failed to read from pipe.");
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
    std::wstring exported[2];
    std::vector<std::wstring> calls[2];
    for (DWORD isolation : {0u, 1u}) {
        SCOPED_TRACE(isolation ? "through the proxy" : "in-process");
        ASSERT_TRUE(m_printer.SetIsolation(isolation));
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        uint64_t handle = dal.PrinterOpen(m_handle.Get());
        ASSERT_NE(handle, 0u);
        EXPECT_EQ(dal.IsProxied(), isolation == 1);
        const std::pair<int, uint32_t> flags[] = {
            {QvSimDal::kActionPrintConfiguration, 0x1},
            {QvSimDal::kActionCalibrate, 0x3},
            {QvSimDal::kActionResetPrinter, 0x31},
            {QvSimDal::kActionHighFlag, 0x80000003},
            {7, 0},
        };
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
        EXPECT_FALSE(dal.IsProxied());
        exported[isolation] = folder.File(L"out.txt");
        EXPECT_EQ(QvTest::ReadWholeFile(folder.File(L"defaults.txt")),
                  std::string(QvSimDal::kDefaultSettings));
        EXPECT_EQ(QvTest::ReadWholeFile(folder.File(L"out.txt")), std::string("Darkness=30\r\n"));
        calls[isolation] = SimDalPrinter::CallTexts();
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        if (isolation == 1) {
            calls[1].erase(calls[1].begin());  // the proxy's own entry
            EXPECT_NE(proxy, 0u);
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

// A message-only window that notes that something dispatched its message.
struct Listener {
    static inline std::atomic<bool> dispatched{false};
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_APP) {
            dispatched = true;
        }
        return ::DefWindowProcW(window, message, w, l);
    }
};

TEST_F(DalProxyWineTest, WaitsDispatchWindowMessagesAndSlowActionsFinish) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &Listener::Procedure;
    windowClass.lpszClassName = L"QvDalTestListener";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    DriverDLLProxy dal;
    uint64_t handle = 0;
    OpenProxied(dal, handle);
    Listener::dispatched = false;
    std::thread poster([window] {
        ::Sleep(200);
        ::PostMessageW(window, WM_APP, 0, 0);
    });
    ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(dal.PrinterAction(handle, QvSimDal::kActionSleepBase + 1500));
    EXPECT_GE(Seconds(start), 1.4) << "the slow action was waited for";
    poster.join();
    EXPECT_TRUE(Listener::dispatched) << "nothing else pumps this thread's messages";
    ::DestroyWindow(window);
}

TEST_F(DalProxyWineTest, ACrashingActionTakesDownOnlyTheProxy) {
    DriverDLLProxy dal;
    uint64_t handle = 0;
    DWORD proxy = OpenProxied(dal, handle);
    ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(dal.PrinterAction(handle, QvSimDal::kActionCrash));
    EXPECT_LT(Seconds(start), 5.0);
    EXPECT_TRUE(QvTest::ProcessEnded(proxy, 0));
    EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionPrintConfiguration), 0u);
    EXPECT_FALSE(dal.PrinterActionUI(handle, nullptr, QvSimDal::kActionCalibrate));
    dal.SettingsSave(handle);
    dal.PrinterClose(handle);
}

TEST_F(DalProxyWineTest, AProxyEndedBetweenOrDuringExchangesIsNoticedAtOnce) {
    for (bool during : {false, true}) {
        SCOPED_TRACE(during ? "during a hanging action" : "between exchanges");
        DriverDLLProxy dal;
        uint64_t handle = 0;
        DWORD proxy = OpenProxied(dal, handle);
        OKernelHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, proxy));
        ASSERT_TRUE(process);
        std::thread killer([&] {
            ::Sleep(during ? 300 : 0);
            ::TerminateProcess(process.Get(), 1);
        });
        if (!during) {
            killer.join();
            ASSERT_TRUE(QvTest::ProcessEnded(proxy, 2000));
        }
        ULONGLONG start = ::GetTickCount64();
        EXPECT_FALSE(dal.PrinterAction(
            handle, during ? QvSimDal::kActionHang : QvSimDal::kActionPrintConfiguration));
        EXPECT_LT(Seconds(start), 2.0);
        if (during) {
            killer.join();
        }
        EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionCalibrate), 0u);
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
