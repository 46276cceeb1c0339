// Winsock's sets hold 64 sockets unless told otherwise before its header.
#define FD_SETSIZE 1024
#include <winsock2.h>

#include "xpml/xpml_mux.h"

#include <algorithm>

#include "net/sockets.h"
#include "xpml/xpml_exchange.h"

namespace {

constexpr size_t kMostSockets = FD_SETSIZE - 24;
// The longest the running thread waits without looking at stop.
constexpr DWORD kStopCheckMs = 100;

enum class Stage { Failed, Connecting, Sending, Receiving };

}  // namespace

struct XpmlExchangeMux::Exchange {
    Exchange(std::vector<uint8_t> bytes, OString id, XpmlEndpoint target, Done callback)
        : request(std::move(bytes)),
          transaction(std::move(id)),
          endpoint(std::move(target)),
          key(endpoint.host, endpoint.port),
          deadline(endpoint.timeoutMs),
          done(std::move(callback)) {}

    std::vector<uint8_t> request;
    OString transaction;
    XpmlEndpoint endpoint;
    OSocketEndpoint key;
    OSocketDeadline deadline;
    Done done;
    sockaddr_in address{};
    Stage stage = Stage::Failed;
    std::unique_ptr<StreamSocket> socket;
    bool connected = false;
    bool reused = false;
    int stale = 0;
    size_t sent = 0;
    bool counted = false;  // in Pending()
    std::unique_ptr<XpmlAnswerReader> reader;
};

struct XpmlExchangeMux::IdleConnection {
    std::wstring key;
    int32_t port;
    std::unique_ptr<StreamSocket> socket;
    uint64_t until;
};

XpmlExchangeMux::XpmlExchangeMux(Dispatch dispatch)
    : m_dispatch(std::move(dispatch)), m_wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    // A datagram to itself wakes the select; without one, the running thread
    // looks for new attempts every kPickUpMs.
    try {
        auto waker = std::make_unique<StreamSocket>(SOCK_DGRAM);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (::bind(waker->GetHandle(), reinterpret_cast<const sockaddr*>(&address),
                   sizeof address) == 0 &&
            ::getsockname(waker->GetHandle(), reinterpret_cast<sockaddr*>(&address), &length) ==
                0 &&
            waker->BeginConnect(address)) {
            m_waker = std::move(waker);
        }
    } catch (const SocketException&) {
    }
}

XpmlExchangeMux::~XpmlExchangeMux() = default;

bool XpmlExchangeMux::Submit(std::vector<uint8_t> request, OString transaction,
                             XpmlEndpoint endpoint, Done done) {
    if (endpoint.timeoutMs < 1) {
        endpoint.timeoutMs = kDefaultTimeoutMs;
    }
    auto exchange = std::make_unique<Exchange>(std::move(request), std::move(transaction),
                                               std::move(endpoint), std::move(done));
    // Resolving, connecting and sending over an idle connection happen here,
    // so that the running thread, which serves every printer, only waits and
    // reads.
    try {
        ResolveAddress(exchange->endpoint.host, exchange->endpoint.port, exchange->address,
                       exchange->deadline);
        Begin(*exchange);
        if (exchange->stage == Stage::Sending && Advance(*exchange, false, true, false)) {
            return false;
        }
    } catch (const SocketException& e) {
        Settle(*exchange, e.GetErrorCode());
        return false;
    }
    bool wake = false;
    bool start = false;
    {
        OSrwHold hold(m_lock, true);
        exchange->counted = true;
        m_submitted.push_back(std::move(exchange));
        ++m_active;
        start = !std::exchange(m_running, true);
        wake = !start && !std::exchange(m_wakePending, true);
    }
    if (wake) {
        Wake();
    }
    return start;
}

size_t XpmlExchangeMux::Pending() {
    OSrwHold hold(m_lock, false);
    return m_active;
}

size_t XpmlExchangeMux::IdleCount() {
    OSrwHold hold(m_lock, false);
    return m_idle.size();
}

