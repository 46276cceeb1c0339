// The proxy pipe with a real client; DriverDLLProxy with real RunDLL32 proxies.
#include "dal/dal_proxy.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <thread>
#include <tuple>

#include "core/security.h"
#include "dal/dal_module.h"
#include "printer/printer_info.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim_dal_printer.h"
#include "dal/dal_text.h"
#include "support/files.h"
#include "support/printer_cache.h"
#include "support/process.h"

namespace {

using QvTest::SimDalPrinter;

// The product's items as a client reads them, then a reply the client writes
// in two pieces.
TEST(ProxyPipe, ItemsTravelAsMessagesAndAReplyInPiecesIsReadWhole) {
    ProxyPipe none;
    EXPECT_THROW(PutPipeData(none, int64_t{0}), DriverProxyException) << "no pipe";
    const std::wstring name =
        L"\\\\.\\pipe\\qv-dal-test-" + std::to_wstring(::GetCurrentProcessId());
    ProxyPipe server, second;
    ASSERT_TRUE(CreateProxyPipe(OString(name.c_str()), server));
    EXPECT_FALSE(CreateProxyPipe(OString(name.c_str()), second) || second.IsOpen()) << "taken";
    PSECURITY_DESCRIPTOR security = nullptr;
    wchar_t* dacl = nullptr;  // Wine keeps and reports the descriptor as given
    ASSERT_EQ(::GetSecurityInfo(server.pipe.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &security),
              0u);
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &dacl, nullptr);
    OLocalMemory owned[] = {OLocalMemory(security), OLocalMemory(dacl)};
    EXPECT_STREQ(
        dacl,
        (L"D:P(A;;GA;;;" + std::wstring(OCurrentUserSid().GetWide()) + L")(A;;GA;;;SY)").c_str());
    std::vector<std::string> messages;
    std::thread client([&] {
        OFileHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        DWORD mode = PIPE_READMODE_MESSAGE, moved = 0;
        ::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
        std::string buffer(1 << 18, '\0');
        while (messages.size() < 7 &&
               ::ReadFile(pipe.Get(), buffer.data(), DWORD(buffer.size()), &moved, nullptr)) {
            messages.emplace_back(buffer.data(), moved);
        }
        ::WriteFile(pipe.Get(), "\x01\x02\x03", 3, &moved, nullptr);
        ::Sleep(100);
        ::WriteFile(pipe.Get(), "\x04\x05\x06\x07\x80", 5, &moved, nullptr);
    });
    OScopeGuard join([&] {  // a failure must not leave the client waiting
        server.Close();
        if (client.joinable()) {
            client.join();
        }
    });
    ASSERT_TRUE(ConnectProxyPipe(server, 5000));
    // The client end is this process: it is the proxy only when the handle
    // names this process (Wine answers GetNamedPipeClientProcessId for real).
    EXPECT_FALSE(ClientIsTheProxy(server)) << "no proxy started";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION other = {};
    wchar_t program[] = L"rundll32.exe";
    ASSERT_TRUE(::CreateProcessW(nullptr, program, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &other));
    OKernelHandle otherThread(other.hThread);
    server.process.Reset(other.hProcess);
    EXPECT_FALSE(ClientIsTheProxy(server)) << "another process";
    ::TerminateProcess(server.process.Get(), 0);
    server.process.Reset(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ::GetCurrentProcessId()));
    EXPECT_TRUE(ClientIsTheProxy(server)) << "the client's own process";
    server.process.Reset();
    std::wstring longText(65536 + 3, L'q');
    longText.replace(0, 3, L"abc");
    PutPipeData(server, longText);
    PutPipeData(server, std::wstring(65535, L'\0'));
    PutPipeData(server, std::wstring_view());
    PutPipeData(server, int64_t{-2});
    int64_t value = 0;
    GetPipeData(server, value);
    EXPECT_EQ(static_cast<uint64_t>(value), 0x8007060504030201u);
    client.join();
    const std::pair<std::string, const char*> rows[] = {
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
        SCOPED_TRACE(rows[i].second);
        EXPECT_TRUE(messages[i] == rows[i].first) << messages[i].size() << " bytes";
    }
}

