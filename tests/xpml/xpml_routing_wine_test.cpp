#include "xpml/xpml_routing.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "driver_interface/status_provenance.h"
#include "printer/printer_call_context.h"
#include "printer/printer_info_reader.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "net/sockets.h"
#include "sim/xpml_server_process.h"
#include "support/sim_server_test.h"
#include "support/printer_cache.h"
#include "support/scratch_registry.h"
#include "support/wine_printer.h"
#include "xpml/xpml_driver_hook.h"
#include "xpml/xpml_network_settings.h"

using QvTest::WinePrinter;

namespace {

constexpr char kStatusRequest[] =
    "<state name='Monitoring Supported' action='get' />;<state name='Status' action='get' "
    "/>;<state name='Status Severity' action='get' />&#00;";
// Where "LOCAL:XPML/" values live below HKLM.
constexpr wchar_t kXpmlKey[] = L"SOFTWARE\\Brantheon\\Drivers\\XPML";

// A driver's printer-data hook, as Wine's spooler lacks one: "XPML Server
// Port" answers the queued ports; "XPML:<printer>,<id>" reads the request from
// the registry, writes "LOCAL:" + request back and answers its length.
struct Driver {
    enum Mode { Answer, Fail, Empty } mode = Answer;
    std::deque<DWORD> ports;
    int portQueries = 0;
    std::string request;
    std::wstring valueName;
};
Driver g_driver;

DWORD WINAPI DriverHook(HANDLE, LPSTR name, LPDWORD type, LPBYTE data, DWORD size, LPDWORD needed) {
    const std::string asked(name);
    *needed = 4;
    if (asked == "XPML Server Port") {
        if (++g_driver.portQueries, g_driver.ports.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        std::memcpy(data, &g_driver.ports.front(), 4);
        g_driver.ports.pop_front();
        return ERROR_SUCCESS;
    }
    const size_t comma = asked.rfind(',');
    if (asked.rfind("XPML:", 0) != 0 || comma == std::string::npos || size < 4) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string id = asked.substr(comma + 1);
    g_driver.valueName = std::wstring(id.begin(), id.end());
    char buffer[4096] = {};
    DWORD bytes = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kXpmlKey, g_driver.valueName.c_str(), RRF_RT_REG_BINARY,
                     nullptr, buffer, &bytes) != ERROR_SUCCESS) {
        return ERROR_FILE_NOT_FOUND;
    }
    g_driver.request.assign(buffer, bytes);
    if (g_driver.mode == Driver::Fail) {
        return ERROR_NOT_SUPPORTED;
    }
    const std::string answer = g_driver.mode == Driver::Empty ? "" : "LOCAL:" + g_driver.request;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kXpmlKey, g_driver.valueName.c_str(), REG_BINARY,
                    answer.data(), static_cast<DWORD>(answer.size()));
    *reinterpret_cast<DWORD*>(data) = static_cast<DWORD>(answer.size());
    *type = REG_DWORD;
    return ERROR_SUCCESS;
}

// Level 2 of the spooler patched so the printer seems served by another
// computer (Wine cannot share printers).
const wchar_t* g_remoteServer = nullptr;
BOOL WINAPI RemoteGetPrinter(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD need) {
    const BOOL ok = GetPrinterW(printer, level, buffer, size, need);
    if (ok && level == 2 && g_remoteServer != nullptr) {
        reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pServerName =
            const_cast<LPWSTR>(g_remoteServer);
    }
    return ok;
}

// A name server that answers after delayMs, with the loopback address.
struct SlowResolver {
    static inline DWORD delayMs = 0;
    static INT WSAAPI GetAddrInfo(PCWSTR, PCWSTR service, const ADDRINFOW* hints,
                                  PADDRINFOW* results) {
        ::Sleep(delayMs);
        return ::GetAddrInfoW(L"127.0.0.1", service, hints, results);
    }
};

struct Sent {
    int32_t route;
    std::string answer;
    int64_t ms;
};

