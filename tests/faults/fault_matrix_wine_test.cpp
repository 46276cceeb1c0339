// What a host sees when a printer, its driver or the machine misbehaves: each
// row a real fault on a real Wine printer whose driver carries the simulated
// DAL module and whose XPML server is the simulated one, met through the
// driver interface exports. Each row states the answer and how long the host
// waited. Faults that end or stall the host run in a child copy of this
// program.

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dal/sim_dal_printer.h"
#include "core/clock.h"
#include "diagnostics/event_log.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "diagnostics/minidump.h"
#include "driver_interface/di_exports.h"
#include "net/socket_pool.h"
#include "printer/printer_info.h"
#include "printer/printer_info_reader.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "sim/dal_module/sim_dal_module.h"
#include "sim/label_printer.h"
#include "sim/printer_setup.h"
#include "sim/unreachable_port.h"
#include "sim/xpml_server_process.h"
#include "support/sim_server_test.h"
#include "support/files.h"
#include "support/logged_events.h"
#include "support/printer_cache.h"
#include "support/process.h"
#include "support/scratch_registry.h"

namespace {

using QvTest::SimDalPrinter;
using QvTest::TakeBstr;
using Settings = std::vector<std::pair<std::string, std::string>>;

constexpr DWORD kTimeoutMs = 400;
constexpr DWORD kRetries = 1;
// One status call: every attempt's time-out, plus connecting and the spooler's calls.
constexpr int64_t kStatusBudgetMs = (kRetries + 1) * kTimeoutMs + 500;
// A DAL call that fails because its proxy died.
constexpr int64_t kDeadProxyBudgetMs = 3000;
constexpr wchar_t kChildPrinter[] = L"QV_FAULT_PRINTER";
constexpr wchar_t kChildAction[] = L"QV_FAULT_ACTION";

int64_t MsSince(ULONGLONG start) {
    return static_cast<int64_t>(::GetTickCount64() - start);
}

// The status a host reads, and the slowest of the three calls.
struct Seen {
    std::wstring text;
    unsigned long flags = 0;
    unsigned long extended = 0;
    int64_t slowestMs = 0;
};

// watchMs: the interface watches, and is read once its first refresh is in.
Seen ReadStatus(HANDLE printer, DWORD watchMs = 0) {
    Seen seen;
    HDRIVERINTERFACE driver = DI_Open_impl(printer);
    unsigned long long sequence = 0;
    if (watchMs != 0 &&
        !(QVDI_WatchStatus(driver, watchMs) && QVDI_WaitForStatusChange(driver, &sequence, 5000))) {
        seen.slowestMs = -1;
    }
    auto timed = [&](auto call) {
        const ULONGLONG start = ::GetTickCount64();
        call();
        seen.slowestMs = std::max(seen.slowestMs, MsSince(start));
    };
    timed([&] { seen.text = TakeBstr(DI_GetPrinterStatusText_impl(driver)); });
    timed([&] { seen.flags = DI_GetPrinterStatusFlags_impl(driver); });
    timed([&] { seen.extended = DI_GetPrinterExtendedStatusFlags_impl(driver); });
    DI_Close_impl(driver);
    return seen;
}

class FaultMatrix : public QvTest::SimServerTest {
protected:
    QvTest::FreshPrinterCache m_freshCache;

    void SetUp() override {
        SimDalPrinter::ClearCalls();
        SimServerTest::SetUp();
        if (!Ready()) {
            return;
        }
        QV_SKIP_WITHOUT_PRINTER(m_printer);
        m_network.SetRedirect(false);
        SoundSettings();
        m_handle = m_printer.Open();
        ASSERT_TRUE(m_handle);
    }
    void SoundSettings() {
        ASSERT_TRUE(QvSim::FollowXpmlServer(m_printer.Printer().Name(), s_server->Port()));
        SetNetwork("Connection Timeout", REG_DWORD, kTimeoutMs);
        SetNetwork("Connection Retries", REG_DWORD, kRetries);
    }
    void TearDown() override {
        QvSim::ForgetXpmlServer(m_printer.Printer().Name());
        m_network.Delete("NETWORK:Connection Timeout", false);
        m_network.Delete("NETWORK:Connection Retries", false);
    }