void XpmlExchangeMux::Settle(Exchange& exchange, int32_t code) {
    std::unique_ptr<HttpResponse> answer;
    if (exchange.stage == Stage::Receiving && exchange.reader != nullptr && code == 0) {
        answer = exchange.reader->Take();
    }
    exchange.socket.reset();
    exchange.stage = Stage::Failed;
    if (std::exchange(exchange.counted, false)) {
        OSrwHold hold(m_lock, true);
        --m_active;
    }
    try {
        exchange.done(XpmlAttemptResult(std::move(answer), code, exchange.connected,
                                        exchange.transaction, exchange.endpoint));
    } catch (...) {
        // The attempt is over either way.
    }
}

// A fresh start after a failure on an idle connection taken from the pool,
// or the first start: an idle connection to the endpoint, else a new one.
void XpmlExchangeMux::Begin(Exchange& exchange) {
    exchange.reader = std::make_unique<XpmlAnswerReader>();
    exchange.sent = 0;
    exchange.reused = false;
    {
        OSrwHold hold(m_lock, true);
        for (auto idle = m_idle.rbegin(); idle != m_idle.rend(); ++idle) {
            if ((*idle)->key == exchange.key.key && (*idle)->port == exchange.key.port) {
                exchange.socket = std::move((*idle)->socket);
                m_idle.erase(std::next(idle).base());
                exchange.reused = true;
                exchange.connected = true;
                exchange.stage = Stage::Sending;
                return;
            }
        }
    }
    exchange.socket = std::make_unique<StreamSocket>();
    exchange.stage =
        exchange.socket->BeginConnect(exchange.address) ? Stage::Sending : Stage::Connecting;
    exchange.connected = exchange.stage == Stage::Sending;
}

void XpmlExchangeMux::KeepIdle(Exchange& exchange) {
    OSrwHold hold(m_lock, true);
    if (m_idle.size() >= kMaxIdle) {
        m_idle.pop_front();
    }
    m_idle.push_back(std::make_unique<IdleConnection>(
        IdleConnection{exchange.key.key, exchange.key.port, std::move(exchange.socket),
                       ::GetTickCount64() + kIdleMs}));
}

void XpmlExchangeMux::CloseExpired(uint64_t now) {
    OSrwHold hold(m_lock, true);
    while (!m_idle.empty() && m_idle.front()->until <= now) {
        m_idle.pop_front();
    }
}

bool XpmlExchangeMux::Advance(Exchange& exchange, bool readable, bool writable, bool failed) {
    try {
        if (exchange.stage == Stage::Connecting) {
            if (failed) {
                Settle(exchange, exchange.socket->ConnectError());
                return true;
            }
            if (!writable) {
                return false;
            }
            exchange.connected = true;
            exchange.stage = Stage::Sending;
        }
        if (exchange.stage == Stage::Sending) {
            if (!writable) {
                return false;
            }
            while (exchange.sent < exchange.request.size()) {
                const int32_t count = exchange.socket->SendSome(
                    exchange.request.data() + exchange.sent,
                    static_cast<int32_t>(exchange.request.size() - exchange.sent));
                if (count < 0) {
                    return false;
                }
                exchange.sent += static_cast<size_t>(count);
            }
            exchange.stage = Stage::Receiving;
            return false;
        }
        // A reused connection's reset shows in its receive.
        if (!readable) {
            return false;
        }
        for (;;) {
            const int32_t count =
                exchange.socket->ReceiveSome(exchange.reader->Room(), XpmlAnswerReader::kChunk);
            if (count < 0) {
                return false;
            }
            switch (exchange.reader->Received(count)) {
                case XpmlAnswerReader::Step::More:
                    continue;
                case XpmlAnswerReader::Step::Complete:
                    if (exchange.reader->Reusable()) {
                        KeepIdle(exchange);
                    }
                    Settle(exchange, 0);
                    return true;
                case XpmlAnswerReader::Step::Failed:
                    if (exchange.reused && exchange.reader->Count() == 0 &&
                        exchange.stale++ < kMaxStaleXpmlRetries) {
                        Begin(exchange);
                        return false;
                    }
                    exchange.stage = Stage::Failed;
                    Settle(exchange, 0);
                    return true;
            }
        }
    } catch (const SocketException& e) {
        const int32_t code = e.GetErrorCode();
        if (exchange.reused && exchange.reader->Count() == 0 && XpmlClosedByPeer(code) &&
            exchange.stale++ < kMaxStaleXpmlRetries) {
            try {
                Begin(exchange);
                return false;
            } catch (const SocketException& again) {
                Settle(exchange, again.GetErrorCode());
                return true;
            }
        }
        Settle(exchange, code);
        return true;
    }
}

