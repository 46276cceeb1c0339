#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ostring.h"
#include "xpml/http.h"
#include "xpml/xpml_result.h"

// One attempt of the network path: send a serialized request to the XPML
// server at the endpoint over a pooled TCP connection and read the answer.
//
// Returns kXpmlNetwork and the body when the answer is a complete HTTP message
// with status 200 of this transaction (a body that begins "TID" + another id
// + ";" is another request's answer: TransactionMismatch; this id's prefix is
// removed); kXpmlNoAnswer, the failure and its code for anything else (refused or failed
// connection, a peer that closed, a receive or send error, the time-out, a message the parser
// rejects, any other status). SocketException never leaves; other exceptions (allocation) do.
//
// The endpoint's timeoutMs bounds the whole attempt: resolving the host,
// connecting, the send and the whole answer, the resends over stale pooled
// connections included, share one deadline, so a server that drops the
// connection attempt, a name server that does not answer, or a server that
// trickles its answer or never ends its header block is given up on once
// timeoutMs have passed since the attempt began. A value below 1 would mean
// "wait for ever" to Winsock, so kDefaultTimeoutMs is used instead. When the
// library's name lookups are all busy the attempt fails at once
// (ResolverBusy, WSATRY_AGAIN).
//
// An answer without a Content-Length is read until the server closes the
// connection (within the time-out; one left open counts as no answer).
//
// A pooled connection that the server closed while it lay idle fails at once
// on its first use; the exchange then goes on over a fresh connection instead
// of failing. A connection whose answer was not read to its end (rejected,
// timed out) is never given back to the pool.
//
// Thread-safe in the sense of the pool: each thread has its own connections.
//
// The result's endpoint is the one used, its time-out as corrected.
XpmlResult ExchangeXpml(const std::vector<uint8_t>& request, const OString& transaction,
                        XpmlEndpoint endpoint);

constexpr int32_t kDefaultTimeoutMs = 1000;

// One answer's bytes as they arrive over one connection, read by the rules
// above, for the blocking exchange and the multiplexed one alike.
class XpmlAnswerReader {
public:
    static constexpr int32_t kChunk = 1024;

    enum class Step {
        More,      // not whole yet
        Complete,  // Take() it
        Failed,    // no answer on this connection: closed early or not HTTP
    };

    // Room for the next receive of at most kChunk bytes. The buffer grows
    // geometrically, so a multi-MiB answer costs amortised linear copying.
    char* Room();
    // count bytes came into Room(); 0 when the peer closed.
    Step Received(int32_t count);
    // Bytes received so far.
    size_t Count() const { return m_count; }
    // After Complete: whether the connection may carry another request. Not
    // for an answer that ended with the connection, nor for one followed by
    // bytes it did not announce (the next request would take them for its
    // own answer).
    bool Reusable() const { return !m_untilClosed && m_parsed->MessageBytes() == m_count; }
    std::unique_ptr<HttpResponse> Take() { return std::move(m_parsed); }

private:
    std::vector<uint8_t> m_buffer;
    size_t m_count = 0;
    bool m_untilClosed = false;
    std::unique_ptr<HttpResponse> m_parsed = std::make_unique<HttpResponse>();
};

// Stale pooled connections are retried at most this often per attempt: each
// failed one leaves the pool, so this only guards against a server that keeps
// closing the connections it kept.
constexpr int kMaxStaleXpmlRetries = 4;

// A reset, abort or shutdown: on a reused connection before any byte of the
// answer, the server closed it while it lay idle, and a fresh connection
// (within the same deadline) is the cure.
bool XpmlClosedByPeer(int32_t code);

// What one attempt came to, for the attempt's endpoint: kXpmlNetwork and the
// body for a status 200 answer of this transaction; else the failure. With
// no answer, code is the Winsock error (0 for one that was closed early or no
// HTTP) and connected whether a connection was made.
XpmlResult XpmlAttemptResult(std::unique_ptr<HttpResponse> answer, int32_t code, bool connected,
                             const OString& transaction, const XpmlEndpoint& endpoint);