    template <typename T>
    void SetNetwork(const char* name, DWORD type, const T& value) {
        ASSERT_EQ(m_network.SetValue(OString("NETWORK:") + name, &value, sizeof value, type),
                  int32_t{sizeof value});
    }
    // "Settings:Status/Status Monitoring Mode" of another type or size.
    template <typename T>
    void SetMonitoringAs(DWORD type, const T& data) {
        const std::wstring key = QvSim::DriverSettingsKey(m_printer.Printer().Name(), L"Status");
        ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Status Monitoring Mode",
                                    type, &data, sizeof data),
                  ERROR_SUCCESS);
    }
    // The printer's status as the spooler alone tells it (monitoring off).
    Seen SpoolerStatus() {
        QvSim::SetDriverSetting(m_printer.Printer().Name(), L"Status", L"Status Monitoring Mode",
                                0);
        Seen seen = ReadStatus(m_handle.Get());
        SoundSettings();
        return seen;
    }
    static int ActiveConnections() {
        const int active = TCPSocketManager::Obtain()->ActiveCount();
        TCPSocketManager::Release();
        return active;
    }

    SimDalPrinter m_printer{L"fault", L"qvsimdal"};
    PrinterRegistry m_network{RegistryFactsOf(OString(m_printer.Printer().Name().c_str()))};
    OPrinterHandle m_handle;
};

