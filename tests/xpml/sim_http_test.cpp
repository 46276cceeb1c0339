// The simulated server's own HTTP framing, the peer that keeps the library's honest.
#include "sim/sim_http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/xpml_server/xpml_sim.h"

namespace {

using QvSim::Framing;

TEST(SimHttp, FramesOneMessageWholeAndByteByByte) {
    constexpr size_t kMax = 4 * 1024 * 1024;
    const std::tuple<std::string, std::string, Framing, const char*> rows[] = {
        {"POST /xpml HTTP/1.1\r\nContent-Length: 3\r\n\r\n", "abc", Framing::Complete, "length"},
        {"GET / HTTP/1.1\n\n", "", Framing::Complete, "bare line feeds, no length: no body"},
        {"POST / HTTP/1.1\r\ncontent-LENGTH:  2 \n\r\n", "xy", Framing::Complete, "mixed ends"},
        {"POST / HTTP/1.1\r\nContent-Length: 0x2\r\n\r\n", "", Framing::Invalid, "not decimal"},
        {"P / HTTP/1.1\r\nContent-Length: 2\r\nContent-length: 3\r\n\r\n", "", Framing::Invalid,
         "two lengths"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "", Framing::Invalid, "chunked"},
        {"POST / HTTP/1.1\r\nno colon\r\n\r\n", "", Framing::Invalid, "a line without a name"},
        {"POST / HTTP/1.1\r\nContent-Length: 4194300\r\n\r\n", "", Framing::TooLarge, "4 MiB"},
        {"P / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "", Framing::TooLarge,
         "beyond 64 bits"},
        {std::string(QvSim::kMaxHeadBytes, 'h'), "", Framing::TooLarge, "no end of the head"},
    };
    for (const auto& [head, body, expected, note] : rows) {
        SCOPED_TRACE(note);
        const std::string bytes = head + body + "POST /next";
        QvSim::FramedMessage framed;
        // Every shorter prefix is incomplete (the long head only at its start).
        const size_t whole = expected == Framing::Complete ? head.size() + body.size()
                                                           : std::min<size_t>(head.size(), 256);
        for (size_t n = 0; n < whole; ++n) {
            ASSERT_EQ(QvSim::FrameMessage(bytes.substr(0, n), kMax, framed), Framing::Incomplete);
        }
        ASSERT_EQ(QvSim::FrameMessage(bytes, kMax, framed), expected);
        if (expected == Framing::Complete) {
            EXPECT_EQ(framed.startLine, head.substr(0, head.find_first_of("\r\n")));
            EXPECT_EQ(framed.headBytes, head.size());
            EXPECT_EQ(framed.bodyBytes, body.size());
        }
    }
}

TEST(SimHttp, FormEncodingRoundTripsEveryByte) {
    // Blank, '&', '=' and e-acute (UTF-8 C3 A9) by hand from the form rules.
    EXPECT_EQ(QvSim::EncodeForm({{"a b", "&=\xC3\xA9"}, {"x", ""}}), "a+b=%26%3D%C3%A9&x=");
    std::string every;
    for (int c = 0; c < 256; ++c) {
        every += static_cast<char>(c);
    }
    const auto decoded = QvSim::DecodeForm(QvSim::EncodeForm({{every, every}}));
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0], std::make_pair(every, every));
}

// The simulated printer answers each printer with its own states where it has
// them, the shared ones elsewhere, and counts what it was asked.
TEST(XpmlPrinterSim, AnswersAndCountsPerPrinter) {
    QvSim::XpmlPrinterSim sim;
    ASSERT_TRUE(
        sim.ApplyText("status=Ready\nprinter=A\nstatus=Paper Jam\nseverity=2\n"
                      "printer=B\nsilent=1\nprinter=\nflags2=0000000C\n"));
    EXPECT_FALSE(sim.Apply({{"printer", "A"}, {"silent", "2"}}));
    const std::string four =
        "<state name='Monitoring Supported' action='get' />;<state name='Status' action='get' />;"
        "<state name='Status Severity' action='get' />;<state name='Status Flags 2' action='get' "
        "/>&#00;";
    const std::tuple<const char*, const char*, bool, const char*> rows[] = {
        {"printer", "A", false, "TID1;1;Paper Jam;2;0000000C"},
        {"share", "A", false, "TID1;1;Paper Jam;2;0000000C"},
        {"printer", "B", true, "TID1;1;Ready;1;0000000C"},
        {"printer", "C", false, "TID1;1;Ready;1;0000000C"},
    };
    for (const auto& [field, printer, silent, body] : rows) {
        SCOPED_TRACE(std::string(field) + " " + printer);
        const std::vector<std::pair<std::string, std::string>> fields = {
            {"xpml", four}, {"transactid", "1"}, {field, printer}};
        EXPECT_EQ(sim.Silent(fields), silent);
        EXPECT_EQ(sim.Answer(fields).body, body);
    }
    EXPECT_EQ(sim.Counters(),
              "requests=4;connections=0;printer:A=2;printer:B=1;printer:C=1;"
              "state:Monitoring Supported=4;state:Status=4;state:Status Flags 2=4;"
              "state:Status Severity=4");
    ASSERT_TRUE(sim.Apply({{"clear-counters", "1"}}));
    EXPECT_EQ(sim.Counters(), "requests=0;connections=0");
    // A DAL query's envelope carries ";" of its own: it is no list of states.
    const char* query = "<query id='q'><encode in='base64;lz77'>cGF5bG9hZA==</encode></query>&#00;";
    EXPECT_EQ(sim.Answer({{"xpml", query}, {"transactid", "3"}}).body, "TID3;1");
    EXPECT_EQ(
        sim.Answer({{"xpml", "<request query='q' get='response' />&#00;"}, {"transactid", "4"}})
            .body,
        "TID4;payload");
    ASSERT_TRUE(sim.Apply({{"reset", "1"}}));
    EXPECT_EQ(sim.Answer({{"xpml", four}, {"transactid", "2"}, {"printer", "A"}}).body,
              "TID2;1;Ready;1;00000000");
}

}  // namespace
