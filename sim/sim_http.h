#pragma once

// HTTP/1.1 framing for the simulated printer's XPML server and its control
// client. Their own, never the library's: a framing fault in the library then
// fails the end-to-end tests instead of hiding on both sides of the wire.
// Pure: no sockets, no system calls.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace QvSim {

// How far the bytes at the front of a stream hold one HTTP/1.1 message.
enum class Framing {
    Incomplete,  // more bytes needed
    Complete,
    Invalid,   // a header line without ':', a Content-Length not plain decimal
               // (or given twice with different values), a Transfer-Encoding
    TooLarge,  // the header block or the whole message beyond its limit
};

// A message is its start line, header lines up to the first empty line
// ("\r\n" line ends; a bare "\n" is accepted too), then exactly
// Content-Length body bytes, none without one. Whatever follows is the next
// message. Refused as TooLarge: a header block not ended within kMaxHeadBytes,
// or head and body beyond maxBytes (known before the body arrives).
struct FramedMessage {
    std::string startLine;  // without its line end
    size_t headBytes = 0;   // start line and header block, the empty line included
    size_t bodyBytes = 0;
};
constexpr size_t kMaxHeadBytes = 64 * 1024;
Framing FrameMessage(const std::string& bytes, size_t maxBytes, FramedMessage& out);

// application/x-www-form-urlencoded, the inverse of QvSim::DecodeForm:
// letters, digits and "-_.~" as they are, '+' for a blank, '%' and two
// upper-case hexadecimal digits for every other byte.
std::string EncodeForm(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace QvSim
