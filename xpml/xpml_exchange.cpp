#include "xpml/xpml_exchange.h"

#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "net/reusable_socket.h"
#include "xpml/http.h"

namespace {

// Stale pooled connections are retried at most this often per exchange: each
// failed one leaves the pool, so this only guards against a pool that keeps
// handing out dead connections.
constexpr int kMaxStaleRetries = 4;

enum class Outcome {
    Answered,  // a complete message (any status)
    Failed,    // no answer on this connection
    Stale,     // a reused connection failed before any byte came back
};

struct Attempt {
    Outcome outcome = Outcome::Failed;
    std::unique_ptr<HttpResponse> response;
    // Why a failed attempt failed; the host, port and time-out are the caller's.
    XpmlFailure failure = XpmlFailure::Malformed;
    int32_t code = 0;
};

// How far an attempt came before a failure was thrown.
struct Progress {
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
// attempt's deadline. The buffer grows geometrically, so a
// multi-MiB answer costs amortised linear copying; each receive is at most
// TCPSocketWithReUse::kReadSize bytes at the end of what came so far.
//
// An answer without a Content-Length ends where the connection does: it is
// read until the server closes, and its connection is never pooled (the next
// request on it would take the rest of this body for its own answer).
//
// The connection is bound to the endpoint and taken (pooled or new) here, so
// the request passes through the socket layer once; progress says how far it
// came for a failure thrown on the way.
Outcome SendAndReceive(const std::vector<uint8_t>& request, const XpmlEndpoint& endpoint,
                       const OSocketDeadline& deadline, Progress& progress,
                       std::unique_ptr<HttpResponse>& answer) {
    TCPSocketWithReUse socket(endpoint.host, endpoint.port);
    const bool reused = socket.Connect(deadline);
    progress.reused = reused;
    progress.connected = true;
    const auto length = static_cast<int32_t>(request.size());
    if (socket.Write(request.data(), length, deadline) != length) {
        socket.Discard();
        return reused ? Outcome::Stale : Outcome::Failed;
    }
    constexpr size_t kChunk = TCPSocketWithReUse::kReadSize;
    std::vector<uint8_t> buffer;
    size_t count = 0;
    bool untilClosed = false;
    auto parsed = std::make_unique<HttpResponse>();
    for (;;) {
        if (buffer.size() < count + kChunk) {
            buffer.resize(std::max(count + kChunk, buffer.size() * 2));
        }
        // The parser bounds a message with a length; one that ends with the
        // connection is bounded here.
        if (count > HttpResponse::kMaxMessageBytes) {
            socket.Discard();
            return Outcome::Failed;
        }
        const int32_t received =
            socket.Read(reinterpret_cast<char*>(buffer.data() + count), deadline);
        if (received <= 0) {
            if (untilClosed &&
                parsed->TryParse(buffer.data(), count) == HttpParseResult::Complete) {
                answer = std::move(parsed);
                return Outcome::Answered;
            }
            return reused && count == 0 ? Outcome::Stale : Outcome::Failed;
        }
        count += static_cast<size_t>(received);
        if (untilClosed) {
            continue;
        }
        // TryParse leaves the object as it was unless the message is complete,
        // so one object serves every parse.
        const HttpParseResult result = parsed->TryParse(buffer.data(), count);
        if (result == HttpParseResult::Invalid) {
            socket.Discard();
            return Outcome::Failed;
        }
        if (result == HttpParseResult::Complete) {
            if (parsed->GetHeader("Content-Length").IsEmpty()) {
                socket.Discard();
                untilClosed = true;
                continue;
            }
            // A peer that sent more than it announced would hand the rest to
            // the next request on this connection as its answer.
            if (parsed->MessageBytes() != count) {
                socket.Discard();
            }
            answer = std::move(parsed);
            return Outcome::Answered;
        }
    }
}

Attempt ExchangeOnce(const std::vector<uint8_t>& bytes, const XpmlEndpoint& endpoint,
                     const OSocketDeadline& deadline) {
    Attempt attempt;
    Progress progress;
    try {
        attempt.outcome = SendAndReceive(bytes, endpoint, deadline, progress, attempt.response);
    } catch (const SocketException& e) {
        // The socket layer closes a connection that threw instead of pooling
        // it. A reset or abort on a reused connection is the server having closed
        // it while idle; a time-out is a slow server, which a fresh connection
        // would not cure.
        const int32_t code = e.GetErrorCode();
        const bool closedByPeer =
            code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN;
        attempt.outcome = progress.reused && closedByPeer ? Outcome::Stale : Outcome::Failed;
        attempt.response.reset();
        attempt.code = code;
        if (code == WSATRY_AGAIN) {
            attempt.failure = XpmlFailure::ResolverBusy;
        } else if (!progress.connected) {
            attempt.failure =
                code == WSAECONNREFUSED ? XpmlFailure::Refused : XpmlFailure::Unreachable;
        } else if (code == WSAETIMEDOUT) {
            attempt.failure = XpmlFailure::TimedOut;
        }
    }
    return attempt;
}

}  // namespace

XpmlResult ExchangeXpml(const std::vector<uint8_t>& request, const OString& transaction,
                        XpmlEndpoint endpoint) {
    if (endpoint.timeoutMs < 1) {
        endpoint.timeoutMs = kDefaultTimeoutMs;
    }
    XpmlResult result;
    result.failure = XpmlFailure::Malformed;
    result.endpoint = endpoint;
    // One deadline from resolving the host to the answer's last byte, the
    // resends over stale pooled connections included: a printer switched
    // off, a silent name server or a trickling server each cost at most the
    // time-out.
    const OSocketDeadline deadline(endpoint.timeoutMs);
    for (int stale = 0; stale <= kMaxStaleRetries; ++stale) {
        Attempt attempt = ExchangeOnce(request, endpoint, deadline);
        if (attempt.outcome == Outcome::Stale) {
            continue;
        }
        if (attempt.outcome == Outcome::Answered && attempt.response->GetStatusCode() == 200) {
            result.body = attempt.response->Body();
            const bool ours = AcceptTransaction(result.body, transaction);
            result.route = ours ? kXpmlNetwork : kXpmlNoAnswer;
            result.failure = ours ? XpmlFailure::None : XpmlFailure::TransactionMismatch;
            if (!ours) {
                result.body.clear();
            }
            return result;
        }
        if (attempt.outcome == Outcome::Answered) {
            attempt.failure = XpmlFailure::HttpStatus;
            attempt.code = attempt.response->GetStatusCode();
        }
        result.failure = attempt.failure;
        result.code = attempt.code;
        return result;
    }
    // Every pooled connection was stale: the server keeps closing them.
    return result;
}
