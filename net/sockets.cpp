#include "net/sockets.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "core/clock.h"
#include "core/handles.h"
#include "core/locks.h"

SocketException::SocketException() : SocketException(::WSAGetLastError()) {}

SocketException::SocketException(int32_t code) : OException(code) {}

int32_t OSocketDeadline::RemainingMs() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_at - Clock::now()).count();
    return left > 0 ? static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX)) : 0;
}

namespace {

std::wstring KeyOf(const OString& host) {
    std::wstring key = host.GetWide();
    ::CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

}  // namespace

OSocketEndpoint::OSocketEndpoint(const OString& name, int32_t number)
    : host(name), key(KeyOf(name)), port(number) {}

namespace {

using GetAddrInfoFunction = decltype(&::GetAddrInfoW);

timeval WaitOf(const OSocketDeadline& deadline) {
    const int32_t ms = deadline.RemainingMs();
    return timeval{ms / 1000, (ms % 1000) * 1000};
}

// The resolver's first IPv4 address for host: 0, or the resolver's error.
int32_t FirstIPv4(GetAddrInfoFunction getAddrInfo, const wchar_t* host, in_addr& found) {
    ADDRINFOW hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* results = nullptr;
    const int error = getAddrInfo(host, nullptr, &hints, &results);
    if (error != 0) {
        return error;
    }
    int32_t outcome = WSAHOST_NOT_FOUND;
    for (const ADDRINFOW* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_family == AF_INET && result->ai_addr != nullptr) {
            found = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            outcome = 0;
            break;
        }
    }
    if (results != nullptr) {
        ::FreeAddrInfoW(results);
    }
    return outcome;
}

// One lookup of a name, shared by the callers that wait for it and the
// thread that asks the resolver: a caller whose deadline passed lets go of it
// and leaves, and whichever side lets go last frees it. The thread keeps the
// library loaded until it ends and has Winsock started for itself, as the
// callers may end both first.
struct Lookup {
    std::atomic<int32_t> references{1};
    std::wstring key;  // the name in lower case
    std::wstring host;
    GetAddrInfoFunction getAddrInfo = nullptr;
    OKernelHandle done;
    HMODULE module = nullptr;
    int32_t error = WSAHOST_NOT_FOUND;
    in_addr address = {};

    void AddReference() { references.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    static DWORD WINAPI Run(void* parameter);
};

// The process's lookups in flight, its running resolver threads and the
// names that failed lately. The failures kept are bounded: a host polling
// many dead names forgets the oldest first.
class Resolver {
public:
    static constexpr size_t kMaxFailures = 64;

    // The lookup of key in flight, or a new one whose thread is started; the
    // caller holds a reference. Throws the remembered failure of key, or
    // WSATRY_AGAIN when every thread is busy with other names.
    Lookup* Join(const std::wstring& key, const std::wstring& host) {
        OLock hold(m_lock);
        if (auto found = m_inFlight.find(key); found != m_inFlight.end()) {
            found->second->AddReference();
            return found->second;
        }
        if (auto failed = m_failures.find(key); failed != m_failures.end()) {
            if (OTickCount() - failed->second.at < kResolverMemoryMs) {
                throw SocketException(failed->second.error);
            }
            m_failures.erase(failed);
        }
        if (m_threads >= kMaxResolverThreads) {
            throw SocketException(WSATRY_AGAIN);
        }
        return Start(key, host);
    }

    // Called by a lookup's thread once it has its answer.
    void Finish(Lookup* lookup) {
        OLock hold(m_lock);
        --m_threads;
        m_inFlight.erase(lookup->key);
        if (lookup->error != 0) {
            if (m_failures.size() >= kMaxFailures) {
                m_failures.erase(std::min_element(
                    m_failures.begin(), m_failures.end(),
                    [](const auto& a, const auto& b) { return a.second.at < b.second.at; }));
            }
            m_failures[lookup->key] = {lookup->error, OTickCount()};
        }
    }

    int32_t Threads() {
        OLock hold(m_lock);
        return m_threads;
    }

private:
    struct Failure {
        int32_t error;
        uint64_t at;
    };

    Lookup* Start(const std::wstring& key, const std::wstring& host) {
        auto lookup = std::make_unique<Lookup>();
        lookup->key = key;
        lookup->host = host;
        lookup->getAddrInfo = OSocketApi::Current().getAddrInfoW;
        lookup->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!lookup->done) {
            throw SocketException(static_cast<int32_t>(::GetLastError()));
        }
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCWSTR>(&Lookup::Run), &lookup->module);
        // One reference for the caller, one for the thread.
        lookup->AddReference();
        HANDLE thread = ::CreateThread(nullptr, 0, &Lookup::Run, lookup.get(), 0, nullptr);
        if (thread == nullptr) {
            const DWORD error = ::GetLastError();
            if (lookup->module != nullptr) {
                ::FreeLibrary(lookup->module);
            }
            throw SocketException(static_cast<int32_t>(error));
        }
        ::CloseHandle(thread);
        ++m_threads;
        m_inFlight[key] = lookup.get();
        return lookup.release();
    }