TEST_F(FaultMatrix, AnXpmlServerThatFailsLeavesTheSpoolerStatusWithinTheTimeOut) {
    const Seen spooler = SpoolerStatus();
    const Settings state = {{"status", "Head Open"}, {"severity", "2"}, {"flags2", "00000002"}};
    struct Row {
        const char* misbehave;
        const char* delayMs;
        bool answered;
        const char* note;
        const char* count = "-1";  // answers that misbehave
    } rows[] = {
        {"none", "0", true, "sound: the printer's own status"},
        {"split", "60", true, "pauses shorter than the time-out"},
        {"refuse", "0", false, "nobody listens on the port"},
        {"late", "5000", false, "accepts and never answers in time"},
        {"close", "0", false, "closes without a word"},
        {"cut-header", "0", false, "closes in the middle of the header block"},
        {"cut-body", "0", false, "closes in the middle of the body"},
        {"404", "0", false, "404"},
        {"500", "0", false, "500"},
        {"wrong-tid", "0", false, "another transaction's answer"},
        {"oversized", "0", false, "a Content-Length past the cap, then filler"},
        {"bad-length", "0", false, "a Content-Length that is no number"},
        {"endless-headers", "2", false, "a header block that never ends"},
        {"trickle", "150", false, "one byte at a time past the time-out"},
        {"no-length", "150", true, "no length, the body late, then closed: the body is the answer"},
        {"no-length-open", "150", true,
         "no length, the connection left open: no answer, and the retry's connection is new", "1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        // Nothing listens on port 1 of the loopback address.
        const bool refuse = std::string(row.misbehave) == "refuse";
        Settings control = {{"reset", "1"}, {"delay", row.delayMs}, {"count", row.count}};
        control.insert(control.end(), state.begin(), state.end());
        control.emplace_back("misbehave", refuse ? "none" : row.misbehave);
        ASSERT_FALSE(s_server->Control(control).empty());
        SetNetwork("TCP Port", REG_DWORD, static_cast<DWORD>(refuse ? 1 : s_server->Port()));
        const Seen seen = ReadStatus(m_handle.Get());
        if (row.answered) {
            EXPECT_EQ(seen.text, L"Head Open");
            EXPECT_EQ(seen.extended, 0x80000002u);
        } else {
            EXPECT_EQ(seen.text, spooler.text);
            EXPECT_EQ(seen.flags, spooler.flags);
            EXPECT_EQ(seen.extended, spooler.extended);
        }
        EXPECT_LT(seen.slowestMs, kStatusBudgetMs);
        EXPECT_EQ(ActiveConnections(), 0) << "no connection left in use";
    }
}

// The same faults seen by a watched interface: the first refresh has taken
// the time-outs, the host's calls take none of them.
TEST_F(FaultMatrix, AWatchedPrinterAnswersAtOnceWhateverTheServerDoes) {
    const Seen spooler = SpoolerStatus();
    const struct {
        const char* misbehave;
        bool answered;
    } rows[] = {{"none", true}, {"late", false},      {"close", false},
                {"500", false}, {"wrong-tid", false}, {"trickle", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.misbehave);
        ASSERT_FALSE(s_server
                         ->Control({{"reset", "1"},
                                    {"delay", "5000"},
                                    {"status", "Head Open"},
                                    {"severity", "2"},
                                    {"misbehave", row.misbehave}})
                         .empty());
        const Seen seen = ReadStatus(m_handle.Get(), 100);
        EXPECT_EQ(seen.text, row.answered ? L"Head Open" : spooler.text);
        EXPECT_EQ(seen.flags, spooler.flags);
        EXPECT_GE(seen.slowestMs, 0) << "the first refresh never came";
        EXPECT_LT(seen.slowestMs, 20);
    }
}

// A resolver that never answers until the test lets it go.
struct StalledResolver {
    static inline HANDLE release = nullptr;
    static int WSAAPI GetAddrInfo(const wchar_t*, const wchar_t*, const ADDRINFOW*,
                                  ADDRINFOW** results) {
        *results = nullptr;
        ::WaitForSingleObject(release, INFINITE);
        return WSAHOST_NOT_FOUND;
    }
};

// A printer that is switched off or behind a firewall drops the connection
// attempt without a reset, and a name server may never answer: the system's
// own waits run to minutes, and the host must see none of them.
TEST_F(FaultMatrix, AnUnreachablePrinterOrAStalledResolverCostsOnlyTheTimeOuts) {
    QvSim::UnreachablePort unreachable;
    ASSERT_TRUE(unreachable.Ok()) << "the accept queue could not be kept full";
    const Seen spooler = SpoolerStatus();
    OKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    StalledResolver::release = release.Get();
    OSocketApi stalled = OSocketApi::Current();
    stalled.getAddrInfoW = &StalledResolver::GetAddrInfo;
    OSocketApiOverride resolver(stalled);
    const struct Row {
        DWORD retries;
        bool byName;
        const char* note;
    } rows[] = {
        {0, false, "switched off, no retries"},
        {2, false, "switched off, two retries"},
        {0, true, "the resolver never answers, no retries"},
        {2, true, "the resolver never answers, two retries"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        SetNetwork("Connection Retries", REG_DWORD, row.retries);
        SetNetwork("TCP Port", REG_DWORD, static_cast<DWORD>(unreachable.Port()));
        SetNetwork("Server Address Override", REG_BINARY, static_cast<uint8_t>(row.byName));
        SetNetwork("Server Address", REG_SZ, L"printer.invalid");
        const Seen seen = ReadStatus(m_handle.Get());
        EXPECT_EQ(seen.text, spooler.text);
        EXPECT_EQ(seen.extended, spooler.extended);
        EXPECT_LT(seen.slowestMs, int64_t{(row.retries + 1) * kTimeoutMs + 500});
        EXPECT_EQ(ActiveConnections(), 0) << "no connection left in use";
    }
    m_network.Delete("NETWORK:Server Address Override", false);
    m_network.Delete("NETWORK:Server Address", false);
    ::SetEvent(release.Get());
}

TEST_F(FaultMatrix, SettingsMissingOrOfTheWrongTypeOrSizeReadAsTheirDefaults) {
    const Seen spooler = SpoolerStatus();
    ASSERT_FALSE(s_server->Control({{"status", "Head Open"}, {"severity", "2"}}).empty());
    const std::wstring settings = QvSim::DriverSettingsKey(m_printer.Printer().Name(), L"");
    struct Row {
        std::function<void()> fault;
        bool asks;
        const char* note;
    } rows[] = {
        {[&] { SetMonitoringAs(REG_SZ, L"1"); }, false, "monitoring as text"},
        {[&] { SetMonitoringAs(REG_BINARY, uint8_t{1}); }, false, "monitoring as one byte"},
        {[&] { SetMonitoringAs(REG_QWORD, uint64_t{1}); }, false, "monitoring as eight bytes"},
        {[&] { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, settings.c_str()); }, false,
         "no settings key at all"},
        {[&] { SetNetwork("TCP Port", REG_SZ, L"5130"); }, false, "port as text: the default port"},
        {[&] { SetNetwork("Connection Timeout", REG_BINARY, uint16_t{1}); }, true,
         "time-out of two bytes: the default"},
        {[&] { SetNetwork("Connection Retries", REG_SZ, L"\x4e2d"); }, true, "retries as text"},
        {[&] { SetNetwork("Network Bidirectional", REG_DWORD, DWORD{0}); }, true,
         "a flag byte given four"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        SoundSettings();
        row.fault();
        QvTest::FreshPrinterCache::Forget();
        const int64_t before = s_server->Requests();
        const Seen seen = ReadStatus(m_handle.Get());
        EXPECT_EQ(seen.text, row.asks ? L"Head Open" : spooler.text);
        EXPECT_EQ(s_server->Requests() > before, row.asks);
        EXPECT_LT(seen.slowestMs, kStatusBudgetMs);
    }
}

TEST_F(FaultMatrix, APrinterDeletedUnderAnOpenHandleKeepsItsStatusButNoDriver) {
    const Seen spooler = SpoolerStatus();
    HDRIVERINTERFACE driver = DI_Open_impl(m_handle.Get());
    ASSERT_NE(driver, nullptr);
    QvSim::RemovePrinter(m_printer.Printer().Name());
    QvTest::FreshPrinterCache::Forget();
    const ULONGLONG start = ::GetTickCount64();
    // The spooler keeps a deleted printer for its open handles, not its driver.
    EXPECT_EQ(TakeBstr(DI_GetPrinterStatusText_impl(driver)), spooler.text);
    EXPECT_EQ(DI_GetPrinterStatusFlags_impl(driver), spooler.flags);
    EXPECT_EQ(DI_GetPrinterExtendedStatusFlags_impl(driver), spooler.extended);
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverVersion_impl(driver)), L"(null)");
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverDate_impl(driver)), L"(null)");
    EXPECT_FALSE(DI_IsCommandSupported_impl(driver, QvSimDal::kActionPrintConfiguration));
    DI_Command_impl(driver, 1);
    DI_Close_impl(driver);
    EXPECT_LT(MsSince(start), kStatusBudgetMs);
}