class XpmlRoutingTest : public QvTest::SimServerTest {
protected:
    QvTest::FreshPrinterCache m_freshCache;

    void SetUp() override {
        SimServerTest::SetUp();
        if (!Ready()) {
            return;
        }
        g_driver = Driver();
        g_remoteServer = nullptr;
    }
    void TearDown() override {
        for (auto& [registry, name] : m_written) {
            registry->SetRedirect(false);
            registry->Delete(name, false);
        }
    }
    // A printer whose network settings send it to the simulated server
    // ("localhost", its port); remote when a server name is given.
    OString MakePrinter(const wchar_t* tag, const wchar_t* remoteServer = nullptr,
                        bool package = false) {
        m_printer = std::make_unique<WinePrinter>(tag);
        if (!m_printer->Ok()) {
            return OString();
        }
        if (package) {
            m_printer->SetDataString(L"DriverPackage", L"C:\\qvpackage");
        }
        if (remoteServer != nullptr) {
            g_remoteServer = remoteServer;
            m_remote = std::make_unique<ScopedPrinterInfoApi>(PrinterInfoApi{RemoteGetPrinter});
        }
        m_name = OString(m_printer->Name().c_str());
        SetNumber("TCP Port", static_cast<DWORD>(s_server->Port()));
        SetByte("Network Bidirectional", 0);
        return m_name;
    }

    void Set(const char* name, DWORD type, const void* data, int32_t size) {
        auto registry = std::make_shared<PrinterRegistry>(RegistryFactsOf(m_name));
        registry->SetRedirect(false);
        const OString path = OString("NETWORK:") + name;
        ASSERT_EQ(registry->SetValue(path, data, size, type), size) << name;
        m_written.emplace_back(registry, path);
    }
    void SetNumber(const char* name, DWORD value) { Set(name, REG_DWORD, &value, 4); }
    void SetByte(const char* name, uint8_t value) { Set(name, REG_BINARY, &value, 1); }

    Sent Send(const char* request = kStatusRequest) {
        const ULONGLONG start = ::GetTickCount64();
        PrinterCallContext printer(m_name);
        const XpmlResult result = SendXpml(printer, request);
        return {result.route,
                {result.body.begin(), result.body.end()},
                int64_t(::GetTickCount64() - start)};
    }

    std::unique_ptr<WinePrinter> m_printer;
    std::unique_ptr<ScopedPrinterInfoApi> m_remote;
    OString m_name;
    std::vector<std::pair<std::shared_ptr<PrinterRegistry>, OString>> m_written;
};

// Skips the test when the printer cannot be installed.
#define QV_PRINTER(...)                       \
    if (MakePrinter(__VA_ARGS__).IsEmpty()) { \
        QV_SKIP_WITHOUT_PRINTER(*m_printer);  \
    }

TEST_F(XpmlRoutingTest, AttemptsFollowConnectionRetriesClampedToTen) {
    QV_PRINTER(L"retries");
    const std::tuple<DWORD, int64_t, const char*> rows[] = {
        {0, 1, "no retry: one attempt"}, {50, 11, "a wild value is clamped to 10 retries"}};
    for (const auto& [retries, requests, note] : rows) {
        SCOPED_TRACE(note);
        SetNumber("Connection Retries", retries);
        ASSERT_FALSE(s_server->Control({{"reset", "1"}, {"misbehave", "404"}}).empty());
        EXPECT_EQ(Send().route, kXpmlNoAnswer);
        EXPECT_EQ(s_server->Requests(), requests);
    }
}

