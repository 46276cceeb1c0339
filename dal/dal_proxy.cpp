#include "dal/dal_proxy.h"

#include <array>
#include <string>
#include <vector>

#include "dal/dal_text.h"

namespace {

constexpr DWORD kPipeInstances = PIPE_UNLIMITED_INSTANCES;  // 255
constexpr DWORD kPipeBufferBytes = 256;
constexpr DWORD kPipeDefaultTimeoutMs = 10000;

void DispatchWaitingMessages() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// One overlapped transfer of up to size bytes. On failure error holds the
// system code: the transfer's own, or ERROR_BROKEN_PIPE when the proxy ended
// before it completed.
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
        PipeWaitResult waited = WaitForPipe(pipe.event.Get(), pipe.process.Get(), INFINITE);
        if (waited != PipeWaitResult::Signalled) {
            // The OVERLAPPED lives on this frame: the cancelled transfer must
            // be finished before leaving it.
            ::CancelIo(pipe.pipe.Get());
            ::GetOverlappedResult(pipe.pipe.Get(), &overlapped, &moved, TRUE);
            error = waited == PipeWaitResult::PeerGone ? ERROR_BROKEN_PIPE : ::GetLastError();
            return false;
        }
    }
    if (!::GetOverlappedResult(pipe.pipe.Get(), &overlapped, &moved, FALSE)) {
        error = ::GetLastError();
        return false;
    }
    return true;
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

bool StartProxyProcess(const OString& commandLine, ProxyPipe& proxy) {
    std::wstring line(commandLine.GetWide());  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
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
    pipe.pipe.Reset(::CreateNamedPipeW(name.GetWide(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       kPipeInstances, kPipeBufferBytes, kPipeBufferBytes,
                                       kPipeDefaultTimeoutMs, nullptr));
    if (!pipe.IsOpen() || pipe.pipe.Get() == nullptr) {
        return false;
    }
    pipe.event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return static_cast<bool>(pipe.event);
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
    if (WaitForPipe(pipe.event.Get(), pipe.process.Get(), timeoutMs) != PipeWaitResult::Signalled) {
        ::CancelIo(pipe.pipe.Get());
        ::GetOverlappedResult(pipe.pipe.Get(), &overlapped, &ignored, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe.pipe.Get(), &overlapped, &ignored, FALSE) != FALSE;
}

PipeWaitResult WaitForPipe(HANDLE event, HANDLE process, DWORD timeoutMs) {
    HANDLE handles[2] = {event, process};
    DWORD count = process != nullptr ? 2 : 1;
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD wait = timeoutMs;
        if (timeoutMs != INFINITE) {
            ULONGLONG now = ::GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        DWORD result = ::MsgWaitForMultipleObjects(count, handles, FALSE, wait, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0 + count) {
            DispatchWaitingMessages();
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