    OCriticalSection m_lock;
    std::map<std::wstring, Lookup*> m_inFlight;
    std::map<std::wstring, Failure> m_failures;
    int32_t m_threads = 0;
};

// At namespace scope: a function-local static would need a guard, which the
// static runtime pays for with a TLS slot never given back. Lookups still in
// flight when the process ends are left to the system.
Resolver g_resolver;

DWORD WINAPI Lookup::Run(void* parameter) {
    auto* self = static_cast<Lookup*>(parameter);
    const HMODULE module = self->module;
    WSADATA data;
    const bool started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    self->error =
        started ? FirstIPv4(self->getAddrInfo, self->host.c_str(), self->address) : WSASYSNOTREADY;
    if (started) {
        ::WSACleanup();
    }
    g_resolver.Finish(self);
    ::SetEvent(self->done.Get());
    self->Release();
    if (module != nullptr) {
        ::FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

// Strict dotted decimal (four numbers of at most 255): the only form that
// skips the resolver, so "1.2.3" or "0x7f.1" still mean what the resolver says.
bool ParseDottedIPv4(const OString& host, in_addr& address) {
    const char* text = host.GetNarrow();
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.') {
            return false;
        }
        uint32_t number = 0;
        int digits = 0;
        for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits) {
            number = number * 10 + static_cast<uint32_t>(*text - '0');
        }
        if (digits == 0 || digits > 3 || number > 255) {
            return false;
        }
        value = (value << 8) | number;
    }
    if (*text != '\0') {
        return false;
    }
    address.s_addr = ::htonl(value);
    return true;
}

}  // namespace

void ResolveAddress(const OString& host, int32_t port, sockaddr_in& address,
                    const OSocketDeadline& deadline) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(port));
    if (ParseDottedIPv4(host, address.sin_addr)) {
        return;
    }
    if (host.CompareNoCase("localhost") == 0) {
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        return;
    }
    Lookup* lookup = g_resolver.Join(KeyOf(host), host.GetWide());
    const DWORD waited =
        ::WaitForSingleObject(lookup->done.Get(), static_cast<DWORD>(deadline.RemainingMs()));
    const int32_t error = waited == WAIT_OBJECT_0 ? lookup->error : WSAETIMEDOUT;
    const in_addr found = lookup->address;
    lookup->Release();
    if (error != 0) {
        throw SocketException(error);
    }
    address.sin_addr = found;
}

int32_t ResolverThreadCount() {
    return g_resolver.Threads();
}

namespace {

bool IsTransient(int error) {
    switch (error) {
        case WSAEINTR:
        case WSAECONNABORTED:
        case WSAECONNREFUSED:
            return true;
        default:
            return false;
    }
}

// The socket is non-blocking while it connects, and blocking again after.
class NonBlocking {
public:
    explicit NonBlocking(SOCKET socket) : m_socket(socket) { Set(1); }
    ~NonBlocking() { Set(0); }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

private:
    void Set(u_long on) { ::ioctlsocket(m_socket, FIONBIO, &on); }
    SOCKET m_socket;
};

// Why a non-blocking connect failed.
int32_t ConnectErrorOf(SOCKET socket) {
    int code = 0;
    int length = sizeof code;
    ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length);
    return code != 0 ? code : WSAECONNREFUSED;
}

// One connect: 0 when connected, else the error (WSAETIMEDOUT at the deadline).
// Starts a connect on a non-blocking socket: 0 when connected at once,
// WSAEWOULDBLOCK while it is under way, else the error.
int32_t StartConnect(SOCKET socket, const sockaddr_in& address) {
    if (OSocketApi::Current().connect(socket, reinterpret_cast<const sockaddr*>(&address),
                                      sizeof address) == 0) {
        return 0;
    }
    const int error = ::WSAGetLastError();
    return error == WSAEINPROGRESS ? WSAEWOULDBLOCK : error;
}

int32_t ConnectOnce(SOCKET socket, const sockaddr_in& address, const OSocketDeadline& deadline) {
    const int32_t started = StartConnect(socket, address);
    if (started != WSAEWOULDBLOCK) {
        return started;
    }
    // Winsock reports a failed non-blocking connect in the exception set.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval wait = WaitOf(deadline);
    const int ready = ::select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    if (ready == 0) {
        return WSAETIMEDOUT;
    }
    if (FD_ISSET(socket, &failed)) {
        return ConnectErrorOf(socket);
    }
    return 0;
}

}  // namespace

void ConnectSocket(SOCKET socket, const OString& host, int32_t port, int32_t retries,
                   const OSocketDeadline& deadline) {
    sockaddr_in address;
    ResolveAddress(host, port, address, deadline);
    NonBlocking nonBlocking(socket);
    for (;;) {
        const int32_t error = ConnectOnce(socket, address, deadline);
        if (error == 0) {
            return;
        }
        if (!IsTransient(error) || retries < 1 || deadline.IsDue()) {
            throw SocketException(error);
        }
        --retries;
    }
}

StreamSocket::StreamSocket() : StreamSocket(SOCK_STREAM) {}

