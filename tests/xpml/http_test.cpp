#include "xpml/http.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Text(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string Lines(const OStringArray& lines) {
    std::string joined;
    for (int32_t i = 0; i < lines.GetCount(); ++i) {
        joined += (i > 0 ? "|" : "") + std::string(lines[i].GetNarrow());
    }
    return joined;
}

const char kDefaultLines[] = "Content-Type: application/octet-stream|Cache-Control: no-cache";

TEST(UrlEncode, EncodesUtf8BytesOfEverythingButTheUnreservedSet) {
    static const struct {
        const wchar_t* text;
        const char* expected;
        const char* note;
    } kRows[] = {
        {L"a b", "a+b", "blank"},
        {L"&=", "%26%3D", "form delimiters"},
        {L"\u00e9", "%C3%A9", "U+00E9: C3 A9"},
        {L"\u20ac", "%E2%82%AC", "U+20AC: E2 82 AC"},
        // The library's UTF-8 writes each UTF-16 unit alone (D83D DE00), as its
        // peers decode it.
        {L"\U0001F600", "%ED%A0%BD%ED%B8%80", "U+1F600: ED A0 BD, ED B8 80"},
        {L"AZaz09-_.!~*'()", "AZaz09-_.!~*'()", "unreserved"},
        {L"/%+\n<", "%2F%25%2B%0A%3C", "reserved and control"},
        {L"", "", "empty"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.note);
        EXPECT_STREQ(UrlEncode(row.text).GetNarrow(), row.expected);
    }
}

TEST(HttpRequest, SerializesPostAsUrlEncodedForm) {
    HttpRequest request;
    request.SetMethod("POST");
    request.SetPath("/xpml");
    request.AddField("xpml", "<q a=\"1\"/>");
    request.AddField("printer", L"Caf\u00e9 1");
    EXPECT_STREQ(request.FormEncode().GetNarrow(),
                 "xpml=%3Cq+a%3D%221%22%2F%3E&printer=Caf%C3%A9+1");
    std::vector<uint8_t> out;
    ASSERT_TRUE(request.Serialize(out));
    EXPECT_EQ(Text(out),
              "POST /xpml HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: 47\r\n\r\nxpml=%3Cq+a%3D%221%22%2F%3E&printer=Caf%C3%A9+1");
}