class DalProxyWineTest : public ::testing::Test {
protected:
    QvTest::FreshPrinterCache m_freshCache;
    void SetUp() override {
        QV_SKIP_WITHOUT_PRINTER(m_printer);
        ASSERT_TRUE(m_printer.SetIsolation(1));
        SimDalPrinter::ClearCalls();
        m_handle = m_printer.Open();
    }
    void TearDown() override { ::SetEnvironmentVariableW(QvSimDal::kProxyFaultVariable, nullptr); }
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
        EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionResetPrinter), 0x31u);
        EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionHighFlag), 0x80000003u);
        EXPECT_EQ(dal.PrinterActionFlag(handle, 7), 0u);
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
    ASSERT_EQ(calls[0].size(), 14u);
    EXPECT_EQ(calls[0][6], L"DAL_Printer_ActionUI " + m_printer.Printer().Name() + L" 0x1234 101");
    EXPECT_EQ(calls[0][12], L"DAL_Settings_Export " + m_printer.Printer().Name() + L"  0x0");
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

TEST_F(DalProxyWineTest, AProxyThatNeverConnectsFailsTheOpenWithinTheBound) {
    // exit: RunDLL32 ends before connecting; stall: it lives but never connects.
    const std::tuple<const wchar_t*, double, double> rows[] = {{L"exit", 0.0, 3.0},
                                                               {L"stall", 9.5, 12.0}};
    for (const auto& [fault, atLeast, below] : rows) {
        SCOPED_TRACE(OString(fault).GetNarrow());
        ::SetEnvironmentVariableW(QvSimDal::kProxyFaultVariable, fault);
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(dal.PrinterOpen(m_handle.Get()), 0u);
        EXPECT_GE(Seconds(start), atLeast);
        EXPECT_LT(Seconds(start), below);
        EXPECT_FALSE(dal.IsProxied());
        DWORD proxy = SimDalPrinter::LastProcessOf(L"DAL_Proxy");
        EXPECT_NE(proxy, 0u);
        EXPECT_TRUE(QvTest::ProcessEnded(proxy, 2000)) << "no proxy left behind";
    }
}

// After a WM_QUIT the wait still lets through what another thread sends: its
// sender would otherwise wait as long as the wait does.
TEST(ProxyPipe, AMessageSentAfterAQuitIsStillDelivered) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    OScopeGuard destroy([&] { ::DestroyWindow(window); });
    OKernelHandle delivered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ::PostQuitMessage(3);
    // The send is bounded, and outlasts the wait: a message the wait leaves
    // undispatched would otherwise hold the sender, and the join below, which
    // dispatches nothing, for ever.
    std::thread sender([&] {
        ::Sleep(100);
        DWORD_PTR answer = 0;
        if (::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer) != 0) {
            ::SetEvent(delivered.Get());
        }
    });
    const PipeWaitResult result = WaitForPipe(delivered.Get(), nullptr, 3000);
    sender.join();
    EXPECT_EQ(result, PipeWaitResult::Signalled);
    MSG message = {};
    EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 3u) << "the quit is posted again for the host's loop";
}

// A timer's procedure runs from the exchange's wait: it calls the same object,
// then quits. Its calls return at once without reaching the proxy; after the
// WM_QUIT the wait dispatches nothing more (no second tick) and posts the quit
// again for the host's loop.
TEST_F(DalProxyWineTest, ACallFromAMessageDuringAnExchangeIsRefusedAndAQuitOutlivesTheWait) {
    DriverDLLProxy dal;
    uint64_t handle = 0;
    OpenProxied(dal, handle);
    static struct {
        DriverDLLProxy* dal;
        uint64_t handle;
        int ticks;
        bool busy, refused;
        ULONGLONG ms;
    } s;
    s = {&dal, handle, 0, false, false, 0};
    UINT_PTR timer = ::SetTimer(nullptr, 0, 200, [](HWND, UINT, UINT_PTR, DWORD) {
        ULONGLONG start = ::GetTickCount64();
        s.busy = s.dal->IsBusy();
        s.refused = !s.dal->PrinterAction(s.handle, QvSimDal::kActionPrintConfiguration) &&
                    s.dal->PrinterActionFlag(s.handle, QvSimDal::kActionResetPrinter) == 0;
        s.ms = ::GetTickCount64() - start, ++s.ticks;
        ::PostQuitMessage(7);
    });
    EXPECT_TRUE(dal.PrinterAction(handle, QvSimDal::kActionSleepBase + 1000)) << "the outer one";
    ::KillTimer(nullptr, timer);
    EXPECT_TRUE(s.ticks == 1 && s.busy && s.refused && s.ms < 100) << s.ticks << " " << s.ms;
    MSG message = {};
    EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_FALSE(dal.IsBusy());
    EXPECT_EQ(dal.PrinterActionFlag(handle, QvSimDal::kActionResetPrinter), 0x31u)
        << "still serves";
    std::vector<std::wstring> calls = SimDalPrinter::CallTexts();
    const std::wstring name = m_printer.Printer().Name();
    calls.erase(calls.begin());  // the proxy's own entry
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"DAL_Printer_Open " + name,
                                                L"DAL_Printer_Action " + name + L" 11000",
                                                L"DAL_Printer_ActionFlag " + name + L" 102"}))
        << "nothing nested reached the proxy";
}

