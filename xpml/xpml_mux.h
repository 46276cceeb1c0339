#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/locks.h"
#include "core/ostring.h"
#include "xpml/xpml_result.h"

class StreamSocket;
// Attempts of many printers' requests at once, over non-blocking connections
// that one thread waits for together: a printer that does not answer holds a
// socket until its deadline, never a thread. Each attempt follows
// ExchangeXpml's rules (xpml_exchange.h): one deadline of the endpoint's
// time-out from Submit to the answer's last byte, the resends over stale
// idle connections included, and the same result for the same answer.
//
// Connections that carried a whole answer stay open for kIdleMs and carry the
// next attempt to the same host (ignoring case) and port; at most kMaxIdle
// are kept, the oldest closed first. The bound leaves one to each printer of
// a large watch: a connection closed at every refresh instead is one more
// the system holds on to for minutes (TIME_WAIT), hundreds a second. They
// live as long as the thread that runs the exchanges keeps running, which it
// does while any is open.
//
// Thread-safe: any thread submits; one at a time runs.
class XpmlExchangeMux {
public:
    using Done = std::function<void(XpmlResult)>;

    static constexpr uint64_t kIdleMs = 30000;
    static constexpr size_t kMaxIdle = 512;
    // The longest a new attempt waits for the running thread to take it.
    static constexpr int32_t kPickUpMs = 10;

    // Runs a task on one of the owner's threads, soon.
    using Dispatch = std::function<void(std::function<void()>)>;

    // With dispatch, an answer is read, and its Done called, on the owner's
    // threads; without, on the thread that runs RunExchanges.
    explicit XpmlExchangeMux(Dispatch dispatch = {});
    // Closes every connection; no Done is called.
    ~XpmlExchangeMux();
    XpmlExchangeMux(const XpmlExchangeMux&) = delete;
    XpmlExchangeMux& operator=(const XpmlExchangeMux&) = delete;

    // Starts one attempt of request, whose answer must be of transaction,
    // and calls done with its result on the thread that reads it (see the
    // constructor), or within Submit for an attempt that fails at once (done
    // must not block; it must not throw). A host name is resolved, a
    // connection begun and, over an idle connection, the request sent here,
    // on the caller's thread, within the deadline. True when no thread runs
    // the exchanges: the caller must start one that calls RunExchanges.
    bool Submit(std::vector<uint8_t> request, OString transaction, XpmlEndpoint endpoint,
                Done done);
    // Moves every attempt on until none is left and no connection stays
    // open, or until stop; then returns. Attempts abandoned at stop get no
    // Done.
    void RunExchanges(const std::atomic<bool>& stop);

    // Attempts waiting or under way, and idle connections (for tests).
    size_t Pending();
    size_t IdleCount();

private:
    struct Exchange;
    struct IdleConnection;

    // Moves one attempt on after select; true when it is done.
    bool Advance(Exchange& exchange, bool readable, bool writable, bool failed);
    void Begin(Exchange& exchange);
    // Reads what came for an exchange taken out of the waits; gives it back
    // when more is to come.
    void ReadOut(Exchange& exchange);
    void Wake();
    void Settle(Exchange& exchange, int32_t code);
    void KeepIdle(Exchange& exchange);
    void CloseExpired(uint64_t now);

    const Dispatch m_dispatch;
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::deque<std::unique_ptr<Exchange>> m_submitted;
    bool m_running = false;
    bool m_wakePending = false;
    size_t m_active = 0;
    // Wakes the running thread while it waits for no socket.
    OKernelHandle m_wake;
    // Wakes it from select; null when Winsock would not make it.
    std::unique_ptr<StreamSocket> m_waker;
    // The running thread's own.
    std::vector<std::unique_ptr<Exchange>> m_exchanges;
    std::deque<std::unique_ptr<IdleConnection>> m_idle;
};