// A host that runs one DAL action of the printer named in the environment and
// ends normally; FaultMatrix runs it as a child when the fault may end or stall
// the host.
TEST(FaultMatrixChild, DISABLED_RunsOneDalAction) {
    wchar_t name[512] = {}, action[16] = {};
    ::GetEnvironmentVariableW(kChildPrinter, name, 512);
    ::GetEnvironmentVariableW(kChildAction, action, 16);
    HANDLE printer = nullptr;
    ASSERT_TRUE(::OpenPrinterW(name, &printer, nullptr));
    HDRIVERINTERFACE driver = DI_Open_impl(printer);
    DI_Command_impl(driver, _wtoi(action));
    DI_Close_impl(driver);
    ::ClosePrinter(printer);
}

// The exit code of a child host running the action, STILL_ACTIVE when it was
// still running after five seconds (it is ended then).
DWORD RunChild(const std::wstring& printer, int action) {
    ::SetEnvironmentVariableW(kChildPrinter, printer.c_str());
    ::SetEnvironmentVariableW(kChildAction, std::to_wstring(action).c_str());
    return QvTest::RunProgram(
               L"faults_wine_tests.exe --gtest_filter=FaultMatrixChild.* "
               L"--gtest_also_run_disabled_tests",
               5000)
        .exitCode;
}