// A port that a 16-bit cut would turn into the server's own is refused, and
// provenance says why.
TEST_F(XpmlRoutingTest, APortOutsideTheRangeIsNeverAsked) {
    QV_PRINTER(L"port");
    SetNumber("Connection Retries", 0);
    for (const DWORD port : {DWORD(s_server->Port()) + 65536, DWORD{0}, DWORD{0xFFFFFFFF}}) {
        SCOPED_TRACE(port);
        SetNumber("TCP Port", port);
        ASSERT_FALSE(s_server->Control({{"reset", "1"}}).empty());
        PrinterCallContext printer(m_name);
        const XpmlResult result = ProbeXpmlServer(printer, kStatusRequest);
        EXPECT_EQ(result.route, kXpmlNoAnswer);
        EXPECT_EQ(s_server->Requests(), 0);
        const StatusProvenance provenance = ProvenanceOf(result);
        EXPECT_EQ(provenance.code, kStatusUnreachable);
        EXPECT_NE(std::string(provenance.text.GetNarrow()).find("1..65535"), std::string::npos);
    }
}

// A line that is no status line is no answer; bytes past an answer's length
// never reach the next request on that connection.
TEST_F(XpmlRoutingTest, OnlyAStatusLineAnswersAndStrayBytesAreNotPooled) {
    QV_PRINTER(L"framing");
    SetNumber("Connection Retries", 0);
    ASSERT_FALSE(s_server->Control({{"misbehave", "no-status"}}).empty());
    PrinterCallContext printer(m_name);
    const XpmlResult busy = SendXpml(printer, kStatusRequest);
    EXPECT_EQ(busy.failure, XpmlFailure::Malformed);
    for (const char* misbehave : {"extra", "none"}) {
        SCOPED_TRACE(misbehave);
        ASSERT_FALSE(s_server->Control({{"misbehave", misbehave}}).empty());
        const Sent sent = Send();
        EXPECT_EQ(sent.route, kXpmlNetwork);
        EXPECT_EQ(sent.answer.find("busy"), std::string::npos) << sent.answer;
    }
}

TEST_F(XpmlRoutingTest, ZeroTimeoutMeansTheDefaultNotForever) {
    QV_PRINTER(L"timeout");
    SetNumber("Connection Retries", 0);
    SetNumber("Connection Timeout", 0);
    // An endless wait would take the answer 1500 ms late; the default 1000 ms gives up first.
    s_server->Control({{"misbehave", "late"}, {"delay", "1500"}});
    const Sent sent = Send();
    EXPECT_EQ(sent.route, kXpmlNoAnswer);
    EXPECT_GE(sent.ms, 900);
    EXPECT_LT(sent.ms, 1450);
}

TEST_F(XpmlRoutingTest, TransactionPrefixRule) {
    QV_PRINTER(L"prefix");
    SetNumber("Connection Retries", 1);
    using Control = std::vector<std::pair<std::string, std::string>>;
    // In the answers, {tid} is the request's id.
    const std::tuple<Control, int32_t, const char*, int64_t, const char*> rows[] = {
        {{{"answer", "TID{tid};Ready"}}, kXpmlNetwork, "Ready", 1, "own id: prefix removed"},
        {{{"answer", "TID{tid};"}}, kXpmlNetwork, "", 1, "20 bytes: an empty answer"},
        {{{"answer", "TID0123456789ABCDEX;"}}, kXpmlNoAnswer, "", 2, "20 bytes of another's"},
        {{{"answer", "TID{tid}:Ready"}}, kXpmlNetwork, "TID{tid}:Ready", 1, "no ';' at 19"},
        {{{"misbehave", "wrong-tid"}, {"count", "1"}, {"prefix", "1"}},
         kXpmlNetwork,
         "1;Ready;1",
         2,
         "another's answer dropped, then retried"},
        {{{"misbehave", "wrong-tid"}, {"prefix", "1"}}, kXpmlNoAnswer, "", 2, "wrong every time"},
    };
    for (const auto& [extra, route, answer, requests, note] : rows) {
        SCOPED_TRACE(note);
        Control control = extra;
        control.insert(control.begin(), {{"reset", "1"}, {"prefix", "0"}});
        ASSERT_FALSE(s_server->Control(control).empty());
        const Sent sent = Send();
        EXPECT_EQ(sent.route, route);
        EXPECT_EQ(s_server->Requests(), requests);
        std::string expected = answer;
        if (expected.find("{tid}") != std::string::npos) {
            // The id the server saw is the one it echoed: 16 hex digits at 3.
            ASSERT_GE(sent.answer.size(), 19u);
            expected.replace(expected.find("{tid}"), 5, sent.answer.substr(3, 16));
        }
        EXPECT_EQ(sent.answer, expected);
    }
}

