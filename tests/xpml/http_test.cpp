#include "xpml/http.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/text.h"

namespace {

std::string Text(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string Lines(const OStringArray& lines) {
    return QvTest::Joined(lines, "|");
}

const char kDefaultLines[] = "Content-Type: application/octet-stream|Cache-Control: no-cache";

TEST(UrlEncode, EncodesUtf8BytesOfEverythingButTheUnreservedSet) {
    const std::tuple<const wchar_t*, const char*, const char*> kRows[] = {
        {L"a b", "a+b", "blank"},
        {L"\u00e9", "%C3%A9", "U+00E9: C3 A9"},
        {L"\U0001F600", "%ED%A0%BD%ED%B8%80", "U+1F600: each unit of D83D DE00 alone"},
        {L"AZaz09-_.!~*'()", "AZaz09-_.!~*'()", "unreserved"},
        {L"&=/%+\n<", "%26%3D%2F%25%2B%0A%3C", "reserved and control"}};
    for (const auto& [text, expected, note] : kRows) {
        SCOPED_TRACE(note);
        EXPECT_STREQ(UrlEncode(text).GetNarrow(), expected);
    }
}

TEST(HttpRequest, SerializesFormsIntoBodyOrTarget) {
    const std::tuple<const char*, bool, const char*> kRows[] = {
        {"POST", false,
         "POST /s HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 24\r\n\r\na=1&b=x+y&p=%3C%C3%A9%3E"},
        {"GET", false, "GET /s?a=1&b=x+y&p=%3C%C3%A9%3E HTTP/1.1\r\n\r\n"},
        {"post", false, "post /s?a=1&b=x+y&p=%3C%C3%A9%3E HTTP/1.1\r\n\r\n"},
        {"POST", true,
         "POST /s HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 4\r\n\r\n<x/>"},
    };
    for (const auto& [method, xml, expected] : kRows) {
        SCOPED_TRACE(expected);
        HttpRequest request;
        request.SetMethod(method);
        request.SetPath("/s");
        if (xml) {
            request.SetHeader("Content-Type", "text/xml");
            request.SetBody({'<', 'x', '/', '>'});
        }
        request.AddField("a", "1");
        request.AddField("b", "x y");
        request.AddField("p", L"<\u00e9>");
        std::vector<uint8_t> out;
        ASSERT_TRUE(request.Serialize(out));
        EXPECT_EQ(Text(out), expected);
    }
}

TEST(HttpMessage, HeaderNamesMatchIgnoringAsciiCase) {
    HttpResponse response;
    response.SetHeader("content-TYPE", "text/plain");
    response.SetHeader("X-Long", "  padded\t");
    response.SetContentLength(1234567890123ull);
    EXPECT_EQ(Lines(response.GetHeaderLines()),
              "content-TYPE: text/plain|Cache-Control: no-cache|X-Long:   padded\t|"
              "Content-Length: 1234567890123");
    EXPECT_STREQ(response.GetHeader("x-long").GetNarrow(), "padded");
    EXPECT_STREQ(response.GetHeader("Content").GetNarrow(), "");
    response.SetBody({1, 2});
    EXPECT_STREQ(response.GetHeader("Content-Type").GetNarrow(), "application/octet-stream");
}

using R = HttpParseResult;

struct ParseRow {
    std::string bytes;
    R whole;
    const char* note;
    const char* status = "";  // version|code|status text
    const char* lines = "";
    const char* body = "";
    const char* bytewiseBody = "";  // body when first complete, fed one byte at a time
};

const char kOk[] = "HTTP/1.1|200|200 OK";

const ParseRow kParseRows[] = {
    {"HTTP/1.1 200 OK\r\n\r\n", R::Complete, "no headers: the defaults stay", kOk, kDefaultLines},
    {"HTTP/1.0 404 Not Found\nContent-Length: 4\n\nabcd", R::Complete, "bare line feeds",
     "HTTP/1.0|404|404 Not Found", "Content-Length: 4", "abcd", "abcd"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", R::Incomplete, "4 of 10"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789AB", R::Complete,
     "more than announced: cut at the length", kOk, "Content-Length: 10", "0123456789",
     "0123456789"},
    {"\r\n\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", R::Complete,
     "empty lines before the start line", kOk, "Content-Length: 1", "x", "x"},
    {"HTTP/1.1 200 OK\nA: b\n\r\nxy", R::Complete, "\\n\\r\\n", kOk, "A: b", "xy"},
    {"HTTP/1.1 200 OK\r\nA: b\r\n\nxy", R::Complete, "\\r\\n\\n", kOk, "A: b", "xy"},
    {"HTTP/1.1 200 OK\r\n\nA: b\r\n\r\n", R::Complete,
     "the start line's terminator begins the marker", kOk, kDefaultLines, "A: b\r\n\r\n"},
    {"HTTP/1.1\t404\tNot Found\r\n\r\n", R::Complete, "tabs", "HTTP/1.1|404|404\tNot Found",
     kDefaultLines},
    {"HTTP/1.1\tOK then\r\n\r\n", R::Invalid, "a status that is no number"},
    {"GARBAGE\r\n\r\n", R::Invalid, "no status line"},
    {"BUSY\r\n\r\n", R::Invalid, "no status line"},
    {"HTTP/1.1 20 OK\r\n\r\n", R::Invalid, "two digits"},
    {"HTTP/1.1 2000\r\n\r\n", R::Invalid, "four digits"},
    {"HTTP/1 200 OK\r\n\r\n", R::Invalid, "no minor version"},
    {"HTTP/1.1  201 Created \r\n \tX-A: 1 \r\ncontent-length: 0\r\n\r\nz", R::Complete,
     "trimmed, any case; the length cuts the body", "HTTP/1.1|201|201 Created",
     "X-A: 1|content-length: 0", ""},
    {"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nq", R::Complete, "empty length is no length", kOk,
     "Content-Length:", "q"},
    {"HTTP/1.1 200 OK", R::Incomplete, "no line feed"},
    {"HTTP/1.1 200 OK\r\nA: b\r\n", R::Incomplete, "headers go on"},
    {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", R::Invalid, "negative"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n", R::Invalid, "2^64"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 16777216\r\n\r\n", R::Invalid, "16 MiB after headers"},
};

// Growing prefixes as receives would deliver them, each into a fresh response.
TEST(HttpResponse, ParsesWholeAndOneByteAtATime) {
    for (const auto& row : kParseRows) {
        SCOPED_TRACE(row.note);
        const auto* bytes = reinterpret_cast<const uint8_t*>(row.bytes.data());
        HttpResponse whole;
        ASSERT_EQ(whole.TryParse(bytes, row.bytes.size()), row.whole);
        const bool complete = row.whole == R::Complete;  // else left as constructed
        EXPECT_EQ(std::string(whole.GetVersion().GetNarrow()) + "|" +
                      std::to_string(whole.GetStatusCode()) + "|" +
                      whole.GetStatusText().GetNarrow(),
                  complete ? row.status : kOk);
        EXPECT_EQ(Lines(whole.GetHeaderLines()), complete ? row.lines : kDefaultLines);
        EXPECT_EQ(Text(whole.Body()), row.body);
        R result = R::Incomplete;
        size_t fed = 0;
        HttpResponse partial;
        while (result == R::Incomplete && fed < row.bytes.size()) {
            partial = HttpResponse();
            result = partial.TryParse(bytes, ++fed);
        }
        EXPECT_EQ(result, row.whole) << "after " << fed << " bytes";
        EXPECT_EQ(Text(partial.Body()), row.bytewiseBody);
    }
}

TEST(HttpResponse, LimitsHeadersAndMessage) {
    auto parse = [](const std::string& bytes) {
        HttpResponse response;
        return response.TryParse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    std::string full = "HTTP/1.1 200 OK\r\n\r\n";
    full.resize(HttpResponse::kMaxMessageBytes, 'b');
    EXPECT_EQ(parse(full), R::Complete);
    EXPECT_EQ(parse(full + "x"), R::Invalid) << "one byte beyond the message limit";
    const size_t headerLimit = HttpResponse::kMaxHeaderBytes;
    std::string headers = "HTTP/1.1 200 OK\r\n";
    while (headers.size() < headerLimit - 4) {
        headers += "A\r\n";
    }
    headers.resize(headerLimit - 4, 'A');
    EXPECT_EQ(parse(headers + "\r\n\r\n"), R::Complete) << "block ends on the last byte";
    EXPECT_EQ(parse(headers + "A\r\n\r\n"), R::Invalid) << "block ends one byte beyond";
    EXPECT_EQ(parse(std::string(headerLimit - 1, 'S')), R::Incomplete);
    EXPECT_EQ(parse(std::string(headerLimit, 'S')), R::Invalid) << "a start line without end";
}

}  // namespace
