#pragma once

// The simulated label printer behind the XPML server program: the state it
// reports, the DAL queries it keeps, and the answers it composes. Pure: no
// sockets, no threads, no system calls; the program around it (main.cpp)
// locks it and moves the bytes, framed by sim/sim_http.h.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QvSim {

// How the server misbehaves when it answers an "/xpml" request, for tests of
// the library's failure handling.
enum class Misbehaviour {
    None,
    WrongTransaction,  // "TID" + another transaction's id
    NotFound,          // status 404 with a body
    ServerError,       // status 500 with a body
    Close,             // closes the connection without an answer
    Split,             // the answer in pieces with pauses of delayMs between them
    Late,              // the answer after delayMs
    NoLength,          // no Content-Length, the body delayMs after the header; then closed
    NoLengthOpen,      // the same, but the connection is left open
    BareLineFeeds,     // header lines ended by "\n" alone
    Oversized,         // a Content-Length beyond what the library accepts, then bytes
    Trickle,           // the answer one byte every delayMs
    EndlessHeaders,    // header lines, one every delayMs, never an empty line
    CutHeader,         // half the header block, then the connection is closed
    CutBody,           // the header block and half the body, then closed
    BadLength,         // a Content-Length that is not a number, then the body
    NoStatus,          // "BUSY" and an empty line instead of a status line; kept open
    Extra,             // the answer, then a whole 503 answer nobody asked for; kept open
};

// Parses a misbehaviour name ("none", "wrong-tid", "404", "500", "close",
// "split", "late", "no-length", "no-length-open", "bare-lf", "oversized", "trickle",
// "endless-headers", "cut-header", "cut-body", "bad-length", "no-status",
// "extra"); false for
// anything else.
bool ParseMisbehaviour(const std::string& name, Misbehaviour& out);

// application/x-www-form-urlencoded: name=value pairs joined by '&', '+' for a
// blank, '%' and two hexadecimal digits for a byte. Bytes come back as sent
// (UTF-8 stays UTF-8); a malformed escape is kept literally.
std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body);

// Standard base64 (padding optional, white space skipped); false on another
// character.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out);

// The "ZLIB" container of DAL query payloads: "ZLIB", the uncompressed and
// the compressed length (32-bit little-endian), then a zlib stream. False when
// the bytes are not such a container or do not inflate to the stated length.
bool UnpackLz77(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);

// One answer to send: status, body and how to misbehave.
struct SimAnswer {
    int status = 200;
    std::string body;
    Misbehaviour misbehaviour = Misbehaviour::None;
    uint32_t delayMs = 0;
};

class XpmlPrinterSim {
public:
    XpmlPrinterSim();

    // Applies "name=value" settings, from a control request or a state file:
    //   monitoring, status, severity, flags2 (8 hex digits), job: the states;
    //   silent (0 or 1): whether requests are held unanswered (see Silent);
    //   printer: the states and silence that follow apply to the printer of
    //     that name (as a request's "printer" or "share" field names it) until
    //     the next "printer" or the end of the settings; empty for the shared
    //     state again. A printer answers with its own value of a state where it
    //     has one, with the shared value where it has none;
    //   misbehave (a misbehaviour name), count (answers it applies to; -1 for
    //   all, the default), delay (ms), size (bytes of a "large" answer body);
    //   answer: a fixed answer body ("{tid}" stands for the request's id),
    //   prefix (0: no "TID" prefix); clear-counters: the counters back to 0;
    //   reset: everything back to the start, every printer's own state and
    //   the counters included.
    // Misbehaviour, answer and the counters are the server's, whatever
    // printer is named. Unknown names are ignored. False when a value is
    // malformed.
    bool Apply(const std::vector<std::pair<std::string, std::string>>& settings);
    // Reads "name=value" lines ('#' starts a comment) and applies them; a
    // "printer=NAME" line starts that printer's section.
    bool ApplyText(const std::string& text);

    // The answer to the fields of one "/xpml" request: Count, then Compose.
    SimAnswer Answer(const std::vector<std::pair<std::string, std::string>>& fields);
    // Counts one "/xpml" request: in all, for its printer and for each state
    // it names. The program counts a request when it arrives, so a request a
    // silent printer holds counts too.
    void Count(const std::vector<std::pair<std::string, std::string>>& fields);
    // The answer, with the states as they are now. A state request naming
    // several states ("<state name='A' .../>;<state name='B' .../>") is
    // answered with their values in request order, joined by ";".
    SimAnswer Compose(const std::vector<std::pair<std::string, std::string>>& fields);

    // Whether requests for the printer the fields name are to be held
    // unanswered: the program then waits until the printer is no longer
    // silent (and answers) or the client closes the connection.
    bool Silent(const std::vector<std::pair<std::string, std::string>>& fields) const;

    // "requests=N;connections=M", then ";printer:NAME=N" for each printer a
    // request named and ";state:NAME=N" for each state name requested, in
    // name order: "/xpml" requests received so far (answered, refused or
    // held), and connections counted by the program through CountConnection
    // (those that carried an "/xpml" request: a control client's own are
    // left out).
    std::string Counters() const;
    void CountConnection() { ++m_connections; }

private:
    std::string AnswerText(const std::string& xpml, const std::string& printer);
    std::string StateValue(const std::string& name, const std::string& printer) const;
    std::string State(const char* key, const std::string& printer) const;
    std::string DalQuery(const std::string& envelope);

    // The states by key ("status", "silent", ...): the shared ones under the
    // empty name, always complete; a printer's own under its name.
    std::map<std::string, std::map<std::string, std::string>> m_states;
    Misbehaviour m_misbehaviour = Misbehaviour::None;
    int64_t m_count = -1;
    uint32_t m_delayMs = 300;
    uint64_t m_largeSize = 0;
    std::string m_fixedAnswer;
    bool m_prefix = true;
    // DAL queries by id: the decoded payload, answered as the response.
    std::map<std::string, std::vector<uint8_t>> m_queries;
    uint64_t m_requests = 0;
    uint64_t m_connections = 0;
    std::map<std::string, uint64_t> m_byPrinter;
    std::map<std::string, uint64_t> m_byState;
};

}  // namespace QvSim
