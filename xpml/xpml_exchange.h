#pragma once

#include <cstdint>
#include <memory>

#include "core/ostring.h"
#include "xpml/http.h"
#include "printer/xpml_outcome.h"

// One attempt of the network path: send a prepared request to the XPML server
// at host and port over a pooled TCP connection and read the answer.
//
// Returns the answer when it is a complete HTTP message with status 200; null
// for anything else (refused or failed connection, a peer that closed, a
// receive or send error, the time-out, a message the parser rejects, any other
// status). SocketException never leaves; other exceptions (allocation) do.
//
// timeoutMs bounds each stage: resolving the host and connecting together, the
// send, and the whole answer: a server that drops the connection attempt,
// trickles its answer or never ends its header block is given up on once
// timeoutMs have passed since the stage began. A value below 1 would mean
// "wait for ever" to Winsock, so kDefaultTimeoutMs is used instead.
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
// outcome, when given, is always filled: host, port and the time-out used,
// and for no answer why (the Winsock error of a socket failure, the status of
// an answer that is not 200).
std::unique_ptr<HttpResponse> ExchangeXpml(HttpRequest& request, const OString& host, int32_t port,
                                           int32_t timeoutMs, XpmlOutcome* outcome = nullptr);

constexpr int32_t kDefaultTimeoutMs = 1000;
