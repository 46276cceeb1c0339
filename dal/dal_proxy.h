#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "core/handles.h"
#include "core/ostring.h"

// The library's side of the DAL proxy: a RunDLL32 process that loads the
// driver's DAL module and serves its exports over a message-mode named pipe.
// Every item the library sends is one pipe message (an integer: 8 bytes
// little-endian; a string: its 16-bit length in code units, then that many
// UTF-16LE units); every reply is one 8-byte value.
//
// Waits are bounded by the proxy, not by time: each transfer runs overlapped
// and waits on its completion and on the proxy process together, so a proxy
// that dies (before connecting, between exchanges or in the middle of a reply)
// ends the wait at once, while a living proxy may take as long as its action
// needs (a dialog left open for minutes). Only the connection has a time
// limit. While waiting, the calling thread's window messages are dispatched.
// A transfer is over when its OVERLAPPED says so, not when its event is set;
// whatever ends a wait early (the proxy's end, a time limit, an exception out
// of a dispatched message), the transfer is cancelled and waited for before
// its frame goes, as the system writes into the OVERLAPPED and the buffer
// until it completes.

// The exceptions of the pipe layer; each holds one constant message text.
// DriverDLLProxy catches the family and fails quietly.
class OStdException {
public:
    explicit OStdException(const char* message) noexcept : m_message(message) {}
    virtual ~OStdException() = default;
    const char* GetMessage() const noexcept { return m_message; }

private:
    const char* m_message;
};

class DriverProxyException : public OStdException {
public:
    using OStdException::OStdException;
};

class DriverProxyException_InvalidHandle : public DriverProxyException {
public:
    DriverProxyException_InvalidHandle() : DriverProxyException("Invalid pipe file handle.") {}
};

class DriverProxyException_WriteFailed : public DriverProxyException {
public:
    DriverProxyException_WriteFailed() : DriverProxyException("Failed to write to pipe.") {}
};

class DriverProxyException_ReadFailed : public DriverProxyException {
public:
    DriverProxyException_ReadFailed() : DriverProxyException("Failed to read from pipe.") {}
};

// The server end of one proxy pipe: the pipe (opened for overlapped I/O), the
// manual-reset event its transfers complete on, the proxy process watched
// while waiting (null: none), and the job that ends the proxy when its last
// handle closes, however the host ends.
struct ProxyPipe {
    OFileHandle pipe;
    OKernelHandle event;
    OKernelHandle process;
    OKernelHandle job;

    bool IsOpen() const { return static_cast<bool>(pipe); }
    // Closes the pipe and event; the process handle stays.
    void Close() {
        pipe.Reset();
        event.Reset();
    }
};

// CreateProcessW of program (a full path, also the command line's first
// token) with the command line, no inherited handles, the caller's
// environment and folder, and a hidden window, in a job of its own that kills
// it when closed (without one where the system refuses it). The process and
// job handles go to proxy. False when the process could not be started.
bool StartProxyProcess(const OString& program, const OString& commandLine, ProxyPipe& proxy);

// Creates the server end: duplex, message type and read mode, one instance
// and the first of its name, 256-byte buffers, 10000 ms default time-out, and
// a descriptor that lets only this process's user and the system open it.
// False, with nothing left open, when the name is already taken (by another
// process, or by any pipe of this one), the descriptor cannot be built, or
// the pipe or its event cannot be made.
bool CreateProxyPipe(const OString& name, ProxyPipe& pipe);

// Waits for the proxy to connect, at most timeoutMs, dispatching window
// messages. False when it did not connect in time, its process ended first,
// or the pipe failed.
bool ConnectProxyPipe(ProxyPipe& pipe, DWORD timeoutMs);

// Whether the process at the pipe's client end is the proxy this library
// started: any process of the same user could otherwise connect first and
// serve the DAL calls (or read what the host sends) in its place.
bool ClientIsTheProxy(const ProxyPipe& pipe);

// How a wait on a transfer's event ended.
enum class PipeWaitResult { Signalled, PeerGone, TimedOut, Failed };

// Waits until the event is signalled, the process (when not null) ends, or
// timeoutMs pass (INFINITE: never), dispatching every window message that
// reaches the calling thread meanwhile. An event signalled together with the
// process's end counts as signalled: a reply written just before the proxy
// ended is still read. A WM_QUIT taken from the queue ends the dispatching
// for the rest of the wait (messages behind it stay queued) and is posted
// again, with its exit code, when the wait returns, so that the host's own
// message loop still sees it.
PipeWaitResult WaitForPipe(HANDLE event, HANDLE process, DWORD timeoutMs);

// One item each. Raise DriverProxyException_InvalidHandle for a closed pipe
// and DriverProxyException_WriteFailed for a failed or short write, after
// passing the diagnostic line (see DalPipeFailureText) to OutputDebugStringW.
// A string sends the low 16 bits of its length and only that many units.
void PutPipeData(ProxyPipe& pipe, int64_t value);
void PutPipeData(ProxyPipe& pipe, std::wstring_view text);

// Reads one 8-byte reply, gathering it from several messages when the proxy
// sends it in pieces. Raises DriverProxyException_InvalidHandle or, after the
// diagnostic line, DriverProxyException_ReadFailed.
void GetPipeData(ProxyPipe& pipe, int64_t& value);
