#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/xpml_server_process.h"

namespace QvTest {

// A test suite served by one simulated XPML server process, started before
// its first test and stopped after its last. Each test finds the server's
// states reset, or is skipped when there is no server: a derived SetUp calls
// this one first and returns unless Ready().
class SimServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new QvSim::XpmlServerProcess(); }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        if (!s_server->Ok()) {
            GTEST_SKIP() << "no XPML server: "
                         << std::string(s_server->Error().begin(), s_server->Error().end());
        }
        ASSERT_FALSE(s_server->Control({{"reset", "1"}}).empty());
    }
    bool Ready() const { return !IsSkipped() && !HasFatalFailure(); }

    static inline QvSim::XpmlServerProcess* s_server = nullptr;
};

}  // namespace QvTest