TEST_F(FaultMatrix, DalModuleFaults) {
    using namespace QvSimDal;
    const std::wstring name = m_printer.Printer().Name();
    // The actions run in a child host: in-process, nothing stands between a
    // module's fault and its host.
    struct ChildRow {
        DWORD isolation;
        int action;
        DWORD exitCode;
        const char* note;
    } childRows[] = {
        {0, kActionPrintConfiguration, 0, "a sound action"},
        {0, kActionCrash, EXCEPTION_ACCESS_VIOLATION,
         "in-process: the module's crash ends the host"},
        {0, kActionHang, STILL_ACTIVE, "in-process: the module's hang stalls the host"},
        {1, kActionCrash, 0, "isolated: the proxy dies, the host carries on"},
        {1, kActionHang, STILL_ACTIVE, "isolated: a living proxy is waited for"},
    };
    for (const ChildRow& row : childRows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(m_printer.SetIsolation(row.isolation));
        SimDalPrinter::ClearCalls();
        EXPECT_EQ(RunChild(name, row.action), row.exitCode);
        EXPECT_TRUE(QvTest::ProcessEnded(SimDalPrinter::LastProcessOf(L"DAL_Proxy"), 2000))
            << "no proxy outlives its host";
    }
    // In this host: the module's faults that leave it running.
    struct Row {
        const wchar_t* variant;  // null: the module file is gone
        DWORD isolation;
        int action;
        int killAfterMs;  // the proxy is killed that long into the action; -1: never
        const char* note;
    } rows[] = {
        {L"qvsimdal", 1, kActionSleepBase + 5000, 300, "the proxy killed mid-exchange"},
        {L"qvsimdal", 1, kActionCrash, -1, "the proxy's module crashes"},
        {nullptr, 0, kActionPrintConfiguration, -1, "the module is missing"},
        {L"qvsimdal_bare", 0, kActionPrintConfiguration, -1, "the module lacks most exports"},
        {L"qvsimdal_noopen", 1, kActionPrintConfiguration, -1, "the module cannot open"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        SimDalPrinter printer(L"dal", row.variant != nullptr ? row.variant : L"qvsimdal");
        ASSERT_TRUE(printer.Ok() && printer.SetIsolation(row.isolation));
        if (row.variant == nullptr) {
            ASSERT_TRUE(::DeleteFileW(printer.ModulePath().c_str()));
        }
        SimDalPrinter::ClearCalls();
        OPrinterHandle handle = printer.Open();
        HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
        const bool sound = row.action != kActionPrintConfiguration;
        EXPECT_EQ(DI_IsCommandSupported_impl(driver, row.action), sound);
        std::thread killer([&] {
            if (row.killAfterMs >= 0) {
                ::Sleep(row.killAfterMs);
                OKernelHandle proxy(::OpenProcess(PROCESS_TERMINATE, FALSE,
                                                  SimDalPrinter::LastProcessOf(L"DAL_Proxy")));
                ::TerminateProcess(proxy.Get(), 1);
            }
        });
        const ULONGLONG start = ::GetTickCount64();
        DI_Command_impl(driver, row.action);
        EXPECT_LT(MsSince(start), kDeadProxyBudgetMs);
        killer.join();
        EXPECT_FALSE(DI_IsCommandSupported_impl(driver, kActionPrintConfiguration))
            << "a dead or missing module supports nothing";
        EXPECT_TRUE(DI_IsCommandSupported_impl(driver, 1)) << "the test page needs no module";
        DI_Close_impl(driver);
    }
}

// A settings call that did nothing says so, and why: the module refused the
// file (its own last error when it runs in the host; through a proxy only its
// FALSE travels) or lacks the function. A refused import or reset is not saved.
TEST_F(FaultMatrix, SettingsCallsThatDidNothingSayWhy) {
    SimDalPrinter bare(L"bare", L"qvsimdal_bare");
    ASSERT_TRUE(bare.Ok());
    QvTest::ScratchFolder folder;
    const std::wstring missing = folder.File(L"missing.txt");
    const struct Row {
        const SimDalPrinter* printer;
        DWORD isolation;
        char action;  // 'i'mport, 'e'xport, 'r'eset
        const wchar_t* path;
        DWORD error;
        const char* note;
    } rows[] = {
        {&m_printer, 0, 'i', missing.c_str(), ERROR_FILE_NOT_FOUND, "a missing file"},
        {&m_printer, 0, 'e', L"C:\\no\\such\\dir\\out.txt", ERROR_PATH_NOT_FOUND,
         "a folder that does not exist"},
        {&m_printer, 1, 'i', missing.c_str(), ERROR_GEN_FAILURE, "a missing file, isolated"},
        {&bare, 0, 'e', missing.c_str(), ERROR_PROC_NOT_FOUND, "no export function"},
        {&bare, 0, 'r', nullptr, ERROR_PROC_NOT_FOUND, "no reset function"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(row.printer->SetIsolation(row.isolation));
        OPrinterHandle handle = row.printer->Open();
        HDRIVERINTERFACE driver = DI_Open_impl(handle.Get());
        SimDalPrinter::ClearCalls();
        ::SetLastError(0xDEADBEEF);
        const BOOL done = row.action == 'i'   ? QVDI_ImportSettings(driver, row.path, 0)
                          : row.action == 'e' ? QVDI_ExportSettings(driver, row.path, 0)
                                              : QVDI_ResetSettings(driver, 0);
        EXPECT_EQ(::GetLastError(), row.error);
        EXPECT_FALSE(done);
        for (const std::wstring& call : SimDalPrinter::CallTexts()) {
            EXPECT_FALSE(call.starts_with(L"DAL_Settings_Save")) << "a refused change is not saved";
        }
        DI_Close_impl(driver);
    }
}

// The window procedure of the test below: it calls the interface back.
struct Reentry {
    static inline HDRIVERINTERFACE driver = nullptr;
    static inline int ticks = 0;
    static inline int64_t slowestMs = 0;
    static inline bool anyAnswer = false;
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message != WM_TIMER) {
            return ::DefWindowProcW(window, message, w, l);
        }
        ++ticks;
        const ULONGLONG start = ::GetTickCount64();
        anyAnswer = anyAnswer || TakeBstr(DI_GetPrinterStatusText_impl(driver)) != L"(null)" ||
                    DI_IsCommandSupported_impl(driver, QvSimDal::kActionPrintConfiguration);
        slowestMs = std::max(slowestMs, MsSince(start));
        return 0;
    }
};