TEST(HttpRequest, SerializesTheOtherForms) {
    static const struct {
        const char* method;
        const char* contentType;  // null: none set
        const char* body;
        bool fields;
        const char* expected;
    } kRows[] = {
        {"GET", nullptr, "", true, "GET /s?a=1&b=x+y HTTP/1.1\r\n\r\n"},
        {"post", nullptr, "", true, "post /s?a=1&b=x+y HTTP/1.1\r\n\r\n"},  // "POST" exactly
        {"POST", nullptr, "", false,
         "POST /s HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"},
        {"POST", "text/xml", "<x/>", true,
         "POST /s HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 4\r\n\r\n<x/>"},
        {"POST", " ", "", true,  // a blank type counts as none
         "POST /s HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 9\r\n\r\na=1&b=x+y"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.expected);
        HttpRequest request;
        request.SetMethod(row.method);
        request.SetPath("/s");
        if (row.contentType != nullptr) {
            request.SetHeader("Content-Type", row.contentType);
        }
        request.SetBody({row.body, row.body + strlen(row.body)});
        if (row.fields) {
            request.AddField("a", "1");
            request.AddField("b", "x y");
        }
        std::vector<uint8_t> out;
        ASSERT_TRUE(request.Serialize(out));
        EXPECT_EQ(Text(out), row.expected);
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
    EXPECT_STREQ(response.GetHeader("Content-Type ").GetNarrow(), "");
    response.SetBody({1, 2});
    EXPECT_STREQ(response.GetHeader("Content-Type").GetNarrow(), "application/octet-stream");
    std::vector<uint8_t> body;
    response.GetBody(body);
    EXPECT_EQ(body, (std::vector<uint8_t>{1, 2}));
}

TEST(HttpReasonPhrase, FollowsTheHttp11Table) {
    // RFC 2616 section 6.1.1; codes it does not list, 200 included, give " OK".
    static const struct {
        int32_t code;
        const char* phrase;
    } kRows[] = {{100, " Continue"},
                 {203, " Non-Authoritative Information"},
                 {307, " Temporary Redirect"},
                 {404, " Not Found"},
                 {408, " Request Time-out"},
                 {416, " Requested range not satisfiable"},
                 {505, " HTTP Version not supported"},
                 {200, " OK"},
                 {306, " OK"},
                 {418, " OK"},
                 {-1, " OK"}};
    for (const auto& row : kRows) {
        EXPECT_STREQ(HttpReasonPhrase(row.code), row.phrase) << row.code;
    }
}

using R = HttpParseResult;

struct ParseRow {
    std::string bytes;
    R whole;
    const char* version;
    int32_t code;
    const char* statusText;
    const char* lines;
    const char* body;
    const char* bytewiseBody;  // body when first complete, fed one byte at a time
    const char* note;
};

const ParseRow kParseRows[] = {
    {"HTTP/1.1 200 OK\r\n\r\n", R::Complete, "HTTP/1.1", 200, "200 OK", kDefaultLines, "", "",
     "no headers: the defaults stay"},
    {"HTTP/1.0 404 Not Found\nContent-Length: 4\n\nabcd", R::Complete, "HTTP/1.0", 404,
     "404 Not Found", "Content-Length: 4", "abcd", "abcd", "bare line feeds"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", R::Incomplete, "", 0, "", "", "", "",
     "4 of 10"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789AB", R::Complete, "HTTP/1.1", 200,
     "200 OK", "Content-Length: 10", "0123456789AB", "0123456789", "more than announced"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", R::Incomplete, "", 0, "", "", "", "",
     "headers complete, body not yet begun"},
    {"HTTP/1.1 200 OK\r\nX: 1\r\n\r\nxyz", R::Complete, "HTTP/1.1", 200, "200 OK", "X: 1", "xyz",
     "", "no length: complete at the header end"},
    {"HTTP/1.1 200 OK\nA: b\n\r\nxy", R::Complete, "HTTP/1.1", 200, "200 OK", "A: b", "xy", "",
     "\\n\\r\\n"},
    {"HTTP/1.1 200 OK\r\nA: b\r\n\nxy", R::Complete, "HTTP/1.1", 200, "200 OK", "A: b", "xy", "",
     "\\r\\n\\n"},
    {"HTTP/1.1 200 OK\r\n\nA: b\r\n\r\n", R::Complete, "HTTP/1.1", 200, "200 OK", kDefaultLines,
     "A: b\r\n\r\n", "", "the start line's terminator begins the end marker"},
    {"HTTP/1.1\tOK then\r\n\r\n", R::Complete, "HTTP/1.1", 0, "OK then", kDefaultLines, "", "",
     "tab; status begins with a letter"},
    {"GARBAGE\r\n\r\n", R::Complete, "HTTP/1.1", 200, "200 OK", kDefaultLines, "", "",
     "no blank: version and status keep their values"},
    {"HTTP/1.1  201 Created \r\n \tX-A: 1 \r\ncontent-length: 0\r\n\r\nz", R::Complete, "HTTP/1.1",
     201, "201 Created", "X-A: 1|content-length: 0", "z", "", "trimmed lines, any case"},
    {"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nq", R::Complete, "HTTP/1.1", 200, "200 OK",
     "Content-Length:", "q", "", "empty length is no length"},
    {"HTTP/1.1 200 OK", R::Incomplete, "", 0, "", "", "", "", "no line feed"},
    {"HTTP/1.1 200 OK\r\nA: b\r\n", R::Incomplete, "", 0, "", "", "", "", "headers go on"},
    {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", R::Invalid, "", 0, "", "", "", "",
     "negative"},
    {"HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nabcde", R::Invalid, "", 0, "", "", "", "",
     "sign"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nab", R::Invalid, "", 0, "", "", "", "",
     "not a number"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n", R::Invalid, "", 0, "", "",
     "", "", "2^64, beyond 64 bits"},
    {"HTTP/1.1 200 OK\r\nContent-Length: 16777216\r\n\r\n", R::Invalid, "", 0, "", "", "", "",
     "16 MiB of body after the headers exceeds the limit"},
};

// Feeds the whole row, then growing prefixes of it as receives would deliver
// them, each into a fresh response.
TEST(HttpResponse, ParsesWholeAndOneByteAtATime) {
    for (const auto& row : kParseRows) {
        SCOPED_TRACE(row.note);
        const auto* bytes = reinterpret_cast<const uint8_t*>(row.bytes.data());
        HttpResponse whole;
        ASSERT_EQ(whole.TryParse(bytes, row.bytes.size()), row.whole);
        EXPECT_EQ(whole.Parse(bytes, row.bytes.size()), row.whole == R::Complete);
        if (row.whole == R::Complete) {
            EXPECT_STREQ(whole.GetVersion().GetNarrow(), row.version);
            EXPECT_EQ(whole.GetStatusCode(), row.code);
            EXPECT_STREQ(whole.GetStatusText().GetNarrow(), row.statusText);
            EXPECT_EQ(Lines(whole.GetHeaderLines()), row.lines);
            EXPECT_EQ(Text(whole.Body()), row.body);
        } else {  // left as constructed
            EXPECT_EQ(whole.GetStatusCode(), 200);
            EXPECT_EQ(Lines(whole.GetHeaderLines()), kDefaultLines);
        }
        R result = R::Incomplete;
        size_t fed = 0;
        HttpResponse partial;
        while (result == R::Incomplete && fed < row.bytes.size()) {
            partial = HttpResponse();
            result = partial.TryParse(bytes, ++fed);
        }
        EXPECT_EQ(result, row.whole) << "after " << fed << " bytes";
        if (result == R::Complete) {
            EXPECT_EQ(partial.GetStatusCode(), row.code);
            EXPECT_EQ(Text(partial.Body()), row.bytewiseBody);
        }
    }
}

TEST(HttpResponse, LimitsHeadersAndMessage) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: ";
    const size_t limit = HttpResponse::kMaxMessageBytes;
    // The length's digits change the header size, so settle it by trying both widths.
    std::string full;
    for (size_t digits = 7; digits <= 8 && full.size() != limit; ++digits) {
        const size_t body = limit - head.size() - digits - 4;
        full = head + std::to_string(body) + "\r\n\r\n";
        full.resize(full.size() + body, 'b');
    }
    ASSERT_EQ(full.size(), limit);
    auto parse = [](const std::string& bytes) {
        HttpResponse response;
        return response.TryParse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    EXPECT_EQ(parse(full), R::Complete);
    EXPECT_EQ(parse(full + "x"), R::Invalid) << "one byte beyond the message limit";

    const size_t headerLimit = HttpResponse::kMaxHeaderBytes;
    std::string headers = "HTTP/1.1 200 OK\r\n";
    while (headers.size() < headerLimit - 4) {
        headers += "A\r\n";
    }
    headers.resize(headerLimit - 4, 'A');
    EXPECT_EQ(parse(headers), R::Incomplete);
    EXPECT_EQ(parse(headers + "\r\n\r\n"), R::Complete) << "block ends on the last byte";
    EXPECT_EQ(parse(headers + "A\r\n\r\n"), R::Invalid) << "block ends one byte beyond";
    EXPECT_EQ(parse(headers + "AAAA"), R::Invalid) << "the window is full";
    EXPECT_EQ(parse(std::string(headerLimit - 1, 'S')), R::Incomplete);
    EXPECT_EQ(parse(std::string(headerLimit, 'S')), R::Invalid) << "a start line without end";
}

}  // namespace
