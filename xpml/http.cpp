#include "xpml/http.h"

#include <cstring>
#include <string>

#include "core/hex.h"
#include "core/text_scan.h"

namespace {

constexpr char kUnreserved[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.!~*'()";
constexpr char kFormType[] = "application/x-www-form-urlencoded";

struct Span {
    const char* data = nullptr;
    size_t size = 0;
};

struct ReasonPhrase {
    int32_t code;
    const char* phrase;
};

constexpr ReasonPhrase kReasonPhrases[] = {
    {100, " Continue"},
    {101, " Switching Protocols"},
    {201, " Created"},
    {202, " Accepted"},
    {203, " Non-Authoritative Information"},
    {204, " No Content"},
    {205, " Reset Content"},
    {206, " Partial Content"},
    {300, " Multiple Choices"},
    {301, " Moved Permanently"},
    {302, " Found"},
    {303, " See Other"},
    {304, " Not Modified"},
    {305, " Use Proxy"},
    {307, " Temporary Redirect"},
    {400, " Bad Request"},
    {401, " Unauthorized"},
    {402, " Payment Required"},
    {403, " Forbidden"},
    {404, " Not Found"},
    {405, " Method Not Allowed"},
    {406, " Not Acceptable"},
    {407, " Proxy Authentication Required"},
    {408, " Request Time-out"},
    {409, " Conflict"},
    {410, " Gone"},
    {411, " Length Required"},
    {412, " Precondition Failed"},
    {413, " Request Entity Too Large"},
    {414, " Request-URI Too Large"},
    {415, " Unsupported Media Type"},
    {416, " Requested range not satisfiable"},
    {417, " Expectation Failed"},
    {500, " Internal Server Error"},
    {501, " Not Implemented"},
    {502, " Bad Gateway"},
    {503, " Service Unavailable"},
    {504, " Gateway Time-out"},
    {505, " HTTP Version not supported"},
};

// Tested in this order at each position, longest first, so "\r\n\r\n" is never
// taken for the "\n\r\n" inside it.
constexpr Span kHeaderEndMarkers[] = {{"\r\n\r\n", 4}, {"\n\r\n", 3}, {"\r\n\n", 3}, {"\n\n", 2}};
constexpr Span kContentLength = {"Content-Length", 14};

bool IsLineSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Span Trimmed(const char* data, size_t size) {
    while (size > 0 && IsLineSpace(data[0])) {
        ++data;
        --size;
    }
    while (size > 0 && IsLineSpace(data[size - 1])) {
        --size;
    }
    return {data, size};
}

// Narrow bytes (which may hold no NUL) as text of the given code page.
OString TextOf(Span span, uint32_t codePage = OString::kCodePageAnsi) {
    OString text;
    text.SetCodePage(codePage);
    text = std::string(span.data, span.size).c_str();
    return text;
}

// When the line's name (the text before its first ':') equals name, ASCII
// letters folded, sets value to the trimmed rest of the line.
bool MatchHeader(Span line, Span name, Span& value) {
    const auto* colon = static_cast<const char*>(std::memchr(line.data, ':', line.size));
    if (colon == nullptr || static_cast<size_t>(colon - line.data) != name.size) {
        return false;
    }
    for (size_t i = 0; i < name.size; ++i) {
        if (OText::FoldAscii(line.data[i]) != OText::FoldAscii(name.data[i])) {
            return false;
        }
    }
    value = Trimmed(colon + 1, line.size - name.size - 1);
    return true;
}

Span NarrowSpan(const OString& text) {
    const char* narrow = text.GetNarrow();
    return {narrow, std::strlen(narrow)};
}

// Index of the first line whose name matches, or -1; value points into that
// line's narrow buffer.
int32_t FindHeaderLine(const OStringArray& lines, const OString& name, Span& value) {
    const Span wanted = NarrowSpan(name);
    for (int32_t i = 0; i < lines.GetCount(); ++i) {
        if (MatchHeader(NarrowSpan(lines[i]), wanted, value)) {
            return i;
        }
    }
    return -1;
}

// The same search over a raw header block, each line trimmed as the parser
// trims the lines it keeps.
bool FindRawHeader(Span block, Span name, Span& value) {
    const char* end = block.data + block.size;
    for (const char* line = block.data; line < end;) {
        const auto* lf = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* lineEnd = lf != nullptr ? lf : end;
        if (MatchHeader(Trimmed(line, lineEnd - line), name, value)) {
            return true;
        }
        line = lineEnd + 1;
    }
    return false;
}

// Position of the first header-end marker that lies wholly in [from, limit);
// markerLength is 0 when there is none.
size_t FindHeaderEnd(const char* text, size_t from, size_t limit, size_t& markerLength) {
    for (size_t p = from; p + 2 <= limit; ++p) {
        for (const Span& marker : kHeaderEndMarkers) {
            if (p + marker.size <= limit && std::memcmp(text + p, marker.data, marker.size) == 0) {
                markerLength = marker.size;
                return p;
            }
        }
    }
    markerLength = 0;
    return limit;
}

// One or more decimal digits and nothing else, within 64 bits.
bool ParseDecimal64(Span text, uint64_t& value) {
    value = 0;
    if (text.size == 0) {
        return false;
    }
    for (size_t i = 0; i < text.size; ++i) {
        const char c = text.data[i];
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

void AppendUrlEncoded(std::string& out, const OString& text) {
    OString utf8 = text;
    utf8.SetCodePageUtf8();
    for (const char* p = utf8.GetNarrow(); *p != '\0'; ++p) {
        const auto byte = static_cast<uint8_t>(*p);
        if (std::strchr(kUnreserved, *p) != nullptr) {
            out += *p;
        } else if (*p == ' ') {
            out += '+';
        } else {
            out += '%';
            out += OHex::Digit(byte >> 4);
            out += OHex::Digit(byte);
        }
    }
}

}  // namespace

OString UrlEncode(const OString& text) {
    std::string encoded;
    AppendUrlEncoded(encoded, text);
    return OString(encoded.c_str());
}

const char* HttpReasonPhrase(int32_t code) {
    for (const ReasonPhrase& row : kReasonPhrases) {
        if (row.code == code) {
            return row.phrase;
        }
    }
    return " OK";
}

void HttpMessage::SetHeader(const OString& name, const OString& value) {
    OString line = name;
    line += ": ";
    line += value;
    Span ignored;
    const int32_t index = FindHeaderLine(m_headerLines, name, ignored);
    if (index >= 0) {
        m_headerLines[index] = line;
    } else {
        m_headerLines.Add(line);
    }
}

OString HttpMessage::GetHeader(const OString& name) const {
    Span value;
    const int32_t index = FindHeaderLine(m_headerLines, name, value);
    return index < 0 ? OString() : TextOf(value, m_headerLines[index].GetCodePage());
}

void HttpRequest::AddField(const OString& name, const OString& value) {
    m_fieldNames.Add(name);
    m_fieldValues.Add(value);
}

OString HttpRequest::FormEncode() const {
    std::string form;
    for (int32_t i = 0; i < m_fieldNames.GetCount(); ++i) {
        if (i > 0) {
            form += '&';
        }
        AppendUrlEncoded(form, m_fieldNames[i]);
        form += '=';
        AppendUrlEncoded(form, m_fieldValues[i]);
    }
    return OString(form.c_str());
}

void HttpRequest::PrepareBody() {
    if (m_method != "POST") {
        return;
    }
    if (GetHeader("Content-Type").IsEmpty()) {
        SetHeader("Content-Type", kFormType);
    }
    if (GetHeader("Content-Type") == kFormType) {
        const OString form = FormEncode();
        const Span bytes = NarrowSpan(form);
        m_body.assign(bytes.data, bytes.data + bytes.size);
    }
    if (!m_body.empty()) {
        SetHeader("Content-Length", OString(static_cast<uint64_t>(m_body.size())));
    }
}

bool HttpRequest::Serialize(std::vector<uint8_t>& out) {
    std::string head = m_method.GetNarrow();
    head += ' ';
    head += m_path.GetNarrow();
    if (m_method != "POST" && m_fieldNames.GetCount() > 0) {
        head += '?';
        head += FormEncode().GetNarrow();
    }
    head += ' ';
    head += m_version.GetNarrow();
    head += "\r\n";
    PrepareBody();
    for (int32_t i = 0; i < m_headerLines.GetCount(); ++i) {
        head += m_headerLines[i].GetNarrow();
        head += "\r\n";
    }
    head += "\r\n";
    out.assign(head.begin(), head.end());
    out.insert(out.end(), m_body.begin(), m_body.end());
    return true;
}

HttpResponse::HttpResponse() {
    SetHeader("Content-Type", "application/octet-stream");
    SetHeader("Cache-Control", "no-cache");
}

void HttpResponse::SetStatusOK() {
    m_statusCode = 200;
    m_statusText = OString(m_statusCode) + HttpReasonPhrase(m_statusCode);
}

void HttpResponse::SetContentLength(uint64_t n) {
    SetHeader("Content-Length", OString(n));
}

void HttpResponse::SetBody(const std::vector<uint8_t>& body) {
    SetHeader("Content-Type", "application/octet-stream");
    m_body = body;
}

namespace {

// "HTTP/" digits "." digits, blanks, three digits, then the line's end or a
// blank: anything else is no answer, whatever a lenient reading would make
// of it ("BUSY" must not pass for "200 OK").
bool IsStatusLine(const char* text, size_t end) {
    if (end < 5 || std::memcmp(text, "HTTP/", 5) != 0) {
        return false;
    }
    size_t i = 5;
    auto skip = [&](auto accept) {
        const size_t from = i;
        while (i < end && accept(text[i])) {
            ++i;
        }
        return i - from;
    };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (skip(digit) == 0 || i == end || text[i++] != '.' || skip(digit) == 0 || skip(blank) == 0 ||
        skip(digit) != 3) {
        return false;
    }
    return i == end || blank(text[i]);
}

}  // namespace

HttpParseResult HttpResponse::TryParse(const uint8_t* bytes, size_t length) {
    if (length > kMaxMessageBytes) {
        return HttpParseResult::Invalid;
    }
    // Empty lines before the start line are no part of the answer (a peer's
    // stray line end after its previous one).
    size_t skipped = 0;
    while (skipped < length && skipped < kMaxHeaderBytes &&
           (bytes[skipped] == '\n' ||
            (bytes[skipped] == '\r' && skipped + 1 < length && bytes[skipped + 1] == '\n'))) {
        skipped += bytes[skipped] == '\r' ? 2 : 1;
    }
    if (bytes == nullptr || length == skipped) {
        return skipped >= kMaxHeaderBytes ? HttpParseResult::Invalid : HttpParseResult::Incomplete;
    }
    bytes += skipped;
    length -= skipped;
    const auto* text = reinterpret_cast<const char*>(bytes);
    // The header block must end within the window; once the window is full
    // without an end, no further byte can supply one.
    const size_t window = length < kMaxHeaderBytes ? length : kMaxHeaderBytes;
    const HttpParseResult unended =
        length >= kMaxHeaderBytes ? HttpParseResult::Invalid : HttpParseResult::Incomplete;

    const auto* lf = static_cast<const char*>(std::memchr(text, '\n', window));
    if (lf == nullptr) {
        return unended;
    }
    const auto lineFeed = static_cast<size_t>(lf - text);
    const size_t startLineEnd =
        (lineFeed > 0 && text[lineFeed - 1] == '\r') ? lineFeed - 1 : lineFeed;
    if (!IsStatusLine(text, startLineEnd)) {
        return HttpParseResult::Invalid;
    }
    const size_t headerStart = lineFeed + 1;
    // The search starts at the start line's own terminator, so a start line
    // followed by nothing but an empty line ends the block there.
    size_t markerLength = 0;
    const size_t headerEnd = FindHeaderEnd(text, startLineEnd, window, markerLength);
    if (markerLength == 0) {
        return unended;
    }
    const Span headerBlock{text + headerStart,
                           headerEnd > headerStart ? headerEnd - headerStart : 0};
    const size_t bodyStart = headerEnd + markerLength;

    // Without a header block of its own the message is judged by the lines the
    // object already has. The length is checked before anything is built, so
    // a body arriving in small receives costs little per parse.
    OString keptLength;
    Span lengthText;
    if (headerBlock.size == 0) {
        keptLength = GetHeader("Content-Length");
        lengthText = NarrowSpan(keptLength);
    } else {
        FindRawHeader(headerBlock, kContentLength, lengthText);
    }
    uint64_t contentLength = 0;
    if (lengthText.size > 0 && !ParseDecimal64(lengthText, contentLength)) {
        return HttpParseResult::Invalid;
    }
    // bodyStart is within the header window, far below the message limit.
    if (contentLength > kMaxMessageBytes - bodyStart) {
        return HttpParseResult::Invalid;
    }
    if (contentLength > length - bodyStart) {
        return HttpParseResult::Incomplete;
    }

    if (headerBlock.size > 0) {
        OStringArray lines;
        OString::Split(lines, TextOf(headerBlock), "\n");
        for (int32_t i = 0; i < lines.GetCount(); ++i) {
            lines[i].Trim();
        }
        m_headerLines = lines;
    }
    // Bytes past the announced length belong to no answer of ours: they are
    // not handed on as part of this one (see MessageBytes).
    const size_t bodyEnd = lengthText.size > 0 ? bodyStart + contentLength : length;
    m_body.assign(bytes + bodyStart, bytes + bodyEnd);
    m_messageBytes = skipped + bodyEnd;
    m_startLine = TextOf({text, startLineEnd});
    for (size_t i = 0; i < startLineEnd; ++i) {
        if (text[i] == ' ' || text[i] == '\t') {
            m_version = TextOf(Trimmed(text, i));
            m_statusText = TextOf(Trimmed(text + i, startLineEnd - i));
            const char first = m_statusText.GetNarrow()[0];
            m_statusCode = (first >= '0' && first <= '9') ? m_statusText.ToInt() : 0;
            break;
        }
    }
    return HttpParseResult::Complete;
}
