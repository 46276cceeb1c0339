// SendXpml status requests against the simulated XPML server, beside a raw
// Winsock keep-alive client sending the same bytes to the same server, and the
// registry calls one request makes, each timed alone. Prints the split of a
// request (exchange, registry, rest) and the ratio of its time to the raw
// client's plus the registry's. Target: at most 1.10, all requests of the
// thread on one connection.
//
// Installs its own Wine printer (file port) and removes it at the end; the
// printer's network settings send it to the server on "localhost".
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "printer/printer_call_context.h"
#include "printer/printer_registry_facts.h"
#include "registry/printer_registry.h"
#include "sim/printer_setup.h"
#include "sim/xpml_server_process.h"
#include "xpml/http.h"
#include "xpml/xpml_exchange.h"
#include "xpml/xpml_routing.h"

namespace {

constexpr int kRequests = 2000;
constexpr char kRequest[] =
    "<state name='Monitoring Supported' action='get' />;<state name='Status' action='get' "
    "/>;<state name='Status Severity' action='get' />&#00;";
// What one classic-driver request of a local printer reads: the switch, the
// port, retries, time-out, bidirectional, override.
constexpr int kQueriesPerRequest = 6;

HttpRequest StatusRequest(const OString& printer, const OString& id) {
    HttpRequest request;
    request.SetMethod("POST");
    request.SetPath("/xpml");
    request.AddField("xpml", kRequest);
    request.AddField("persist", "1");
    request.AddField("transactid", id);
    request.AddField("printer", printer);
    return request;
}

}  // namespace

int main() {
    QvSim::XpmlServerProcess server;
    if (!server.Ok()) {
        std::fwprintf(stderr, L"no XPML server: %ls\n", server.Error().c_str());
        return 1;
    }
    const std::wstring tag = L"qvbench-xpml-" + std::to_wstring(GetCurrentProcessId());
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring error;
    QvSim::PrinterDriverSetup driver{tag, L"", 300, L"Quorvel Bench", L"qvbench", L"Quorvel Bench"};
    QvSim::PrinterSetup printerSetup{tag, tag, std::wstring(temp) + tag + L".prn", L"", L""};
    if (!QvSim::InstallPrinterDriver(driver, &error) ||
        !QvSim::InstallPrinter(printerSetup, &error)) {
        std::fwprintf(stderr, L"no printer: %ls\n", error.c_str());
        QvSim::RemovePrinterDriver(tag, L"");
        return 1;
    }
    const OString printer(tag.c_str());
    PrinterRegistry registry(RegistryFactsOf(printer));
    registry.SetRedirect(false);
    const uint32_t port = static_cast<uint32_t>(server.Port());
    const uint8_t zero = 0;
    registry.SetValue("NETWORK:TCP Port", &port, 4, REG_DWORD);
    registry.SetValue("NETWORK:Network Bidirectional", &zero, 1, REG_BINARY);

    // Each request makes its context, as a driver interface's operation does.
    const auto send = [&] {
        PrinterCallContext context(printer);
        return SendXpml(context, kRequest).route;
    };
    // Warm up: connection, printer cache, registry.
    for (int i = 0; i < 50; ++i) {
        send();
    }
    const OString id = TransactionIdText(NewTransactionId());
    HttpRequest request = StatusRequest(printer, id);
    std::vector<uint8_t> bytes;
    request.Serialize(bytes);
    QvBench::RawClient raw(server.Port());
    QvBench::NetworkKeyTimer keyTimer(registry);

    // Interleaved, so that the load of a shared machine falls on all alike.
    server.Control({{"reset", "1"}});
    int answered = 0;
    int rawAnswered = 0;
    double total = 0;
    double exchange = 0;
    double rawClient = 0;
    for (int i = 0; i < kRequests; ++i) {
        double start = QvBench::Now();
        answered += send() == kXpmlNetwork ? 1 : 0;
        total += QvBench::Now() - start;
        start = QvBench::Now();
        ExchangeXpml(bytes, id, {"localhost", server.Port(), kDefaultTimeoutMs});
        exchange += QvBench::Now() - start;
        start = QvBench::Now();
        rawAnswered += raw.Exchange(bytes) ? 1 : 0;
        rawClient += QvBench::Now() - start;
        keyTimer.Sample();
    }
    // Connections opened during the run: 0 when every request reused the
    // thread's pooled connection (the raw client connected before).
    const int64_t connections = server.Connections();
    total /= kRequests;
    exchange /= kRequests;
    rawClient /= kRequests;
    const double openClose = keyTimer.openClose / kRequests;
    const double query = keyTimer.query / kRequests;
    const double registryCalls = openClose + kQueriesPerRequest * query;

    std::printf("SendXpml status request: %.1f us (%d of %d answered, %lld new connection(s))\n",
                total, answered, kRequests, static_cast<long long>(connections));
    std::printf("raw keep-alive client:   %.1f us (%d answered)\n", rawClient, rawAnswered);
    std::printf("registry per request:    %.1f us (open+close %.1f, %d queries of %.1f)\n",
                registryCalls, openClose, kQueriesPerRequest, query);
    std::printf("split: exchange %.1f us, registry %.1f us, rest %.1f us\n", exchange,
                registryCalls, total - exchange - registryCalls);
    std::printf("ratio SendXpml / (raw + registry): %.3f (target <= 1.10)\n",
                total / (rawClient + registryCalls));

    registry.Delete("NETWORK:TCP Port", false);
    registry.Delete("NETWORK:Network Bidirectional", false);
    QvSim::RemovePrinter(tag);
    QvSim::RemovePrinterDriver(tag, L"");
    DeleteFileW(printerSetup.port.c_str());
    return 0;
}
