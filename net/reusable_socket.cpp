#include "net/reusable_socket.h"

#include "diagnostics/event_log.h"
#include "diagnostics/log_throttle.h"

namespace {

// A warning about a connection, written once per place, endpoint and code:
// the entry's identity changes with every connection, the endpoint does not.
// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back.
OLogThrottle g_warnings;

// Whether a warning of this place, endpoint and code is due (once a minute);
// skipped gets how many were held back since the last one.
bool WarningDue(OEventLog& log, const char* place, const TCPSocketEntry* entry, int32_t code,
                int64_t& skipped) {
    if (!log.IsEnabled(OEventLog::kWarnings)) {
        return false;
    }
    const OString key =
        OString(place) + "|" +
        (entry != nullptr ? entry->GetHost() + ":" + OString(entry->GetPort()) : OString()) + "|" +
        OString(code);
    return g_warnings.Due(key.GetWide(), skipped);
}

}  // namespace

void LogSocketException(const TCPSocketEntry* entry, OEventLog& log, const OString& prefix,
                        const OException& e, const OString& extra) {
    int64_t skipped = 0;
    if (!WarningDue(log, prefix.GetNarrow(), entry, e.GetErrorCode(), skipped)) {
        return;
    }
    OString text = prefix + "SocketException occurred. " +
                   (entry != nullptr ? entry->Describe() : OString()) + " Error: 0x" +
                   OString::ToHex(static_cast<uint32_t>(e.GetErrorCode())) + " " +
                   e.GetMessage().c_str() + " " + extra + OLogThrottle::SkippedText(skipped);
    log.Write(text, OEventLog::kWarnings);
}

TCPSocketWithReUse::TCPSocketWithReUse()
    : m_manager(TCPSocketManager::Obtain()), m_log(m_manager->GetEventLog()) {
    m_log->Writef(OEventLog::kDetailInfoG, "TCPSocketWithReUse::TCPSocketWithReUse",
                  "Constructor called Id: 0x%016llX", LogIdentity(this));
}

TCPSocketWithReUse::TCPSocketWithReUse(const OString& host, int32_t port) : TCPSocketWithReUse() {
    m_host = host;
    m_port = port;
}

TCPSocketWithReUse::~TCPSocketWithReUse() {
    if (m_entry != nullptr) {
        if (m_entry->IsFailed()) {
            m_manager->DestroySocketEntry(m_entry);
        } else {
            m_manager->MoveToIdle(m_entry);
        }
        m_entry = nullptr;
    }
    m_log->Writef(OEventLog::kDetailInfoG, "TCPSocketWithReUse::~TCPSocketWithReUse",
                  "Destructor ID: 0x%016llX", LogIdentity(this));
    TCPSocketManager::Release();
}

void TCPSocketWithReUse::SetSendTimeout(int32_t milliseconds) {
    m_sendTimeout = milliseconds;
    m_log->Writef(OEventLog::kDetailInfoH, "TCPSocketWithReUse::SetSendTimeout",
                  "SetSendTimeout ID: 0x%016llX, Timeout: %d", LogIdentity(this), milliseconds);
}

void TCPSocketWithReUse::SetReceiveTimeout(int32_t milliseconds) {
    m_receiveTimeout = milliseconds;
    m_log->Writef(OEventLog::kDetailInfoH, "TCPSocketWithReUse::SetReceiveTimeout",
                  "SetReceiveTimeout ID: 0x%016llX, Timeout: %d", LogIdentity(this), milliseconds);
}

void TCPSocketWithReUse::Fail(const char* source, const SocketException& e, const OString& extra) {
    LogSocketException(m_entry, *m_log, OString(source) + ": ", e, extra);
    if (m_entry != nullptr) {
        m_entry->m_failed = true;
    }
}

void TCPSocketWithReUse::Discard() noexcept {
    if (m_entry != nullptr) {
        m_entry->m_failed = true;
    }
}

bool TCPSocketWithReUse::Connect(const OString& host, int32_t port,
                                 const OSocketDeadline& deadline) {
    m_host = host;
    m_port = port;
    return Connect(deadline);
}

