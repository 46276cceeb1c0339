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

// The printer a request is for: a local printer is named by "printer", a
// shared one on another computer by "share".
std::string RequestPrinter(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string printer = Field(fields, "printer");
    return printer.empty() ? Field(fields, "share") : printer;
}

// The request text without its terminator.
std::string WithoutTerminator(const std::string& xpml) {
    const size_t terminator = xpml.rfind(kTerminator);
    return terminator != std::string::npos && terminator + std::strlen(kTerminator) == xpml.size()
               ? xpml.substr(0, terminator)
               : xpml;
}

// A state or job request cut into its ";"-separated elements.
std::vector<std::string> Elements(const std::string& text) {
    std::vector<std::string> elements;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        elements.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return elements;
}

constexpr const char* kStateKeys[] = {"monitoring", "status", "severity",
                                      "flags2",     "job",    "silent"};

bool IsStateKey(const std::string& name) {
    for (const char* key : kStateKeys) {
        if (name == key) {
            return true;
        }
    }
    return false;
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
    std::string printer;
    for (const auto& [name, value] : settings) {
        int64_t number = 0;
        if (name == "reset") {
            m_states.clear();
            m_states[std::string()] = {{"monitoring", "1"}, {"status", "Ready"},
                                       {"severity", "1"},   {"flags2", "00000000"},
                                       {"job", "Printing"}, {"silent", "0"}};
            m_misbehaviour = Misbehaviour::None;
            m_count = -1;
            m_delayMs = 300;
            m_largeSize = 0;
            m_fixedAnswer.clear();
            m_prefix = true;
            m_queries.clear();
            Apply({{"clear-counters", "1"}});
        } else if (name == "clear-counters") {
            m_requests = 0;
            m_connections = 0;
            m_byPrinter.clear();
            m_byState.clear();
        } else if (name == "printer") {
            printer = value;
        } else if (name == "silent") {
            if (!ParseNumber(value, number) || number < 0 || number > 1) {
                ok = false;
            } else {
                m_states[printer][name] = number != 0 ? "1" : "0";
            }
        } else if (IsStateKey(name)) {
            m_states[printer][name] = value;
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

std::string XpmlPrinterSim::State(const char* key, const std::string& printer) const {
    const auto own = m_states.find(printer);
    if (!printer.empty() && own != m_states.end()) {
        const auto value = own->second.find(key);
        if (value != own->second.end()) {
            return value->second;
        }
    }
    return m_states.at(std::string()).at(key);
}

std::string XpmlPrinterSim::StateValue(const std::string& name, const std::string& printer) const {
    if (name == "Monitoring Supported") {
        return State("monitoring", printer);
    }
    if (name == "Status") {
        return State("status", printer);
    }
    if (name == "Status Severity") {
        return State("severity", printer);
    }
    if (name == "Status Flags 2") {
        return State("flags2", printer);
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
    // A DAL query's envelope holds ";" of its own (in='base64;lz77'): only
    // state and job requests are cut at it.
    const std::string text = WithoutTerminator(xpml);
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
    const std::vector<std::string> elements = Elements(text);
    std::string answer;
    for (const std::string& element : elements) {
        if (&element != &elements.front()) {
            answer += ';';
        }
        if (StartsWith(element, "<job")) {
            answer += Attribute(element, "id") + ";" + State("job", printer);
        } else {
            answer += StateValue(Attribute(element, "name"), printer);
        }
    }
    return answer;
}

SimAnswer XpmlPrinterSim::Answer(const std::vector<std::pair<std::string, std::string>>& fields) {
    Count(fields);
    return Compose(fields);
}

void XpmlPrinterSim::Count(const std::vector<std::pair<std::string, std::string>>& fields) {
    ++m_requests;
    const std::string printer = RequestPrinter(fields);
    if (!printer.empty()) {
        ++m_byPrinter[printer];
    }
    for (const std::string& element : Elements(WithoutTerminator(Field(fields, "xpml")))) {
        if (StartsWith(element, "<state")) {
            ++m_byState[Attribute(element, "name")];
        }
    }
}

bool XpmlPrinterSim::Silent(const std::vector<std::pair<std::string, std::string>>& fields) const {
    return State("silent", RequestPrinter(fields)) == "1";
}

SimAnswer XpmlPrinterSim::Compose(const std::vector<std::pair<std::string, std::string>>& fields) {
    SimAnswer answer;
    const std::string id = Field(fields, "transactid");
    std::string text = AnswerText(Field(fields, "xpml"), RequestPrinter(fields));
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
    std::string counters =
        "requests=" + std::to_string(m_requests) + ";connections=" + std::to_string(m_connections);
    for (const auto& [printer, count] : m_byPrinter) {
        counters += ";printer:" + printer + "=" + std::to_string(count);
    }
    for (const auto& [state, count] : m_byState) {
        counters += ";state:" + state + "=" + std::to_string(count);
    }
    return counters;
}

}  // namespace QvSim
