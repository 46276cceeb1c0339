#include "dal/dal_proxy.h"

#include <array>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/security.h"
#include "dal/dal_text.h"

namespace {

// One instance, the first of its name: a second server end, of another
// process that took the name first, could otherwise be the one the proxy
// reaches.
constexpr DWORD kPipeInstances = 1;
constexpr DWORD kPipeBufferBytes = 256;
constexpr DWORD kPipeDefaultTimeoutMs = 10000;

// Dispatches what is queued. False once WM_QUIT is taken (its exit code in
// quitCode): nothing more is dispatched then.
bool DispatchWaitingMessages(int& quitCode) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitCode = static_cast<int>(message.wParam);
            return false;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return true;
}

// Waits, at most timeoutMs, for the overlapped operation on the pipe to end,
// and takes its result. On failure error holds the system code: the
// operation's own, ERROR_BROKEN_PIPE when the proxy ended first, WAIT_TIMEOUT
// when time ran out.
bool AwaitOverlapped(ProxyPipe& pipe, OVERLAPPED& overlapped, DWORD timeoutMs, DWORD& moved,
                     DWORD& error) {
    HANDLE file = pipe.pipe.Get();
    HANDLE event = pipe.event.Get();
    // However this frame is left, the system must be done with overlapped
    // (and the caller's buffer) first. A stray set of the event lets
    // GetOverlappedResult return while the operation is still pending
    // (Windows then says ERROR_IO_INCOMPLETE; Wine 8 returns TRUE, its
    // Internal still STATUS_PENDING, as measured), so the OVERLAPPED itself
    // is asked; the event is cleared before it is asked again, and a
    // completion after that sets it anew.
    OScopeGuard settle([&] {
        if (HasOverlappedIoCompleted(&overlapped)) {
            return;
        }
        ::CancelIoEx(file, &overlapped);
        DWORD ignored = 0;
        while (!HasOverlappedIoCompleted(&overlapped)) {
            ::GetOverlappedResult(file, &overlapped, &ignored, TRUE);
            if (!HasOverlappedIoCompleted(&overlapped)) {
                ::ResetEvent(event);
            }
        }
    });
    ULONGLONG deadline = OTickCount() + timeoutMs;
    PipeWaitResult waited = PipeWaitResult::Signalled;
    while (!HasOverlappedIoCompleted(&overlapped)) {
        DWORD wait = timeoutMs;
        if (timeoutMs != INFINITE) {
            ULONGLONG now = OTickCount();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        waited = WaitForPipe(event, pipe.process.Get(), wait);
        if (waited != PipeWaitResult::Signalled) {
            break;
        }
        if (!HasOverlappedIoCompleted(&overlapped)) {
            ::ResetEvent(event);  // set, but not by this operation: wait on
        }
    }
    // An operation that completed as the proxy ended still counts.
    if (HasOverlappedIoCompleted(&overlapped)) {
        if (::GetOverlappedResult(file, &overlapped, &moved, FALSE)) {
            return true;
        }
        error = ::GetLastError();
        return false;
    }
    error = waited == PipeWaitResult::PeerGone   ? ERROR_BROKEN_PIPE
            : waited == PipeWaitResult::TimedOut ? WAIT_TIMEOUT
                                                 : ::GetLastError();
    return false;
}

// One overlapped transfer of up to size bytes; error as AwaitOverlapped.
bool Transfer(ProxyPipe& pipe, bool write, void* data, DWORD size, DWORD& moved, DWORD& error) {
    moved = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = pipe.event.Get();
    BOOL done = write ? ::WriteFile(pipe.pipe.Get(), data, size, nullptr, &overlapped)
                      : ::ReadFile(pipe.pipe.Get(), data, size, nullptr, &overlapped);
    if (!done) {
        error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            return false;
        }
    }
    return AwaitOverlapped(pipe, overlapped, INFINITE, moved, error);
}

[[noreturn]] void ReportFailure(bool write, DWORD wanted, DWORD moved, DWORD error) {
    OString text = DalPipeFailureText(write, static_cast<int32_t>(wanted),
                                      static_cast<int32_t>(moved), static_cast<int32_t>(error));
    ::OutputDebugStringW(text.GetWide());
    if (write) {
        throw DriverProxyException_WriteFailed();
    }
    throw DriverProxyException_ReadFailed();
}

void CheckHandle(const ProxyPipe& pipe) {
    if (!pipe.IsOpen() || pipe.pipe.Get() == nullptr || !pipe.event) {
        throw DriverProxyException_InvalidHandle();
    }
}

void WriteItem(ProxyPipe& pipe, const void* data, DWORD size) {
    DWORD written = 0;
    DWORD error = 0;
    if (!Transfer(pipe, true, const_cast<void*>(data), size, written, error) || written != size) {
        ReportFailure(true, size, written, error);
    }
}

}  // namespace

