#include "xpml/xpml_mux.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/xpml_server_process.h"
#include "support/sim_server_test.h"
#include "xpml/http.h"
#include "xpml/xpml_exchange.h"
#include "xpml/xpml_routing.h"

// The multiplexed exchange against the simulated XPML server: the same
// result as the blocking exchange for every way a server can answer, and
// waits that hold sockets, not threads.

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRequest[] = "<state name='Status' action='get' />&#00;";

struct Form {
    OString id = TransactionIdText(NewTransactionId());
    std::vector<uint8_t> bytes;
};

Form FormFor(const char* printer) {
    Form form;
    HttpRequest http;
    http.SetMethod("POST");
    http.SetPath("/xpml");
    http.AddField("xpml", kRequest);
    http.AddField("persist", "1");
    http.AddField("transactid", form.id);
    http.AddField("printer", printer);
    http.Serialize(form.bytes);
    return form;
}

class XpmlMuxTest : public QvTest::SimServerTest {
protected:
    void TearDown() override {
        m_stop = true;
        if (m_runner.joinable()) {
            m_runner.join();
        }
    }

    XpmlEndpoint Endpoint(int32_t timeoutMs) const {
        return XpmlEndpoint{"localhost", s_server->Port(), timeoutMs};
    }
    // Submits, starting the running thread when the mux asks for one.
    std::future<XpmlResult> Submit(const Form& form, const XpmlEndpoint& endpoint) {
        auto promise = std::make_shared<std::promise<XpmlResult>>();
        std::future<XpmlResult> result = promise->get_future();
        if (m_mux.Submit(form.bytes, form.id, endpoint,
                         [promise](XpmlResult done) { promise->set_value(std::move(done)); })) {
            if (m_runner.joinable()) {
                m_runner.join();
            }
            m_runner = std::thread([this] { m_mux.RunExchanges(m_stop); });
        }
        return result;
    }

    XpmlExchangeMux m_mux;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(XpmlMuxTest, AnswersAsTheBlockingExchangeDoes) {
    const char* misbehaviours[] = {
        "none",       "wrong-tid", "404",        "500",       "close",   "split",
        "late",       "no-length", "bare-lf",    "oversized", "trickle", "endless-headers",
        "cut-header", "cut-body",  "bad-length", "no-status", "extra",   "no-length-open"};
    for (const char* misbehave : misbehaviours) {
        SCOPED_TRACE(misbehave);
        ASSERT_FALSE(
            s_server
                ->Control(
                    {{"reset", "1"}, {"prefix", "1"}, {"misbehave", misbehave}, {"delay", "700"}})
                .empty());
        const Form blockingForm = FormFor("mux-same");
        const XpmlResult blocking =
            ExchangeXpml(blockingForm.bytes, blockingForm.id, Endpoint(500));
        const XpmlResult multiplexed = Submit(FormFor("mux-same"), Endpoint(500)).get();
        EXPECT_EQ(multiplexed.route, blocking.route);
        EXPECT_EQ(multiplexed.failure, blocking.failure);
        EXPECT_EQ(multiplexed.code, blocking.code);
        EXPECT_EQ(multiplexed.body, blocking.body);
        EXPECT_EQ(multiplexed.endpoint.port, blocking.endpoint.port);
    }
}

// Twenty printers that hold every request and twenty that answer, all at
// once on one waiting thread: the answers come while the silent ones wait
// out their deadline, and nothing is left behind.
TEST_F(XpmlMuxTest, SilentPrintersHoldSocketsNotTheAnswers) {
    ASSERT_FALSE(s_server->Control({{"printer", "mux-silent"}, {"silent", "1"}}).empty());
    std::vector<std::future<XpmlResult>> silent;
    std::vector<std::future<XpmlResult>> answering;
    const auto start = Clock::now();
    // The silent attempts' deadline is far from what the answers may take on
    // a busy machine, where the server starts a thread per connection.
    constexpr int32_t kSilentMs = 3000;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(Submit(FormFor("mux-silent"), Endpoint(kSilentMs)));
        answering.push_back(Submit(FormFor("mux-answers"), Endpoint(kSilentMs)));
    }
    for (auto& result : answering) {
        EXPECT_EQ(result.get().route, kXpmlNetwork);
    }
    const auto answeredMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(answeredMs, kSilentMs - 1000) << "answers waited for the silent printers";
    for (auto& result : silent) {
        const XpmlResult held = result.get();
        EXPECT_EQ(held.route, kXpmlNoAnswer);
        EXPECT_EQ(held.failure, XpmlFailure::TimedOut);
    }
    const auto allMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(allMs, kSilentMs - 50);
    EXPECT_LT(allMs, kSilentMs + 1500) << "each silent attempt ends at its own deadline";
    EXPECT_EQ(m_mux.Pending(), 0u);
    EXPECT_GE(m_mux.IdleCount(), 1u) << "answered connections are kept";
    EXPECT_LE(m_mux.IdleCount(), XpmlExchangeMux::kMaxIdle);
    // The next answer goes over a kept connection.
    const int64_t connections = s_server->Connections();
    EXPECT_EQ(Submit(FormFor("mux-answers"), Endpoint(kSilentMs)).get().route, kXpmlNetwork);
    EXPECT_EQ(s_server->Connections(), connections);
    ASSERT_FALSE(s_server->Control({{"printer", "mux-silent"}, {"silent", "0"}}).empty());
}

// Each printer of a large watch keeps its own connection between refreshes:
// a second round to 100 printers at 100 addresses opens no connection.
TEST_F(XpmlMuxTest, EveryPrinterOfALargeWatchKeepsItsConnection) {
    constexpr int kPrinters = 100;
    auto round = [&] {
        std::vector<std::future<XpmlResult>> results;
        for (int i = 1; i <= kPrinters; ++i) {
            const std::string host = "127.0.0." + std::to_string(i);
            results.push_back(
                Submit(FormFor("mux-many"), XpmlEndpoint{host.c_str(), s_server->Port(), 10000}));
        }
        for (auto& result : results) {
            EXPECT_EQ(result.get().route, kXpmlNetwork);
        }
    };
    round();
    const int64_t connections = s_server->Connections();
    round();
    EXPECT_EQ(s_server->Connections(), connections);
    EXPECT_EQ(m_mux.IdleCount(), static_cast<size_t>(kPrinters));
}

// A host that refuses or is unknown fails its attempt at once, on the
// submitting thread or the waiting one, with the blocking exchange's failure.
TEST_F(XpmlMuxTest, ConnectionsThatCannotBeMadeFailAsTheBlockingExchangeDoes) {
    const XpmlEndpoint endpoints[] = {{"127.0.0.1", 1, 1000},
                                      {"qv-no-such-host.invalid", 80, 1000}};
    for (const XpmlEndpoint& endpoint : endpoints) {
        SCOPED_TRACE(endpoint.host.GetNarrow());
        const Form form = FormFor("mux-nowhere");
        const XpmlResult blocking = ExchangeXpml(form.bytes, form.id, endpoint);
        const XpmlResult multiplexed = Submit(form, endpoint).get();
        EXPECT_EQ(multiplexed.route, kXpmlNoAnswer);
        EXPECT_EQ(multiplexed.failure, blocking.failure);
        EXPECT_EQ(multiplexed.code, blocking.code);
    }
}

}  // namespace