// The other process: holds the pipe named in the environment, allowing the
// instances named there, until the parent lets it go.
TEST(DalPipeHolder, DISABLED_HoldsThePipeName) {
    wchar_t name[256] = {}, instances[8] = {};
    ::GetEnvironmentVariableW(L"QV_HELD_PIPE", name, 256);
    ::GetEnvironmentVariableW(L"QV_HELD_PIPE_INSTANCES", instances, 8);
    OFileHandle pipe(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                        _wtoi(instances), 256, 256, 0, nullptr));
    std::wstring events = std::wstring(name).substr(9);  // past "\\\\.\\pipe\\"
    OKernelHandle held(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (events + L"-held").c_str()));
    OKernelHandle release(::OpenEventW(SYNCHRONIZE, FALSE, (events + L"-release").c_str()));
    ASSERT_TRUE(pipe && ::SetEvent(held.Get()));
    ::WaitForSingleObject(release.Get(), 20000);
}

// Windows refuses the first instance whatever the holder allowed. Wine 8
// ignores FILE_FLAG_FIRST_PIPE_INSTANCE: it refuses only when the holder
// allowed one instance and otherwise adds one to the holder's pipe, which the
// product's instance count then finds (without it the proxy reaches the
// holder's end and the open waits out its 10 s).
TEST_F(DalProxyWineTest, APipeNameTakenByAnotherProcessFailsTheOpenAtOnceAndStartsNothing) {
    for (const wchar_t* instances : {L"1", L"255"}) {
        SCOPED_TRACE(OString(instances).GetNarrow());
        SimDalPrinter::ClearCalls();
        DriverDLLProxy dal;
        const std::wstring name = dal.NextPipeName().GetWide();
        ::SetEnvironmentVariableW(L"QV_HELD_PIPE", name.c_str());
        ::SetEnvironmentVariableW(L"QV_HELD_PIPE_INSTANCES", instances);
        OKernelHandle held(
            ::CreateEventW(nullptr, TRUE, FALSE, (name.substr(9) + L"-held").c_str()));
        OKernelHandle release(
            ::CreateEventW(nullptr, TRUE, FALSE, (name.substr(9) + L"-release").c_str()));
        std::thread holder([] {
            QvTest::RunProgram(
                L"dal_wine_tests.exe --gtest_filter=DalPipeHolder.* "
                L"--gtest_also_run_disabled_tests");
        });
        OScopeGuard end([&] { ::SetEvent(release.Get()), holder.join(); });
        ASSERT_EQ(::WaitForSingleObject(held.Get(), 10000), WAIT_OBJECT_0);
        ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(dal.PrinterOpen(m_handle.Get()), 0u);
        EXPECT_LT(Seconds(start), 1.0);
        EXPECT_EQ(SimDalPrinter::LastProcessOf(L"DAL_Proxy"), 0u) << "no proxy was started";
        end.Dismiss();
        ::SetEvent(release.Get()), holder.join();
        uint64_t handle = 0;
        OpenProxied(dal, handle);  // the name free again: the same object opens
    }
}

}  // namespace
