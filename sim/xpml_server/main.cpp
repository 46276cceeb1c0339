// qvxpmlserver: a simulated label printer's XPML server, so the library can be
// tried without hardware and its tests have a real server over loopback.
//
//   qvxpmlserver [--port N] [--port-file PATH] [--state-file PATH]
//
// Listens on all addresses at port N (default 6160; 0 picks a free port),
// prints "port N" and writes N to the port file once it listens. Speaks
// HTTP/1.1 with keep-alive, a pooled thread per connection:
//   POST /xpml     form fields xpml, persist, transactid, printer or share:
//                  the printer's answer, "TID" + transactid + ";" first;
//   POST /control  form fields as the state file's lines (see xpml_sim.h);
//                  "quit=1" ends the program. Answers the counters.
// A request for a silent printer is counted, then held unanswered until the
// printer is no longer silent (then answered with the state of that moment) or
// the client closes the connection.
// A malformed request gets a 400, one over 4 MiB a 413, and the connection is
// closed. Requests and answers are framed by the simulator's own code
// (sim/sim_http.h), never the library's. The state file,
// when given, is read again whenever it changes, so a printer can be sent from
// ready to a paper jam while the server runs.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_http.h"
#include "sim/xpml_server/xpml_sim.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// A slim lock and condition variable: the runtime's mutex and condition
// variable wait on kernel objects, which under Wine cost a round trip to the
// Wine server each, and hundreds of held requests wait on this one.
SRWLOCK g_lock = SRWLOCK_INIT;
// Woken, under g_lock, whenever the state may have changed: held requests
// look again at once instead of at their next poll.
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;

class Hold {
public:
    Hold() { AcquireSRWLockExclusive(&g_lock); }
    ~Hold() { ReleaseSRWLockExclusive(&g_lock); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

QvSim::XpmlPrinterSim g_sim;
std::string g_stateFile;
FILETIME g_stateStamp{};

constexpr size_t kReceiveChunk = 64 * 1024;
constexpr size_t kMaxRequestBytes = 4 * 1024 * 1024;
// How often a held request looks for a changed state file, and (every
// kPeerPolls) for a closed connection: a control request wakes it at once.
// Hundreds may be held at once, and each look costs the server's peers.
constexpr DWORD kHoldPollMs = 500;
constexpr auto kHoldPoll = std::chrono::milliseconds(kHoldPollMs);
constexpr int kPeerPolls = 2;
// Connections served at once; the library's exchanges wait on at most about
// a thousand sockets.
constexpr DWORD kMostThreads = 2048;
// One byte more than the library takes in one answer (16 MiB).
constexpr uint64_t kOversizedClaim = 16 * 1024 * 1024 + 1;

// Under g_lock: when a held request last looked at the state file.
std::chrono::steady_clock::time_point g_heldLookedAt;

// Under g_lock: applies the state file when its time stamp changed.
void RefreshStateFile() {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (g_stateFile.empty() ||
        !GetFileAttributesExA(g_stateFile.c_str(), GetFileExInfoStandard, &data) ||
        CompareFileTime(&data.ftLastWriteTime, &g_stateStamp) == 0) {
        return;
    }
    g_stateStamp = data.ftLastWriteTime;
    FILE* file = std::fopen(g_stateFile.c_str(), "rb");
    if (file == nullptr) {
        return;
    }
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, n);
    }
    std::fclose(file);
    g_sim.ApplyText(text);
    WakeAllConditionVariable(&g_changed);
}

// Whether the peer has closed the connection (or it broke), without waiting:
// readable with nothing to read. Bytes of a next request do not count.
bool PeerClosed(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval now{};
    if (select(0, &readable, nullptr, nullptr, &now) <= 0) {
        return false;
    }
    char byte = 0;
    return recv(socket, &byte, 1, MSG_PEEK) <= 0;
}

bool SendAll(SOCKET socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = send(socket, bytes.data() + sent,
                           static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20)), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 413:
            return "Request Entity Too Large";
        case 500:
            return "Internal Server Error";
        default:
            return "Unknown";
    }
}

// The status line and header block of an answer; withLength false leaves
// "Content-Length" out.
std::string Head(int status, size_t length, bool withLength, const char* lineEnd = "\r\n") {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + lineEnd +
                       "Content-Type: application/octet-stream" + lineEnd;
    if (withLength) {
        head += "Content-Length: " + std::to_string(length) + lineEnd;
    }
    return head + lineEnd;
}

