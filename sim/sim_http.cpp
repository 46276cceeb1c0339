#include "sim/sim_http.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace QvSim {

namespace {

// Both sides trimmed of blanks and tabs.
std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos
               ? std::string()
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool SameName(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

Framing FrameMessage(const std::string& bytes, size_t maxBytes, FramedMessage& out) {
    // The empty line: a line feed followed by another, a carriage return
    // between them or not.
    size_t end = std::string::npos;
    size_t headBytes = 0;
    for (size_t at = bytes.find('\n'); at != std::string::npos && at < kMaxHeadBytes;
         at = bytes.find('\n', at + 1)) {
        const size_t next = at + 1 < bytes.size() && bytes[at + 1] == '\r' ? at + 2 : at + 1;
        if (next < bytes.size() && bytes[next] == '\n') {
            end = at;
            headBytes = next + 1;
            break;
        }
    }
    if (end == std::string::npos) {
        return bytes.size() >= kMaxHeadBytes ? Framing::TooLarge : Framing::Incomplete;
    }
    std::string length;
    size_t lineStart = 0;
    for (bool first = true; lineStart <= end; first = false) {
        const size_t lineEnd = bytes.find('\n', lineStart);
        std::string line = bytes.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (first) {
            out.startLine = line;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            return Framing::Invalid;
        }
        const std::string name = line.substr(0, colon);
        const std::string value = Trim(line.substr(colon + 1));
        if (SameName(name, "Transfer-Encoding") ||
            (SameName(name, "Content-Length") &&
             (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
              (!length.empty() && length != value)))) {
            return Framing::Invalid;
        }
        if (SameName(name, "Content-Length")) {
            length = value;
        }
    }
    const size_t digits = length.find_first_not_of('0');
    if (digits != std::string::npos && length.size() - digits > 12) {
        return Framing::TooLarge;
    }
    out.headBytes = headBytes;
    out.bodyBytes =
        length.empty() ? 0 : static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10));
    if (out.bodyBytes > maxBytes || headBytes > maxBytes - out.bodyBytes) {
        return Framing::TooLarge;
    }
    return bytes.size() - headBytes >= out.bodyBytes ? Framing::Complete : Framing::Incomplete;
}

std::string EncodeForm(const std::vector<std::pair<std::string, std::string>>& fields) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string body;
    auto append = [&body](const std::string& text) {
        for (unsigned char c : text) {
            if (std::isalnum(c) || (c != 0 && std::strchr("-_.~", c) != nullptr)) {
                body += static_cast<char>(c);
            } else if (c == ' ') {
                body += '+';
            } else {
                body += {'%', kHex[c >> 4], kHex[c & 0x0F]};
            }
        }
    };
    for (const auto& [name, value] : fields) {
        body += body.empty() ? "" : "&";
        append(name);
        body += '=';
        append(value);
    }
    return body;
}

}  // namespace QvSim