void XpmlExchangeMux::RunExchanges(const std::atomic<bool>& stop) {
    for (;;) {
        if (stop.load()) {
            // Destroyed after the lock: their Done may own what it serves.
            std::vector<std::unique_ptr<Exchange>> abandoned = std::move(m_exchanges);
            std::deque<std::unique_ptr<Exchange>> waiting;
            std::deque<std::unique_ptr<IdleConnection>> idle;
            OSrwHold hold(m_lock, true);
            waiting.swap(m_submitted);
            idle.swap(m_idle);
            m_active = 0;
            m_running = false;
            return;
        }
        {
            OSrwHold hold(m_lock, true);
            m_wakePending = false;
            while (!m_submitted.empty() && m_exchanges.size() < kMostSockets) {
                m_exchanges.push_back(std::move(m_submitted.front()));
                m_submitted.pop_front();
            }
            // An exchange out for reading may come back.
            if (m_active == 0 && m_idle.empty()) {
                m_running = false;
                return;
            }
        }
        auto over = [](const std::unique_ptr<Exchange>& exchange) {
            return exchange == nullptr || exchange->stage == Stage::Failed;
        };
        CloseExpired(::GetTickCount64());
        if (m_exchanges.empty() && m_waker == nullptr) {
            ::WaitForSingleObject(m_wake.Get(), kStopCheckMs);
            continue;
        }
        fd_set readable;
        fd_set writable;
        fd_set failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        int32_t wait = m_waker != nullptr ? static_cast<int32_t>(kStopCheckMs) : kPickUpMs;
        if (m_waker != nullptr) {
            FD_SET(m_waker->GetHandle(), &readable);
        }
        for (const auto& exchange : m_exchanges) {
            const SOCKET socket = exchange->socket->GetHandle();
            if (exchange->stage == Stage::Receiving) {
                FD_SET(socket, &readable);
            } else {
                FD_SET(socket, &writable);
                FD_SET(socket, &failed);
            }
            wait = std::min(wait, exchange->deadline.RemainingMs());
        }
        timeval timeout{0, wait * 1000};
        const int ready = ::select(0, &readable, &writable, &failed, &timeout);
        if (ready > 0 && m_waker != nullptr && FD_ISSET(m_waker->GetHandle(), &readable)) {
            char bytes[64];
            while (::recv(m_waker->GetHandle(), bytes, sizeof bytes, 0) > 0) {
            }
        }
        for (auto& exchange : m_exchanges) {
            const SOCKET socket = exchange->socket->GetHandle();
            const bool isReadable = ready > 0 && FD_ISSET(socket, &readable);
            const bool isWritable = ready > 0 && FD_ISSET(socket, &writable);
            const bool isFailed = ready > 0 && FD_ISSET(socket, &failed);
            if (isReadable && m_dispatch) {
                // Read where the owner's threads are: this one serves every
                // printer's waits.
                std::shared_ptr<Exchange> out(exchange.release());
                m_dispatch([this, out] { ReadOut(*out); });
                continue;
            }
            if (!Advance(*exchange, isReadable, isWritable, isFailed) &&
                exchange->deadline.IsDue()) {
                Settle(*exchange, WSAETIMEDOUT);
            }
        }
        m_exchanges.erase(std::remove_if(m_exchanges.begin(), m_exchanges.end(), over),
                          m_exchanges.end());
    }
}

void XpmlExchangeMux::ReadOut(Exchange& exchange) {
    if (Advance(exchange, true, false, false)) {
        return;
    }
    if (exchange.deadline.IsDue()) {
        Settle(exchange, WSAETIMEDOUT);
        return;
    }
    // More to come: back to the waiting thread, which is still running (the
    // exchange counts in Pending()).
    auto back = std::make_unique<Exchange>(std::move(exchange));
    bool wake = false;
    {
        OSrwHold hold(m_lock, true);
        m_submitted.push_back(std::move(back));
        wake = !std::exchange(m_wakePending, true);
    }
    if (wake) {
        Wake();
    }
}

void XpmlExchangeMux::Wake() {
    if (m_waker != nullptr) {
        const char byte = 0;
        ::send(m_waker->GetHandle(), &byte, 1, 0);
    } else {
        ::SetEvent(m_wake.Get());
    }
}