// A window of the host whose timer fires while an isolated DAL action waits:
// the proxy's wait dispatches it, and its procedure calls the same interface.
// Those calls are refused at once; the action and the interface carry on.
TEST_F(FaultMatrix, AWindowThatCallsBackDuringADalActionIsAnsweredNeutrally) {
    WNDCLASSW type = {};
    type.lpfnWndProc = &Reentry::Procedure;
    type.hInstance = ::GetModuleHandleW(nullptr);
    type.lpszClassName = L"QvFaultReentry";
    ::RegisterClassW(&type);
    HWND window = ::CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, type.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(m_printer.SetIsolation(1));
    Reentry::driver = DI_Open_impl(m_handle.Get());
    const int sleeper = QvSimDal::kActionSleepBase + 1000;
    ASSERT_TRUE(DI_IsCommandSupported_impl(Reentry::driver, sleeper));
    ::SetTimer(window, 1, 50, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    DI_Command_impl(Reentry::driver, sleeper);
    const int64_t tookMs = MsSince(start);
    ::KillTimer(window, 1);
    EXPECT_GE(Reentry::ticks, 5) << "the wait dispatched the window's timer";
    EXPECT_FALSE(Reentry::anyAnswer) << "a call from inside a call gets the neutral answer";
    EXPECT_LT(Reentry::slowestMs, 50) << "and gets it at once";
    EXPECT_GE(tookMs, 1000) << "the action ran to its end";
    EXPECT_TRUE(DI_IsCommandSupported_impl(Reentry::driver, QvSimDal::kActionPrintConfiguration))
        << "the interface and its proxy still work";
    EXPECT_NE(TakeBstr(DI_GetPrinterStatusText_impl(Reentry::driver)), L"(null)");
    DI_Close_impl(Reentry::driver);
    ::DestroyWindow(window);
}

TEST(DumpFolderFault, AFolderThatCannotBeMadeOrIsGoneDisablesDumpsQuietly) {
    QvTest::ScratchFolder scratch;
    ASSERT_TRUE(QvTest::WriteWholeFile(scratch.File(L"blocker"), "a file, not a folder"));
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers{&record, &context};
    // The last folder is made, then removed before the fault.
    for (const wchar_t* folder : {L"blocker\\", L"blocker\\below\\", L"gone\\"}) {
        SCOPED_TRACE(OString(folder).GetNarrow());
        OMiniDump dump(OString(scratch.File(folder).c_str()));
        EXPECT_EQ(dump.GetFolder().IsEmpty(),
                  ::RemoveDirectoryW(scratch.File(L"gone").c_str()) == 0);
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_TRUE(dump.MiniDumpGenerate(nullptr, &pointers).IsEmpty());
        EXPECT_LT(MsSince(start), 1000);
    }
}

constexpr wchar_t kChildMasks[] = L"QV_FAULT_MASKS";
const wchar_t* const kLibrarySources[] = {
    OEventLog::kSourcePrinterInterface, OEventLog::kSourceClientUtility,
    OEventLog::kSourcePrinterDriver, OEventLog::kSourceTcpLibrary};

// A host whose every source logs every level to its file, none of which can
// be written: it reads the status of the printer named in the environment.
// The masks lie under the scratch key named there too, so the child's sources
// start with them.
TEST(LogFolderChild, DISABLED_ReadsTheStatus) {
    wchar_t name[512] = {}, masks[512] = {};
    ::GetEnvironmentVariableW(kChildPrinter, name, 512);
    ::GetEnvironmentVariableW(kChildMasks, masks, 512);
    static int refusals = 0;
    OEventLogSystem system;
    system.maskRoot = masks;
    system.outputDebugString = [](LPCWSTR text) {
        refusals += std::wstring(text).find(L"Unable to open") != std::wstring::npos ? 1 : 0;
    };
    OEventLogSystemOverride use(system);
    HANDLE printer = nullptr;
    ASSERT_TRUE(::OpenPrinterW(name, &printer, nullptr));
    for (int round = 0; round < 2; ++round) {
        Seen seen = ReadStatus(printer);
        EXPECT_FALSE(seen.text.empty() || seen.text == L"(null)");
        EXPECT_LT(seen.slowestMs, kStatusBudgetMs);
    }
    ::ClosePrinter(printer);
    EXPECT_GE(refusals, 1) << "no file log was tried";
    EXPECT_LE(refusals, 4) << "said more than once a source";
}

// Every file of the library's sources is a folder, which no write can open.
// Real logs found there (a soak's) are put aside and back.
TEST_F(FaultMatrix, ALogFolderThatCannotBeWrittenLeavesEveryAnswer) {
    ScratchRegistryKey masks;
    std::vector<std::wstring> planted, aside;
    for (const wchar_t* source : kLibrarySources) {
        ASSERT_TRUE(masks.SetDword(L"DebugLogMasks", source, ~OEventLog::kDebuggerOutput));
        for (const OString& path : {OEventLogFormat::FileLogPath(OString(source)),
                                    OEventLogBase::RolledFileLogPath(OString(source))}) {
            std::wstring file = path.GetWide();
            if (::MoveFileExW(file.c_str(), (file + L".aside").c_str(),
                              MOVEFILE_REPLACE_EXISTING)) {
                aside.push_back(file);
            }
            if (::CreateDirectoryW(file.c_str(), nullptr)) {
                planted.push_back(file);
            }
        }
    }
    ::SetEnvironmentVariableW(kChildPrinter, m_printer.Printer().Name().c_str());
    ::SetEnvironmentVariableW(kChildMasks, (masks.Path() + L"/DebugLogMasks\\").c_str());
    QvTest::ProcessResult child = QvTest::RunProgram(
        L"faults_wine_tests.exe --gtest_filter=LogFolderChild.* --gtest_also_run_disabled_tests",
        30000);
    for (const std::wstring& path : planted) {
        ::RemoveDirectoryW(path.c_str());
    }
    for (const std::wstring& path : aside) {
        ::MoveFileExW((path + L".aside").c_str(), path.c_str(), 0);
    }
    ASSERT_EQ(planted.size(), 8u) << "a file log of the library's sources is in the way";
    EXPECT_EQ(child.exitCode, 0u) << child.output;
}

// Where a host is told its status came from, and why: each reason read after
// a status text, a severity and the extended flags.
TEST_F(FaultMatrix, EveryStatusCallTellsWhereItsAnswerCameFrom) {
    QvSim::UnreachablePort unreachable;
    ASSERT_TRUE(unreachable.Ok());
    const std::wstring name = m_printer.Printer().Name();
    const auto server = static_cast<DWORD>(s_server->Port());
    const auto off = static_cast<DWORD>(unreachable.Port());
    struct Row {
        const char* misbehave;
        DWORD port;
        std::function<void()> fault;
        int32_t code;
        std::wstring text;
    } rows[] = {
        {"none", server, nullptr, kStatusFromPrinter, L"printer: answered over the network"},
        {"none", 1, nullptr, kStatusRefused, L"spooler: the printer at localhost:1 refused the"},
        {"none", off, nullptr, kStatusUnreachable,
         L":" + std::to_wstring(off) + L" could not be reached within 400 ms (10060)"},
        {"late", server, nullptr, kStatusTimedOut, L" did not answer within 400 ms (10060)"},
        {"close", server, nullptr, kStatusMalformed, L"closed the connection or sent no valid"},
        {"404", server, nullptr, kStatusHttpError, L"answered with HTTP status 404"},
        {"wrong-tid", server, nullptr, kStatusTransactionMismatch, L"another request's"},
        {"none", server, [&] { SetNetwork("TCP Enabled", REG_BINARY, uint8_t{0}); },
         kStatusNetworkOff, L"spooler: the network path is off"},
        {"none", server,
         [&] {
             s_server->Control({{"monitoring", "0"}});
         },
         kStatusMonitoringUnsupported, L"spooler: the printer does not monitor"},
        {"none", server,
         [&] { QvSim::SetDriverSetting(name, L"Status", L"Status Monitoring Mode", 0); },
         kStatusMonitoringOff, L"spooler: status monitoring is off"},
        {"none", server, [&] { QvSim::SetPrinterBidi(name, false); }, kStatusBidiOff,
         L"spooler: the printer's bidirectional support is off"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.misbehave + (" " + std::to_string(row.code)));
        SoundSettings();
        m_network.Delete("NETWORK:TCP Enabled", false);
        ASSERT_FALSE(
            s_server->Control({{"reset", "1"}, {"delay", "5000"}, {"misbehave", row.misbehave}})
                .empty());
        SetNetwork("TCP Port", REG_DWORD, row.port);
        if (row.fault) {
            row.fault();
        }
        QvTest::FreshPrinterCache::Forget();
        HDRIVERINTERFACE driver = DI_Open_impl(m_handle.Get());
        auto* object = reinterpret_cast<DriverInterface*>(driver);
        OString text;
        for (const std::function<void()>& call : std::vector<std::function<void()>>{
                 [&] { TakeBstr(DI_GetPrinterStatusText_impl(driver)); },
                 [&] { object->GetPrinterStatusSeverity(); },
                 [&] { DI_GetPrinterExtendedStatusFlags_impl(driver); }}) {
            call();
            EXPECT_EQ(object->GetStatusProvenance(text), row.code);
            EXPECT_NE(std::wstring(text.GetWide()).find(row.text), std::wstring::npos)
                << text.GetNarrow();
        }
        DI_GetPrinterStatusFlags_impl(driver);
        EXPECT_EQ(object->GetStatusProvenance(text), kStatusSpoolerWord);
        DI_Close_impl(driver);
    }
    QvSim::SetPrinterBidi(name, true);
    QvTest::WinePrinter plain(L"basic");
    OPrinterHandle handle = plain.Open();
    HDRIVERINTERFACE basic = DI_Open_impl(handle.Get());
    TakeBstr(DI_GetPrinterStatusText_impl(basic));
    OString text;
    EXPECT_EQ(reinterpret_cast<DriverInterface*>(basic)->GetStatusProvenance(text),
              kStatusBasicInterface);
    EXPECT_EQ(text, OString("spooler: basic interface"));
    DI_Close_impl(basic);
}

uint64_t g_now = uint64_t{1} << 40;
ULONGLONG WINAPI MovedClock() {
    return g_now;
}

// A host that polls is told every time; the event log once a minute per
// printer and reason, a fallback as a warning, a failure as an error.
TEST_F(FaultMatrix, AFallbackIsLoggedOncePerPrinterAndReasonAMinute) {
    QvTest::LoggedEvents log;
    OClockOverride clock(OClockApi{&MovedClock});
    const std::wstring name = m_printer.Printer().Name();
    const std::wstring off =
        L"GetPrinterStatusText: printer \"" + name + L"\": spooler: status monitoring is off";
    const std::wstring refused = L"\": spooler: the printer at localhost:1 refused";
    QvSim::SetDriverSetting(name, L"Status", L"Status Monitoring Mode", 0);
    const struct Row {
        uint64_t advanceMs;
        bool refuse;
        int warnings;
        int errors;
    } rows[] = {{0, false, 1, 0}, {59999, false, 1, 0}, {1, false, 2, 0}, {0, true, 2, 1}};
    for (const Row& row : rows) {
        g_now += row.advanceMs;
        if (row.refuse) {
            SoundSettings();
            SetNetwork("TCP Port", REG_DWORD, DWORD{1});
        }
        HDRIVERINTERFACE driver = DI_Open_impl(m_handle.Get());
        for (int poll = 0; poll < 3; ++poll) {
            TakeBstr(DI_GetPrinterStatusText_impl(driver));
        }
        DI_Close_impl(driver);
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_WARNING_TYPE, off), row.warnings);
        EXPECT_EQ(QvTest::LoggedEvents::Count(EVENTLOG_ERROR_TYPE, refused), row.errors);
    }
}