bool StartProxyProcess(const OString& program, const OString& commandLine, ProxyPipe& proxy) {
    std::wstring line(commandLine.GetWide());  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(program.GetWide(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                          nullptr, nullptr, &startup, &info)) {
        return false;
    }
    proxy.process.Reset(info.hProcess);
    OKernelHandle thread(info.hThread);
    // A proxy stuck in its module would otherwise outlive a host that crashed
    // or was ended, holding the printer and the module's files.
    proxy.job.Reset(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!proxy.job ||
        !::SetInformationJobObject(proxy.job.Get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(proxy.job.Get(), info.hProcess)) {
        proxy.job.Reset();
    }
    ::ResumeThread(thread.Get());
    return true;
}

bool CreateProxyPipe(const OString& name, ProxyPipe& pipe) {
    pipe.Close();
    OSecurityAttributes security;
    if (!security.BuildCurrentUserOnly()) {
        return false;
    }
    // With the name taken, Windows refuses the first instance with
    // ERROR_ACCESS_DENIED. Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE: it
    // refuses only when the holder allowed one instance (ERROR_PIPE_BUSY)
    // and otherwise makes a further instance of the holder's pipe, which the
    // instance count below then finds.
    pipe.pipe.Reset(::CreateNamedPipeW(
        name.GetWide(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kPipeInstances, kPipeBufferBytes, kPipeBufferBytes, kPipeDefaultTimeoutMs, security.Get()));
    DWORD instances = 0;
    if (!pipe.IsOpen() || pipe.pipe.Get() == nullptr ||
        !::GetNamedPipeHandleStateW(pipe.pipe.Get(), nullptr, &instances, nullptr, nullptr, nullptr,
                                    0) ||
        instances != 1) {
        pipe.Close();
        return false;
    }
    pipe.event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pipe.event) {
        pipe.Close();
        return false;
    }
    return true;
}

bool ConnectProxyPipe(ProxyPipe& pipe, DWORD timeoutMs) {
    if (!pipe.IsOpen() || !pipe.event) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = pipe.event.Get();
    if (::ConnectNamedPipe(pipe.pipe.Get(), &overlapped)) {
        return true;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        return true;  // the proxy came between creation and this call
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    DWORD ignored = 0;
    return AwaitOverlapped(pipe, overlapped, timeoutMs, ignored, error);
}

bool ClientIsTheProxy(const ProxyPipe& pipe) {
    ULONG client = 0;
    return pipe.IsOpen() && pipe.process &&
           ::GetNamedPipeClientProcessId(pipe.pipe.Get(), &client) &&
           client == ::GetProcessId(pipe.process.Get());
}

PipeWaitResult WaitForPipe(HANDLE event, HANDLE process, DWORD timeoutMs) {
    HANDLE handles[2] = {event, process};
    DWORD count = process != nullptr ? 2 : 1;
    ULONGLONG deadline = OTickCount() + timeoutMs;
    bool quit = false;
    int quitCode = 0;
    OScopeGuard repost([&] {
        if (quit) {
            ::PostQuitMessage(quitCode);
        }
    });
    for (;;) {
        DWORD wait = timeoutMs;
        if (timeoutMs != INFINITE) {
            ULONGLONG now = OTickCount();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        // After WM_QUIT nothing posted is dispatched any more, but a message
        // another thread or process sends (a dialog enabling its owner as it
        // ends, WM_QUERYENDSESSION) still is: its sender waits for it.
        DWORD result = ::MsgWaitForMultipleObjects(count, handles, FALSE, wait,
                                                   quit ? QS_SENDMESSAGE : QS_ALLINPUT);
        if (result == WAIT_OBJECT_0 + count) {
            if (!quit) {
                quit = !DispatchWaitingMessages(quitCode);
            } else {
                MSG sent;
                ::PeekMessageW(&sent, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            }
            continue;
        }
        if (result == WAIT_OBJECT_0) {
            return PipeWaitResult::Signalled;
        }
        if (count == 2 && result == WAIT_OBJECT_0 + 1) {
            return PipeWaitResult::PeerGone;
        }
        return result == WAIT_TIMEOUT ? PipeWaitResult::TimedOut : PipeWaitResult::Failed;
    }
}

void PutPipeData(ProxyPipe& pipe, int64_t value) {
    CheckHandle(pipe);
    const std::array<uint8_t, 8> bytes = EncodePipeNumber(value);
    WriteItem(pipe, bytes.data(), bytes.size());
}

void PutPipeData(ProxyPipe& pipe, std::wstring_view text) {
    CheckHandle(pipe);
    const std::vector<uint8_t> messages = EncodePipeText(text);
    WriteItem(pipe, messages.data(), 2);
    WriteItem(pipe, messages.data() + 2, static_cast<DWORD>(messages.size() - 2));
}

void GetPipeData(ProxyPipe& pipe, int64_t& value) {
    CheckHandle(pipe);
    std::array<uint8_t, 8> bytes = {};
    DWORD total = 0;
    while (total < bytes.size()) {
        DWORD read = 0;
        DWORD error = 0;
        if (!Transfer(pipe, false, bytes.data() + total, bytes.size() - total, read, error)) {
            ReportFailure(false, bytes.size(), total + read, error);
        }
        total += read;
    }
    value = DecodePipeNumber(bytes);
}
