#include "xpml/xpml_exchange.h"

#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "net/reusable_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

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
};

int32_t RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX)) : 0;
}

// Reads until the bytes form a message. The buffer grows geometrically, so a
// multi-MiB answer costs amortised linear copying; each receive is at most
// TCPSocketWithReUse::kReadSize bytes at the end of what came so far.
Outcome ReceiveAnswer(TCPSocketWithReUse& socket, int32_t timeoutMs, bool reused,
                      std::unique_ptr<HttpResponse>& answer) {
    constexpr size_t kChunk = TCPSocketWithReUse::kReadSize;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buffer;
    size_t count = 0;
    // Set while the socket's receive time-out is shortened to the time left;
    // the pool keeps the time-out it last applied, so it is put back before
    // the connection goes back to the pool.
    bool shortened = false;
    auto parsed = std::make_unique<HttpResponse>();
    for (;;) {
        if (buffer.size() < count + kChunk) {
            buffer.resize(std::max(count + kChunk, buffer.size() * 2));
        }
        if (count > 0) {
            const int32_t left = RemainingMs(deadline);
            if (left == 0) {
                socket.Discard();
                return Outcome::Failed;
            }
            if (left < timeoutMs) {
                socket.GetEntry()->GetSocket()->SetReceiveTimeout(left);
                shortened = true;
            }
        }
        const int32_t received = socket.Read(reinterpret_cast<char*>(buffer.data() + count));
        if (received <= 0) {
            return reused && count == 0 ? Outcome::Stale : Outcome::Failed;
        }
        count += static_cast<size_t>(received);
        // TryParse leaves the object as it was unless the message is complete,
        // so one object serves every parse.
        const HttpParseResult result = parsed->TryParse(buffer.data(), count);
        if (result == HttpParseResult::Invalid) {
            socket.Discard();
            return Outcome::Failed;
        }
        if (result == HttpParseResult::Complete) {
            if (shortened) {
                socket.GetEntry()->GetSocket()->SetReceiveTimeout(timeoutMs);
            }
            answer = std::move(parsed);
            return Outcome::Answered;
        }
    }
}

Attempt ExchangeOnce(const std::vector<uint8_t>& bytes, const OString& host, int32_t port,
                     int32_t timeoutMs) {
    Attempt attempt;
    bool reused = false;
    TCPSocketWithReUse socket;
    try {
        socket.SetSendTimeout(timeoutMs);
        socket.SetReceiveTimeout(timeoutMs);
        socket.Connect(host, port);
        reused = socket.GetEntry()->GetReuseCount() > 0;
        const auto length = static_cast<int32_t>(bytes.size());
        if (socket.Write(bytes.data(), length) != length) {
            socket.Discard();
            attempt.outcome = reused ? Outcome::Stale : Outcome::Failed;
            return attempt;
        }
        attempt.outcome = ReceiveAnswer(socket, timeoutMs, reused, attempt.response);
    } catch (const SocketException& e) {
        // Also for the time-out changes made outside the socket layer, which
        // do not mark the connection failed themselves.
        socket.Discard();
        // A reset or abort on a reused connection is the server having closed
        // it while idle; a time-out is a slow server, which a fresh connection
        // would not cure.
        const int32_t code = e.GetErrorCode();
        const bool closedByPeer =
            code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN;
        attempt.outcome = reused && closedByPeer ? Outcome::Stale : Outcome::Failed;
        attempt.response.reset();
    }
    return attempt;
}

}  // namespace

std::unique_ptr<HttpResponse> ExchangeXpml(HttpRequest& request, const OString& host, int32_t port,
                                           int32_t timeoutMs) {
    if (timeoutMs < 1) {
        timeoutMs = kDefaultTimeoutMs;
    }
    std::vector<uint8_t> bytes;
    request.Serialize(bytes);
    for (int stale = 0; stale <= kMaxStaleRetries; ++stale) {
        Attempt attempt = ExchangeOnce(bytes, host, port, timeoutMs);
        if (attempt.outcome == Outcome::Stale) {
            continue;
        }
        if (attempt.outcome == Outcome::Answered && attempt.response->GetStatusCode() == 200) {
            return std::move(attempt.response);
        }
        return nullptr;
    }
    return nullptr;
}