// Sends the answer as its misbehaviour says; false when the connection must
// end afterwards.
bool Deliver(SOCKET socket, const QvSim::SimAnswer& answer) {
    using QvSim::Misbehaviour;
    const std::string whole = Head(answer.status, answer.body.size(), true) + answer.body;
    switch (answer.misbehaviour) {
        case Misbehaviour::Close:
            return false;
        case Misbehaviour::Late:
            Sleep(answer.delayMs);
            return SendAll(socket, whole);
        case Misbehaviour::Split: {
            const size_t piece = whole.size() / 3 + 1;
            for (size_t at = 0; at < whole.size(); at += piece) {
                if (at > 0) {
                    Sleep(answer.delayMs);
                }
                if (!SendAll(socket, whole.substr(at, piece))) {
                    return false;
                }
            }
            return true;
        }
        case Misbehaviour::Trickle:
            for (char c : whole) {
                if (!SendAll(socket, std::string(1, c))) {
                    return false;
                }
                Sleep(answer.delayMs);
            }
            return true;
        case Misbehaviour::NoLength:
        case Misbehaviour::NoLengthOpen:
            // Without a length the body ends where the connection does: a
            // client that takes the header block for the whole answer loses
            // the body, or finds it ahead of its next answer.
            if (!SendAll(socket, Head(answer.status, 0, false))) {
                return false;
            }
            Sleep(answer.delayMs);
            return SendAll(socket, answer.body) &&
                   answer.misbehaviour == Misbehaviour::NoLengthOpen;
        case Misbehaviour::BareLineFeeds:
            return SendAll(socket,
                           Head(answer.status, answer.body.size(), true, "\n") + answer.body);
        case Misbehaviour::Oversized: {
            const uint64_t claimed = kOversizedClaim;
            if (!SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(claimed) +
                                     "\r\n\r\n")) {
                return false;
            }
            const std::string filler(kReceiveChunk, 'x');
            for (uint64_t sent = 0; sent < claimed && SendAll(socket, filler);) {
                sent += filler.size();
            }
            return false;
        }
        case Misbehaviour::EndlessHeaders:
            if (!SendAll(socket, "HTTP/1.1 200 OK\r\n")) {
                return false;
            }
            for (int line = 0; SendAll(socket, "X-Filler-" + std::to_string(line) + ": x\r\n");
                 ++line) {
                Sleep(answer.delayMs);
            }
            return false;
        case Misbehaviour::CutHeader: {
            const std::string head = Head(answer.status, answer.body.size(), true);
            SendAll(socket, head.substr(0, head.size() / 2));
            return false;
        }
        case Misbehaviour::CutBody:
            SendAll(socket, whole.substr(0, whole.size() - answer.body.size() / 2 - 1));
            return false;
        case Misbehaviour::BadLength:
            SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0x" +
                                std::to_string(answer.body.size()) + "\r\n\r\n" + answer.body);
            return false;
        case Misbehaviour::NoStatus:
            return SendAll(socket, "BUSY\r\n\r\n");
        case Misbehaviour::Extra:
            return SendAll(socket, whole + Head(503, 4, true) + "busy");
        default:
            return SendAll(socket, whole);
    }
}

bool SendPlain(SOCKET socket, int status, const std::string& body) {
    return SendAll(socket, Head(status, body.size(), true) + body);
}

