#include "xpml/xpml_exchange.h"

#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "net/reusable_socket.h"
#include "xpml/http.h"

namespace {

enum class Outcome {
    Answered,  // a complete message (any status)
    Failed,    // no answer on this connection
    Stale,     // a reused connection failed before any byte came back
};

// How far an attempt came, and what it got.
struct Attempt {
    Outcome outcome = Outcome::Failed;
    std::unique_ptr<HttpResponse> response;
    int32_t code = 0;  // the Winsock error that ended it
    bool connected = false;
    bool reused = false;
};

// An answer carrying a "TID" prefix must carry this request's id: true when
// the answer may be returned (its prefix removed), false when it belongs to
// another transaction. A body of the prefix alone is an empty answer.
bool AcceptTransaction(std::vector<uint8_t>& body, const OString& transaction) {
    constexpr size_t kPrefixLength = 20;  // "TID", 16 hexadecimal digits and ';'
    if (body.size() < kPrefixLength || std::memcmp(body.data(), "TID", 3) != 0 ||
        body[kPrefixLength - 1] != ';') {
        return true;
    }
    const OString prefix = "TID" + transaction + ";";
    if (prefix.GetLength() != kPrefixLength ||
        std::memcmp(body.data(), prefix.GetNarrow(), kPrefixLength) != 0) {
        return false;
    }
    body.erase(body.begin(), body.begin() + kPrefixLength);
    return true;
}

// Sends the request, then reads until the bytes form a message, all by the
// attempt's deadline. The connection is bound to the endpoint and taken
// (pooled or new) here, so the request passes through the socket layer once;
// the attempt says how far it came for a failure thrown on the way.
Outcome SendAndReceive(const std::vector<uint8_t>& request, const XpmlEndpoint& endpoint,
                       const OSocketDeadline& deadline, Attempt& attempt) {
    TCPSocketWithReUse socket(endpoint.host, endpoint.port);
    attempt.reused = socket.Connect(deadline);
    attempt.connected = true;
    const auto length = static_cast<int32_t>(request.size());
    if (socket.Write(request.data(), length, deadline) != length) {
        socket.Discard();
        return attempt.reused ? Outcome::Stale : Outcome::Failed;
    }
    static_assert(XpmlAnswerReader::kChunk == TCPSocketWithReUse::kReadSize);
    XpmlAnswerReader reader;
    for (;;) {
        const int32_t received = socket.Read(reader.Room(), deadline);
        switch (reader.Received(std::max(received, 0))) {
            case XpmlAnswerReader::Step::More:
                continue;
            case XpmlAnswerReader::Step::Failed:
                socket.Discard();
                return attempt.reused && reader.Count() == 0 ? Outcome::Stale : Outcome::Failed;
            case XpmlAnswerReader::Step::Complete:
                if (!reader.Reusable()) {
                    socket.Discard();
                }
                attempt.response = reader.Take();
                return Outcome::Answered;
        }
    }
}

Attempt ExchangeOnce(const std::vector<uint8_t>& bytes, const XpmlEndpoint& endpoint,
                     const OSocketDeadline& deadline) {
    Attempt attempt;
    try {
        attempt.outcome = SendAndReceive(bytes, endpoint, deadline, attempt);
    } catch (const SocketException& e) {
        // The socket layer closes a connection that threw instead of pooling
        // it. A reset or abort on a reused connection is the server having closed
        // it while idle; a time-out is a slow server, which a fresh connection
        // would not cure.
        const int32_t code = e.GetErrorCode();
        attempt.outcome =
            attempt.reused && XpmlClosedByPeer(code) ? Outcome::Stale : Outcome::Failed;
        attempt.response.reset();
        attempt.code = code;
    }
    return attempt;
}

}  // namespace

bool XpmlClosedByPeer(int32_t code) {
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN;
}

char* XpmlAnswerReader::Room() {
    if (m_buffer.size() < m_count + kChunk) {
        m_buffer.resize(std::max(m_count + kChunk, m_buffer.size() * 2));
    }
    return reinterpret_cast<char*>(m_buffer.data() + m_count);
}

XpmlAnswerReader::Step XpmlAnswerReader::Received(int32_t count) {
    if (count <= 0) {
        return m_untilClosed &&
                       m_parsed->TryParse(m_buffer.data(), m_count) == HttpParseResult::Complete
                   ? Step::Complete
                   : Step::Failed;
    }
    m_count += static_cast<size_t>(count);
    // The parser bounds a message with a length; one that ends with the
    // connection is bounded here.
    if (m_count > HttpResponse::kMaxMessageBytes) {
        return Step::Failed;
    }
    if (m_untilClosed) {
        return Step::More;
    }
    // TryParse leaves the object as it was unless the message is complete,
    // so one object serves every parse.
    switch (m_parsed->TryParse(m_buffer.data(), m_count)) {
        case HttpParseResult::Invalid:
            return Step::Failed;
        case HttpParseResult::Complete:
            if (m_parsed->GetHeader("Content-Length").IsEmpty()) {
                // It ends where the connection does.
                m_untilClosed = true;
                return Step::More;
            }
            return Step::Complete;
        default:
            return Step::More;
    }
}

XpmlResult XpmlAttemptResult(std::unique_ptr<HttpResponse> answer, int32_t code, bool connected,
                             const OString& transaction, const XpmlEndpoint& endpoint) {
    XpmlResult result;
    result.endpoint = endpoint;
    if (answer != nullptr && answer->GetStatusCode() == 200) {
        result.body = answer->Body();
        const bool ours = AcceptTransaction(result.body, transaction);
        result.route = ours ? kXpmlNetwork : kXpmlNoAnswer;
        result.failure = ours ? XpmlFailure::None : XpmlFailure::TransactionMismatch;
        if (!ours) {
            result.body.clear();
        }
        return result;
    }
    if (answer != nullptr) {
        result.failure = XpmlFailure::HttpStatus;
        result.code = answer->GetStatusCode();
        return result;
    }
    result.code = code;
    if (code == WSATRY_AGAIN) {
        result.failure = XpmlFailure::ResolverBusy;
    } else if (!connected && code != 0) {
        result.failure = code == WSAECONNREFUSED ? XpmlFailure::Refused : XpmlFailure::Unreachable;
    } else if (code == WSAETIMEDOUT) {
        result.failure = XpmlFailure::TimedOut;
    } else {
        result.failure = XpmlFailure::Malformed;
    }
    return result;
}

XpmlResult ExchangeXpml(const std::vector<uint8_t>& request, const OString& transaction,
                        XpmlEndpoint endpoint) {
    if (endpoint.timeoutMs < 1) {
        endpoint.timeoutMs = kDefaultTimeoutMs;
    }
    // One deadline from resolving the host to the answer's last byte, the
    // resends over stale pooled connections included: a printer switched
    // off, a silent name server or a trickling server each cost at most the
    // time-out.
    const OSocketDeadline deadline(endpoint.timeoutMs);
    for (int stale = 0; stale <= kMaxStaleXpmlRetries; ++stale) {
        Attempt attempt = ExchangeOnce(request, endpoint, deadline);
        if (attempt.outcome != Outcome::Stale) {
            return XpmlAttemptResult(std::move(attempt.response), attempt.code, attempt.connected,
                                     transaction, endpoint);
        }
    }
    // Every pooled connection was stale: the server keeps closing them.
    return XpmlAttemptResult(nullptr, 0, true, transaction, endpoint);
}