StreamSocket::StreamSocket(int type)
    : m_type(type), m_protocol(type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP) {
    WSADATA data;
    int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        throw SocketException(error);
    }
    m_started = true;
    m_handle = ::socket(m_family, m_type, m_protocol);
    if (m_handle == INVALID_SOCKET) {
        SocketException e;
        ::WSACleanup();
        throw e;
    }
}

StreamSocket::~StreamSocket() {
    try {
        Close();
    } catch (const SocketException&) {
        // A destructor cannot report: the socket is closed either way.
    }
}

// Each object pairs its one WSAStartup with one WSACleanup: a second Close
// must not end Winsock for the process's other sockets.
void StreamSocket::Close() {
    if (m_handle != INVALID_SOCKET) {
        ::closesocket(m_handle);
        m_handle = INVALID_SOCKET;
    }
    if (m_started) {
        m_started = false;
        Cleanup();
    }
}

void StreamSocket::Cleanup() {
    if (::WSACleanup() == SOCKET_ERROR) {
        throw SocketException();
    }
}

void StreamSocket::SetOption(int option, int32_t value) {
    DWORD milliseconds = static_cast<DWORD>(value);
    if (OSocketApi::Current().setSockOpt(m_handle, SOL_SOCKET, option,
                                         reinterpret_cast<const char*>(&milliseconds),
                                         sizeof milliseconds) == SOCKET_ERROR) {
        throw SocketException();
    }
}

void StreamSocket::SetSendTimeout(int32_t milliseconds) {
    m_sendTimeout = milliseconds;
    if (milliseconds != m_appliedSendTimeout) {
        SetOption(SO_SNDTIMEO, milliseconds);
        m_appliedSendTimeout = milliseconds;
    }
}

void StreamSocket::SetReceiveTimeout(int32_t milliseconds) {
    m_receiveTimeout = milliseconds;
    if (milliseconds != m_appliedReceiveTimeout) {
        SetOption(SO_RCVTIMEO, milliseconds);
        m_appliedReceiveTimeout = milliseconds;
    }
}

void StreamSocket::Connect(const OString& host, int32_t port, const OSocketDeadline& deadline) {
    ConnectSocket(m_handle, host, port, 0, deadline);
}

bool StreamSocket::BeginConnect(const sockaddr_in& address) {
    u_long on = 1;
    if (::ioctlsocket(m_handle, FIONBIO, &on) == SOCKET_ERROR) {
        throw SocketException();
    }
    const int32_t started = StartConnect(m_handle, address);
    if (started != 0 && started != WSAEWOULDBLOCK) {
        throw SocketException(started);
    }
    return started == 0;
}

int32_t StreamSocket::ConnectError() const {
    return ConnectErrorOf(m_handle);
}

int32_t StreamSocket::SendSome(const void* bytes, int32_t length) {
    const int count = ::send(m_handle, static_cast<const char*>(bytes), length, 0);
    if (count != SOCKET_ERROR) {
        return count;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return -1;
    }
    throw SocketException();
}

int32_t StreamSocket::ReceiveSome(char* buffer, int32_t length) {
    const int count = ::recv(m_handle, buffer, length, 0);
    if (count != SOCKET_ERROR) {
        return count;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return -1;
    }
    throw SocketException();
}

int32_t StreamSocket::Send(const void* bytes, int32_t length) {
    const char* next = static_cast<const char*>(bytes);
    int32_t sent = 0;
    while (sent < length) {
        int count = ::send(m_handle, next + sent, length - sent, 0);
        if (count == SOCKET_ERROR) {
            throw SocketException();
        }
        sent += count;
    }
    return sent;
}

int32_t StreamSocket::Send(const void* bytes, int32_t length, const OSocketDeadline& deadline) {
    BoundWait(SO_SNDTIMEO, m_sendTimeout, m_appliedSendTimeout, deadline);
    return Send(bytes, length);
}

// The option's time-out bounds the wait: the one asked for, or the time left
// when that is shorter. A wait on select would cost a round trip to the
// system per call, as would a time-out changed for a few ms, so one that
// differs by less than kReceiveSlackMs is left alone: an exchange that takes
// one send and one receive changes no option.
void StreamSocket::BoundWait(int option, int32_t asked, int32_t& applied,
                             const OSocketDeadline& deadline) {
    const int32_t remaining = deadline.RemainingMs();
    if (remaining == 0) {
        throw SocketException(WSAETIMEDOUT);
    }
    const int32_t wanted = asked > 0 && asked < remaining ? asked : remaining;
    if (applied == 0 || applied > wanted + kReceiveSlackMs || applied + kReceiveSlackMs < wanted) {
        SetOption(option, wanted);
        applied = wanted;
    }
}

int32_t StreamSocket::Receive(char* buffer, const OSocketDeadline& deadline) {
    BoundWait(SO_RCVTIMEO, m_receiveTimeout, m_appliedReceiveTimeout, deadline);
    int count = ::recv(m_handle, buffer, kReceiveSize, 0);
    if (count == SOCKET_ERROR) {
        throw SocketException();
    }
    return count;
}
