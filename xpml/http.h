#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/arrays.h"
#include "core/ostring.h"

// The small part of HTTP/1.1 that XPML speaks: one request with form fields,
// one response read until complete. Pure: no sockets, no system calls beyond
// what OString needs for its code pages. Every text goes on the wire in its
// narrow (code-page) form, except form fields, which are sent as UTF-8.

// The text's UTF-8 bytes with unreserved characters kept, a blank as '+', and
// every other byte as '%' and two upper-case hexadecimal digits. The bytes are
// those of the library's UTF-8 code page, which the driver's side decodes the
// same way: a surrogate pair goes out as two three-byte sequences.
OString UrlEncode(const OString& text);

// The phrase, leading blank included, that follows a status code in a status
// text (" Not Found" for 404); " OK" for any code without a phrase of its own.
const char* HttpReasonPhrase(int32_t code);

// Header lines and body shared by both messages. A header line is a name, ": "
// and a value; a name matches when it equals the asked name with ASCII letters
// compared case-insensitively, the name of a line being the text before its
// first ':' (a line without one has no name).
class HttpMessage {
public:
    // Replaces the first line whose name matches, else appends a line.
    void SetHeader(const OString& name, const OString& value);
    // The trimmed value of the first line whose name matches; empty when none.
    OString GetHeader(const OString& name) const;
    const OStringArray& GetHeaderLines() const { return m_headerLines; }
    void GetBody(std::vector<uint8_t>& out) const { out = m_body; }
    const std::vector<uint8_t>& Body() const { return m_body; }

protected:
    OStringArray m_headerLines;
    std::vector<uint8_t> m_body;
};

class HttpRequest : public HttpMessage {
public:
    void SetMethod(const OString& method) { m_method = method; }
    void SetPath(const OString& path) { m_path = path; }
    const OString& GetMethod() const { return m_method; }
    const OString& GetPath() const { return m_path; }
    void SetBody(const std::vector<uint8_t>& body) { m_body = body; }

    // Appends a form field; fields keep their order.
    void AddField(const OString& name, const OString& value);
    // The fields as name=value pairs joined by '&', both URL-encoded; empty
    // without fields.
    OString FormEncode() const;
    // For a "POST" (exact case) only: a missing or empty "Content-Type" becomes
    // "application/x-www-form-urlencoded"; with exactly that type the body
    // becomes the form encoding; a body that is not empty gets its
    // "Content-Length". Serialize runs it.
    void PrepareBody();
    // The request line (fields after '?' in the target when the method is not
    // "POST"), the header lines, an empty line and the body; returns true.
    bool Serialize(std::vector<uint8_t>& out);

private:
    OString m_method = "GET";
    OString m_version = "HTTP/1.1";
    OString m_path = "/";
    OStringArray m_fieldNames;
    OStringArray m_fieldValues;  // parallel to m_fieldNames
};

enum class HttpParseResult {
    Complete,    // the object now holds the message
    Incomplete,  // a prefix of a message: receive more and parse again from the start
    Invalid,     // no more bytes can make this a message the library accepts
};

class HttpResponse : public HttpMessage {
public:
    // Far above any XPML answer, so a broken or hostile server cannot make the
    // reader grow without bound: a message (headers and body) is at most
    // kMaxMessageBytes, and its start line and header block, end marker
    // included, lie within the first kMaxHeaderBytes. The second limit also
    // bounds the work of parsing again after every receive.
    static constexpr size_t kMaxMessageBytes = 16 * 1024 * 1024;
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;

    // Status 200 OK, "Content-Type: application/octet-stream" and
    // "Cache-Control: no-cache", no body.
    HttpResponse();

    // Status code 200 and status text "200 OK".
    void SetStatusOK();
    // "Content-Length" with n in decimal.
    void SetContentLength(uint64_t n);
    // "Content-Type: application/octet-stream", then a copy of the bytes.
    void SetBody(const std::vector<uint8_t>& body);

    // How many of the bytes the last complete parse took (skipped empty lines
    // included); fewer than it was given when a peer sent more than it
    // announced, whose connection must then not be used again.
    size_t MessageBytes() const { return m_messageBytes; }
    const OString& GetStartLine() const { return m_startLine; }
    const OString& GetVersion() const { return m_version; }
    int32_t GetStatusCode() const { return m_statusCode; }
    const OString& GetStatusText() const { return m_statusText; }

    // Reads bytes[0, length) as one whole response. Empty lines before the
    // start line are skipped. The start line must be "HTTP/x.y", blanks and a
    // three-digit status code (then the end or a blank and the reason);
    // anything else is Invalid. The header block ends at the first
    // "\r\n\r\n", "\n\r\n", "\r\n\n" or "\n\n" from the start line's end on;
    // the body is the "Content-Length" bytes after it (complete once they are
    // there; bytes beyond are no part of it), or without a Content-Length
    // every byte after it. A Content-Length that is not a decimal number of at
    // most 64 bits (a sign, for one), or a message beyond the limits above,
    // is Invalid. On anything but Complete the object is left as it was. The
    // start line is split at its first blank or tab into version and status
    // text (the code being the status text's three digits).
    HttpParseResult TryParse(const uint8_t* bytes, size_t length);
    // TryParse(bytes, length) == Complete.
    bool Parse(const uint8_t* bytes, size_t length) {
        return TryParse(bytes, length) == HttpParseResult::Complete;
    }

private:
    OString m_startLine;
    size_t m_messageBytes = 0;
    OString m_version = "HTTP/1.1";
    int32_t m_statusCode = 200;
    OString m_statusText = "200 OK";
};