TEST_F(XpmlRoutingTest, RemotePrinterWithoutNetworkCommunicationGoesNowhere) {
    ScopedXpmlDriverApi driver(XpmlDriverApi{DriverHook});
    QV_PRINTER(L"remote", L"\\\\qvremote-switch");
    SetByte("Network Communication", 0);
    EXPECT_EQ(Send().route, kXpmlNoAnswer);
    EXPECT_EQ(s_server->Requests(), 0);
    EXPECT_TRUE(g_driver.request.empty()) << "a remote printer never takes the local path";
}

TEST_F(XpmlRoutingTest, HostIsLocalhostOrTheOverride) {
    // The server name cannot be resolved: only "localhost" or an address
    // override reach the simulated server.
    QV_PRINTER(L"host", L"\\\\qv-no-such-host.invalid");
    SetNumber("Connection Retries", 0);
    // Bidirectional, override, "Server Address" (null: none), route.
    const std::tuple<uint8_t, uint8_t, const wchar_t*, int32_t, const char*> rows[] = {
        {1, 0, nullptr, kXpmlNoAnswer, "the server's own name"},
        {0, 0, nullptr, kXpmlNetwork, "bidirectional 0: localhost"},
        {1, 1, nullptr, kXpmlNoAnswer, "override without an address keeps the server name"},
        {1, 1, L"127.0.0.1", kXpmlNetwork, "override with an address"},
    };
    for (const auto& [bidirectional, override, address, route, note] : rows) {
        SCOPED_TRACE(note);
        SetByte("Network Bidirectional", bidirectional);
        SetByte("Server Address Override", override);
        if (address != nullptr) {
            Set("Server Address", REG_SZ, address,
                static_cast<int32_t>((wcslen(address) + 1) * sizeof(wchar_t)));
        }
        EXPECT_EQ(Send().route, route);
    }
}

TEST_F(XpmlRoutingTest, PackageDriverAsksTheHookForItsPortAndRetriesWithIt) {
    ScopedXpmlDriverApi driver(XpmlDriverApi{DriverHook});
    QV_PRINTER(L"package", L"\\\\qvremote-package", true);
    SetNumber("XPML Server Port", 1);
    // First a port nobody listens on, then the server's: the second attempt
    // goes to the refreshed port, which is stored.
    g_driver.ports = {2, static_cast<DWORD>(s_server->Port())};
    EXPECT_EQ(Send().route, kXpmlNetwork);
    EXPECT_EQ(g_driver.portQueries, 2);
    PrinterRegistry registry(RegistryFactsOf(m_name));
    registry.SetRedirect(false);
    EXPECT_EQ(registry.GetNumber("NETWORK:XPML Server Port", 0),
              static_cast<uint32_t>(s_server->Port()));
    registry.Delete(OString("NETWORK:XPML Server Port"), false);
    registry.SetRedirect(true);
    EXPECT_EQ(ClientUtility::GetRefactoredTcpPortNumber(registry), 5130u)
        << "none stored, none hooked";
    EXPECT_TRUE(registry.GetRedirect()) << "the redirect flag is restored";
}