// Wine's spooler cannot rename a printer: the handle's own name (level 4)
// changes behind the seam instead, as a rename shows it on Windows.
struct Renamed {
    static inline const wchar_t* name = nullptr;
    static BOOL WINAPI GetPrinter(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) {
        const BOOL ok = ::GetPrinterW(printer, level, buffer, size, needed);
        if (ok && level == 4 && name != nullptr) {
            reinterpret_cast<PRINTER_INFO_4W*>(buffer)->pPrinterName = const_cast<wchar_t*>(name);
        }
        return ok;
    }
};

// An interface whose printer was renamed answers for it no more, however soon
// another printer takes the old name: within a second every call is neutral,
// with ERROR_INVALID_PRINTER_NAME.
TEST_F(FaultMatrix, AnInterfaceWhosePrinterWasRenamedAnswersNeutrally) {
    OClockOverride clock(OClockApi{&MovedClock});
    HDRIVERINTERFACE driver = DI_Open_impl(m_handle.Get());
    const std::wstring version = TakeBstr(DI_GetPrinterDriverVersion_impl(driver));
    EXPECT_NE(version, L"(null)");
    PrinterInfoApi api;
    api.getPrinter = &Renamed::GetPrinter;
    ScopedPrinterInfoApi renamed(api);
    Renamed::name = L"QV renamed printer";
    g_now += 999;
    EXPECT_EQ(TakeBstr(DI_GetPrinterDriverVersion_impl(driver)), version) << "not asked yet";
    g_now += 1;
    const struct Row {
        const char* call;
        std::function<bool()> neutral;
    } rows[] = {
        {"DI_GetPrinterDriverVersion",
         [&] { return TakeBstr(DI_GetPrinterDriverVersion_impl(driver)) == L"(null)"; }},
        {"DI_IsCommandSupported", [&] { return !DI_IsCommandSupported_impl(driver, 1); }},
        {"QVDI_IsAdvanced", [&] { return !QVDI_IsAdvanced(driver); }},
        {"QVDI_ExportSettings", [&] { return !QVDI_ExportSettings(driver, L"C:\\x.txt", 0); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        ::SetLastError(0xDEADBEEF);
        EXPECT_TRUE(row.neutral());
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    }
    Renamed::name = nullptr;
    g_now += 60000;
    EXPECT_FALSE(QVDI_IsAdvanced(driver)) << "once gone, always gone";
    DI_Close_impl(driver);
    EXPECT_EQ(::GetLastError(), ERROR_SUCCESS) << "a gone printer's interface still closes";
}

}  // namespace