// One request taken from the front of buffer. False when the connection has
// to end (peer gone, malformed or oversized request refused). counted: whether
// the connection was counted yet; only "/xpml" requests count it.
bool ServeOne(SOCKET socket, std::string& buffer, bool& counted) {
    QvSim::FramedMessage request;
    QvSim::Framing framing;
    while ((framing = QvSim::FrameMessage(buffer, kMaxRequestBytes, request)) ==
           QvSim::Framing::Incomplete) {
        char chunk[kReceiveChunk];
        const int n = recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    if (framing == QvSim::Framing::TooLarge) {
        SendPlain(socket, 413, "request too large");
        return false;
    }
    // A request line has a method, a target and an HTTP version.
    const std::string& start = request.startLine;
    const size_t first = start.find(' ');
    const size_t second = first == std::string::npos ? first : start.find(' ', first + 1);
    if (framing == QvSim::Framing::Invalid || second == std::string::npos ||
        start.compare(second + 1, std::string::npos, "HTTP/1.1") != 0) {
        SendPlain(socket, 400, "malformed request");
        return false;
    }
    const std::string method = start.substr(0, first);
    const std::string path = start.substr(first + 1, second - first - 1);
    const Fields fields = QvSim::DecodeForm(buffer.substr(request.headBytes, request.bodyBytes));
    buffer.erase(0, request.headBytes + request.bodyBytes);

    if (method == "POST" && path == "/control") {
        std::string counters;
        bool ok = false;
        {
            Hold hold;
            ok = g_sim.Apply(fields);
            counters = g_sim.Counters();
            WakeAllConditionVariable(&g_changed);
        }
        for (const auto& field : fields) {
            if (field.first == "quit") {
                SendPlain(socket, 200, counters);
                ExitProcess(0);
            }
        }
        return SendPlain(socket, ok ? 200 : 400, counters);
    }
    if (method != "POST" || path != "/xpml") {
        return SendPlain(socket, 404, "unknown path");
    }
    QvSim::SimAnswer answer;
    {
        Hold hold;
        if (!counted) {
            g_sim.CountConnection();
            counted = true;
        }
        RefreshStateFile();
        g_sim.Count(fields);
        // Hundreds of held requests poll at once: the state file is looked
        // at by one of them per poll period, and the connection outside the
        // lock, so that the requests being answered do not queue behind them.
        for (int poll = 1; g_sim.Silent(fields); ++poll) {
            SleepConditionVariableSRW(&g_changed, &g_lock, kHoldPollMs, 0);
            const auto now = std::chrono::steady_clock::now();
            if (now - g_heldLookedAt >= kHoldPoll) {
                g_heldLookedAt = now;
                RefreshStateFile();
            }
            // A switched-off printer costs its peers nothing: the connection
            // is looked at once every kPeerPolls polls.
            if (poll % kPeerPolls == 0 && g_sim.Silent(fields)) {
                ReleaseSRWLockExclusive(&g_lock);
                const bool closed = PeerClosed(socket);
                AcquireSRWLockExclusive(&g_lock);
                if (closed) {
                    return false;
                }
            }
        }
        answer = g_sim.Compose(fields);
    }
    return Deliver(socket, answer);
}

void Serve(SOCKET socket) {
    std::string buffer;
    bool counted = false;
    while (ServeOne(socket, buffer, counted)) {
    }
    shutdown(socket, SD_SEND);
    closesocket(socket);
}

void CALLBACK ServeOnPool(PTP_CALLBACK_INSTANCE, void* socket) {
    Serve(reinterpret_cast<SOCKET>(socket));
}

bool TakeValue(int& i, int argc, char** argv, const char* name, std::string& value) {
    if (std::strcmp(argv[i], name) != 0 || i + 1 >= argc) {
        return false;
    }
    value = argv[++i];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port = "6160";
    std::string portFile;
    for (int i = 1; i < argc; ++i) {
        if (!TakeValue(i, argc, argv, "--port", port) &&
            !TakeValue(i, argc, argv, "--port-file", portFile) &&
            !TakeValue(i, argc, argv, "--state-file", g_stateFile)) {
            std::fprintf(stderr,
                         "usage: qvxpmlserver [--port N] [--port-file PATH] [--state-file PATH]\n");
            return 2;
        }
    }
    WSADATA wsa{};
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return 1;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(std::atoi(port.c_str())));
    int length = sizeof address;
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "qvxpmlserver: cannot listen on port %s (error %d)\n", port.c_str(),
                     WSAGetLastError());
        return 1;
    }
    {
        Hold hold;
        RefreshStateFile();
    }
    const int bound = ntohs(address.sin_port);
    std::printf("port %d\n", bound);
    std::fflush(stdout);
    if (!portFile.empty()) {
        // Written whole under another name first, so a reader never sees half.
        const std::string partial = portFile + ".tmp";
        FILE* file = std::fopen(partial.c_str(), "wb");
        if (file == nullptr || std::fprintf(file, "%d\n", bound) < 0 || std::fclose(file) != 0 ||
            !MoveFileExA(partial.c_str(), portFile.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            std::fprintf(stderr, "qvxpmlserver: cannot write %s\n", portFile.c_str());
            return 1;
        }
    }
    // Connections are served on pooled threads: a thread made and ended for
    // each one costs the Wine server's peers more than the answer does, and a
    // switched-off printer's client makes a new connection every attempt.
    // Held requests keep their thread, hence the generous maximum.
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    PTP_POOL pool = CreateThreadpool(nullptr);
    if (pool != nullptr) {
        SetThreadpoolThreadMaximum(pool, kMostThreads);
        SetThreadpoolCallbackPool(&environment, pool);
    }
    for (;;) {
        SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET) {
            continue;
        }
        BOOL noDelay = TRUE;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        if (pool == nullptr ||
            !TrySubmitThreadpoolCallback(ServeOnPool, reinterpret_cast<void*>(connection),
                                         &environment)) {
            std::thread(Serve, connection).detach();
        }
    }
}