// Resolving, connecting, sending and the whole answer share one deadline per
// attempt: a slow name server followed by a server that trickles its answer
// costs no more than the time-out per attempt.
TEST_F(XpmlRoutingTest, ASlowNameServerThenATricklingAnswerCostOneTimeOutPerAttempt) {
    QV_PRINTER(L"trickle");
    constexpr DWORD kTimeoutMs = 400;
    constexpr DWORD kRetries = 2;
    SetNumber("Connection Timeout", kTimeoutMs);
    SetNumber("Connection Retries", kRetries);
    SetByte("Server Address Override", 1);
    const wchar_t host[] = L"trickle.qvtest";
    Set("Server Address", REG_SZ, host, sizeof host);
    SlowResolver::delayMs = kTimeoutMs * 9 / 10;
    OSocketApi slow = OSocketApi::Current();
    slow.getAddrInfoW = &SlowResolver::GetAddrInfo;
    OSocketApiOverride resolver(slow);
    ASSERT_FALSE(s_server->Control({{"misbehave", "trickle"}, {"delay", "50"}}).empty());
    const ULONGLONG start = ::GetTickCount64();
    PrinterCallContext printer(m_name);
    const XpmlResult result = SendXpml(printer, kStatusRequest);
    const auto ms = static_cast<int64_t>(::GetTickCount64() - start);
    EXPECT_LT(ms, int64_t{(kRetries + 1) * kTimeoutMs + 250});
    EXPECT_EQ(result.route, kXpmlNoAnswer);
    EXPECT_EQ(result.failure, XpmlFailure::TimedOut);
    EXPECT_EQ(result.attempts, 3);
    EXPECT_GE(result.elapsedMs, int64_t{(kRetries + 1) * kTimeoutMs} - 50) << "each ran its course";
    const std::string text = ProvenanceOf(result).text.GetNarrow();
    EXPECT_NE(text.find("did not answer within 400 ms (10060); 3 attempts in "), std::string::npos)
        << text;
}

TEST_F(XpmlRoutingTest, LocalPathWritesAsksReadsAndDeletes) {
    ScopedXpmlDriverApi driver(XpmlDriverApi{DriverHook});
    QV_PRINTER(L"localpath");
    SetByte("TCP Enabled", 0);
    const std::tuple<Driver::Mode, int32_t, const char*> rows[] = {
        {Driver::Answer, kXpmlLocal, "LOCAL:<job id='-7' />"},
        {Driver::Empty, kXpmlLocal, ""},
        {Driver::Fail, kXpmlNoAnswer, ""}};
    for (const auto& [mode, route, answer] : rows) {
        SCOPED_TRACE(mode);
        g_driver.mode = mode;
        g_driver.request.clear();
        const Sent sent = Send("<job id='-7' />");
        EXPECT_EQ(sent.route, route);
        EXPECT_EQ(sent.answer, answer);
        EXPECT_EQ(g_driver.request, "<job id='-7' />") << "the request waited in the registry";
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kXpmlKey, g_driver.valueName.c_str(), RRF_RT_ANY,
                               nullptr, nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND)
            << "the value is deleted";
    }
}

TEST_F(XpmlRoutingTest, KeepsOneConnectionAndMovesOnFromADeadOne) {
    QV_PRINTER(L"keepalive");
    SetNumber("Connection Retries", 0);
    SetNumber("Connection Timeout", 5000);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Send().route, kXpmlNetwork);
    }
    // The control requests have a connection of their own; an earlier test's may still be pooled.
    EXPECT_LE(s_server->Connections(), 1) << "all requests of a thread on one connection";
    // The server closes after an answer without a length: the next request
    // must not fail on the dead pooled connection, even without retries.
    s_server->Control({{"misbehave", "no-length"}, {"count", "1"}});
    EXPECT_EQ(Send().route, kXpmlNetwork);
    EXPECT_EQ(Send().route, kXpmlNetwork);
}

TEST(TransactionIdTest, HighHalfIsTheCrcOfCounterProcessAndThread) {
    // Expectations from Python's zlib.crc32 over the 12 bytes named.
    const std::tuple<uint64_t, uint32_t, uint32_t, const char*, const char*> rows[] = {
        {0x34333231DEADBEEFull, 0x38373635, 0x63626139, "BDB0C0E4DEADBEEF", "\"123456789abc\""},
        {0, 0, 0, "7BD5C66F00000000", "twelve zero bytes"},
    };
    for (const auto& [counter, process, thread, text, note] : rows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(TransactionIdText(MakeTransactionId(counter, process, thread)).GetNarrow(),
                     text);
    }
}

}  // namespace
