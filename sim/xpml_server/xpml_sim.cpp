#include "sim/xpml_server/xpml_sim.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace QvSim {

namespace {

struct NamedMisbehaviour {
    const char* name;
    Misbehaviour value;
};

constexpr NamedMisbehaviour kMisbehaviours[] = {
    {"none", Misbehaviour::None},
    {"wrong-tid", Misbehaviour::WrongTransaction},
    {"404", Misbehaviour::NotFound},
    {"500", Misbehaviour::ServerError},
    {"close", Misbehaviour::Close},
    {"split", Misbehaviour::Split},
    {"late", Misbehaviour::Late},
    {"no-length", Misbehaviour::NoLength},
    {"no-length-open", Misbehaviour::NoLengthOpen},
    {"bare-lf", Misbehaviour::BareLineFeeds},
    {"oversized", Misbehaviour::Oversized},
    {"trickle", Misbehaviour::Trickle},
    {"endless-headers", Misbehaviour::EndlessHeaders},
    {"cut-header", Misbehaviour::CutHeader},
    {"cut-body", Misbehaviour::CutBody},
    {"bad-length", Misbehaviour::BadLength},
    {"no-status", Misbehaviour::NoStatus},
    {"extra", Misbehaviour::Extra},
};

constexpr char kTerminator[] = "&#00;";
constexpr char kEncodeOpen[] = "<encode in='base64;lz77'>";
constexpr char kEncodeClose[] = "</encode>";

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) {
        return (c & 0x0F) + 9;
    }
    return -1;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The value of attribute name='...' in an element; empty when absent.
std::string Attribute(const std::string& element, const std::string& name) {
    const std::string key = name + "='";
    size_t start = element.find(key);
    if (start == std::string::npos) {
        return std::string();
    }
    start += key.size();
    const size_t end = element.find('\'', start);
    return element.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ParseNumber(const std::string& text, int64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return end != nullptr && *end == '\0';
}

std::string Field(const std::vector<std::pair<std::string, std::string>>& fields,
                  const char* name) {
    for (const auto& field : fields) {
        if (field.first == name) {
            return field.second;
        }
    }
    return std::string();
}

}  // namespace

bool ParseMisbehaviour(const std::string& name, Misbehaviour& out) {
    for (const NamedMisbehaviour& entry : kMisbehaviours) {
        if (name == entry.name) {
            out = entry.value;
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            fields.emplace_back(
                Unescape(pair.substr(0, equals)),
                equals == std::string::npos ? std::string() : Unescape(pair.substr(equals + 1)));
        }
        start = end + 1;
    }
    return fields;
}

bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=' || c == '\r' || c == '\n' || c == ' ' || c == '\t') {
            continue;
        }
        const char* found = std::strchr(kAlphabet, c);
        if (found == nullptr || c == '\0') {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(found - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return true;
}

bool UnpackLz77(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    if (in.size() < 12 || std::memcmp(in.data(), "ZLIB", 4) != 0) {
        return false;
    }
    uint32_t plain = 0;
    uint32_t packed = 0;
    std::memcpy(&plain, in.data() + 4, 4);
    std::memcpy(&packed, in.data() + 8, 4);
    if (packed > in.size() - 12) {
        return false;
    }
    out.resize(plain);
    uLongf length = plain;
    const int status = uncompress(out.data(), &length, in.data() + 12, packed);
    return status == Z_OK && length == plain;
}

XpmlPrinterSim::XpmlPrinterSim() {
    Apply({{"reset", "1"}});
}

bool XpmlPrinterSim::Apply(const std::vector<std::pair<std::string, std::string>>& settings) {
    bool ok = true;
    for (const auto& [name, value] : settings) {
        int64_t number = 0;
        if (name == "reset") {
            m_monitoring = "1";
            m_status = "Ready";
            m_severity = "1";
            m_flags2 = "00000000";
            m_job = "Printing";
            m_misbehaviour = Misbehaviour::None;
            m_count = -1;
            m_delayMs = 300;
            m_largeSize = 0;
            m_fixedAnswer.clear();
            m_prefix = true;
            m_queries.clear();
            m_requests = 0;
            m_connections = 0;
        } else if (name == "monitoring") {
            m_monitoring = value;
        } else if (name == "status") {
            m_status = value;
        } else if (name == "severity") {
            m_severity = value;
        } else if (name == "flags2") {
            m_flags2 = value;
        } else if (name == "job") {
            m_job = value;
        } else if (name == "answer") {
            m_fixedAnswer = value;
        } else if (name == "misbehave") {
            ok = ParseMisbehaviour(value, m_misbehaviour) && ok;
        } else if (name == "count" || name == "delay" || name == "size" || name == "prefix") {
            if (!ParseNumber(value, number) || (number < 0 && name != "count")) {
                ok = false;
            } else if (name == "count") {
                m_count = number;
            } else if (name == "delay") {
                m_delayMs = static_cast<uint32_t>(number);
            } else if (name == "size") {
                m_largeSize = static_cast<uint64_t>(number);
            } else {
                m_prefix = number != 0;
            }
        }
    }
    return ok;
}

bool XpmlPrinterSim::ApplyText(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> settings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        settings.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return Apply(settings);
}

std::string XpmlPrinterSim::StateValue(const std::string& name, const std::string& printer) const {
    if (name == "Monitoring Supported") {
        return m_monitoring;
    }
    if (name == "Status") {
        return m_status;
    }
    if (name == "Status Severity") {
        return m_severity;
    }
    if (name == "Status Flags 2") {
        return m_flags2;
    }
    // Not a printer state: which printer the request named, as received, so
    // a client can see its name arrive whole.
    if (name == "Request Printer") {
        return printer;
    }
    return std::string();
}

std::string XpmlPrinterSim::DalQuery(const std::string& envelope) {
    const std::string id = Attribute(envelope, "id");
    const size_t open = envelope.find(kEncodeOpen);
    const size_t close = envelope.find(kEncodeClose);
    if (id.empty() || open == std::string::npos || close == std::string::npos || close < open) {
        return "0";
    }
    const size_t start = open + std::strlen(kEncodeOpen);
    std::vector<uint8_t> decoded;
    if (!DecodeBase64(envelope.substr(start, close - start), decoded)) {
        return "0";
    }
    // The library sends the bytes uncompressed, under the same element, when
    // compression failed.
    std::vector<uint8_t> plain;
    m_queries[id] = UnpackLz77(decoded, plain) ? plain : decoded;
    return "1";
}

std::string XpmlPrinterSim::AnswerText(const std::string& xpml, const std::string& printer) {
    std::string text = xpml;
    const size_t terminator = text.rfind(kTerminator);
    if (terminator != std::string::npos && terminator + std::strlen(kTerminator) == text.size()) {
        text.resize(terminator);
    }
    if (StartsWith(text, "<query")) {
        return DalQuery(text);
    }
    if (StartsWith(text, "<request")) {
        auto query = m_queries.find(Attribute(text, "query"));
        const bool known = query != m_queries.end();
        if (Attribute(text, "get") == "response") {
            return known ? std::string(query->second.begin(), query->second.end()) : std::string();
        }
        return known ? "1" : "0";
    }
    std::string answer;
    size_t start = 0;
    for (bool first = true; start <= text.size(); first = false) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string element = text.substr(start, end - start);
        start = end + 1;
        if (!first) {
            answer += ';';
        }
        if (StartsWith(element, "<job")) {
            answer += Attribute(element, "id") + ";" + m_job;
        } else {
            answer += StateValue(Attribute(element, "name"), printer);
        }
    }
    return answer;
}

SimAnswer XpmlPrinterSim::Answer(const std::vector<std::pair<std::string, std::string>>& fields) {
    ++m_requests;
    SimAnswer answer;
    const std::string id = Field(fields, "transactid");
    std::string printer = Field(fields, "printer");
    if (printer.empty()) {
        printer = Field(fields, "share");
    }
    std::string text = AnswerText(Field(fields, "xpml"), printer);
    if (!m_fixedAnswer.empty()) {
        text = m_fixedAnswer;
        for (size_t at = text.find("{tid}"); at != std::string::npos; at = text.find("{tid}")) {
            text.replace(at, 5, id);
        }
    }
    if (m_largeSize > text.size()) {
        // A recognisable filler: position mod 26 as a letter.
        for (size_t i = text.size(); i < m_largeSize; ++i) {
            text += static_cast<char>('a' + i % 26);
        }
    }
    answer.body = m_prefix ? "TID" + id + ";" + text : text;
    if (m_count != 0) {
        answer.misbehaviour = m_misbehaviour;
        answer.delayMs = m_delayMs;
        if (m_count > 0) {
            --m_count;
        }
    }
    if (answer.misbehaviour == Misbehaviour::WrongTransaction) {
        const std::string other =
            id == "0123456789ABCDEF" ? "FEDCBA9876543210" : "0123456789ABCDEF";
        answer.body = "TID" + other + ";" + text;
    } else if (answer.misbehaviour == Misbehaviour::NotFound) {
        answer.status = 404;
    } else if (answer.misbehaviour == Misbehaviour::ServerError) {
        answer.status = 500;
    }
    return answer;
}

std::string XpmlPrinterSim::Counters() const {
    return "requests=" + std::to_string(m_requests) +
           ";connections=" + std::to_string(m_connections);
}

}  // namespace QvSim