bool TCPSocketWithReUse::Connect(const OSocketDeadline& deadline) {
    constexpr const char* kSource = "TCPSocketWithReUse::Connect";
    const OSocketEndpoint endpoint(m_host, m_port);
    m_log->Writef(OEventLog::kDetailInfoH, kSource,
                  "Connect - Start: ID:0x%016llX, Host:%s, Port: %d, Retries 0", LogIdentity(this),
                  endpoint.host.GetNarrow(), endpoint.port);
    bool isNew = false;
    m_entry = m_manager->GetSocketEntry(endpoint, isNew);
    try {
        StreamSocket& socket = *m_entry->m_socket;
        if (m_sendTimeout != -1) {
            socket.SetSendTimeout(m_sendTimeout);
        }
        if (m_receiveTimeout != -1) {
            socket.SetReceiveTimeout(m_receiveTimeout);
        }
        // A reused entry is still connected from its last exchange.
        if (isNew) {
            socket.Connect(endpoint.host, endpoint.port, deadline);
        }
    } catch (const SocketException& e) {
        Fail(kSource, e, "Retries: 0");
        throw;
    }
    m_log->Writef(OEventLog::kDetailInfoH, kSource,
                  "Connect - End: ID: 0x%016llX, Host:%s, Port: %d, Retries 0",
                  LogIdentity(m_entry), endpoint.host.GetNarrow(), endpoint.port);
    return !isNew;
}

int32_t TCPSocketWithReUse::Write(const void* bytes, int32_t length) {
    return Write(bytes, length, nullptr);
}

int32_t TCPSocketWithReUse::Write(const void* bytes, int32_t length,
                                  const OSocketDeadline& deadline) {
    return Write(bytes, length, &deadline);
}

int32_t TCPSocketWithReUse::Write(const void* bytes, int32_t length,
                                  const OSocketDeadline* deadline) {
    constexpr const char* kSource = "TCPSocketWithReUse::Write";
    if (m_entry == nullptr || m_entry->m_socket == nullptr) {
        return 0;
    }
    int32_t written = 0;
    try {
        StreamSocket& socket = *m_entry->m_socket;
        written = deadline != nullptr ? socket.Send(bytes, length, *deadline)
                                      : socket.Send(bytes, length);
    } catch (const SocketException& e) {
        Fail(kSource, e,
             "Length to Write: " + OString(length) + ", Length Written:" + OString(written));
        throw;
    }
    if (written == length) {
        m_log->Writef(OEventLog::kDetailInfoI, kSource, "Write Succeeded: ID:0x%016llX, Length:%d",
                      LogIdentity(this), written);
    } else if (int64_t skipped = 0; WarningDue(*m_log, kSource, m_entry, 0, skipped)) {
        m_log->Write(OLogLine(kSource, "Write Failed: ID:0x" + m_entry->Describe() +
                                           ", Length to Write: " + OString(length) +
                                           ", Length Written:" + OString(written) +
                                           OLogThrottle::SkippedText(skipped)),
                     OEventLog::kWarnings);
    }
    return written;
}

int32_t TCPSocketWithReUse::Read(char* buffer, const OSocketDeadline& deadline) {
    constexpr const char* kSource = "TCPSocketWithReUse::Read";
    if (m_entry == nullptr || m_entry->m_socket == nullptr) {
        return 0;
    }
    int32_t count = 0;
    try {
        count = m_entry->m_socket->Receive(buffer, deadline);
    } catch (const SocketException& e) {
        Fail(kSource, e, OString());
        throw;
    }
    if (count > 0) {
        m_log->Writef(OEventLog::kDetailInfoI, kSource,
                      "Read Succeeded: ID:0x%016llX, Buffer: %d, Length Received:%d",
                      LogIdentity(this), kReadSize, count);
        return count;
    }
    if (int64_t skipped = 0; WarningDue(*m_log, kSource, m_entry, 0, skipped)) {
        m_log->Write(OLogLine(kSource, "Read Failed: " + m_entry->Describe() +
                                           OLogThrottle::SkippedText(skipped)),
                     OEventLog::kWarnings);
    }
    m_entry->m_failed = true;
    return 0;
}
