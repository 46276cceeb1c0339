#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// The grow-the-buffer dance of Win32 calls, written once. An attempt is given a
// buffer and its size in bytes and answers what the call said.
struct OBufferAttempt {
    enum class Result { Done, NeedMore, Failed };
    Result result = Result::Failed;
    DWORD size = 0;   // Done: bytes of data; NeedMore: bytes wanted (0: unknown, double)
    DWORD error = 0;  // Failed: the Win32 error code
};

// Calls attempt(buffer, size) with a growing buffer until it is done or fails.
// Retries because the answer can change between calls (a job arrives, a value is
// rewritten). Gives up past maxBytes with ERROR_INSUFFICIENT_BUFFER. On success
// the vector holds exactly the bytes reported; on failure it is empty and
// *error (when given) holds the code.
template <typename Attempt>
bool OQueryBuffer(std::vector<uint8_t>& out, Attempt&& attempt, DWORD initialBytes = 256,
                  DWORD maxBytes = 64u << 20, DWORD* error = nullptr) {
    DWORD size = initialBytes == 0 ? 1 : initialBytes;
    for (;;) {
        out.assign(size, 0);
        OBufferAttempt answer = attempt(out.data(), size);
        if (answer.result == OBufferAttempt::Result::Done) {
            out.resize(answer.size <= size ? answer.size : size);
            return true;
        }
        if (answer.result == OBufferAttempt::Result::Failed) {
            out.clear();
            if (error != nullptr) {
                *error = answer.error;
            }
            return false;
        }
        DWORD next =
            answer.size > size ? answer.size : (size > maxBytes / 2 ? maxBytes + 1 : size * 2);
        if (next > maxBytes) {
            out.clear();
            if (error != nullptr) {
                *error = ERROR_INSUFFICIENT_BUFFER;
            }
            return false;
        }
        size = next;
    }
}

// Dialect: BOOL result, short buffer signalled by ERROR_INSUFFICIENT_BUFFER and the
// needed size in an out-parameter (GetPrinter, GetPrinterDriver, GetJob, EnumJobs).
// call(buffer, size, &needed) -> BOOL.
template <typename Call>
bool OQueryBoolBuffer(std::vector<uint8_t>& out, Call&& call, DWORD* error = nullptr) {
    return OQueryBuffer(
        out,
        [&](uint8_t* buffer, DWORD size) {
            DWORD needed = 0;
            if (call(buffer, size, &needed)) {
                return OBufferAttempt{OBufferAttempt::Result::Done, size, 0};
            }
            DWORD code = ::GetLastError();
            if (code == ERROR_INSUFFICIENT_BUFFER) {
                return OBufferAttempt{OBufferAttempt::Result::NeedMore, needed, 0};
            }
            return OBufferAttempt{OBufferAttempt::Result::Failed, 0, code};
        },
        256, 64u << 20, error);
}

// Dialect: the call returns ERROR_MORE_DATA (or ERROR_INSUFFICIENT_BUFFER) and the
// needed size (GetPrinterData, RegQueryValueEx). call(buffer, size, &needed) ->
// error code; on success needed holds the bytes written.
template <typename Call>
bool OQueryStatusBuffer(std::vector<uint8_t>& out, Call&& call, DWORD* error = nullptr,
                        DWORD initialBytes = 256) {
    return OQueryBuffer(
        out,
        [&](uint8_t* buffer, DWORD size) {
            DWORD needed = size;
            DWORD code = call(buffer, size, &needed);
            if (code == ERROR_SUCCESS) {
                return OBufferAttempt{OBufferAttempt::Result::Done, needed, 0};
            }
            if (code == ERROR_MORE_DATA || code == ERROR_INSUFFICIENT_BUFFER) {
                return OBufferAttempt{OBufferAttempt::Result::NeedMore, needed, 0};
            }
            return OBufferAttempt{OBufferAttempt::Result::Failed, 0, code};
        },
        initialBytes, 64u << 20, error);
}

// Dialect: silent truncation (GetModuleFileName fills the whole buffer and says
// nothing else): doubling is the only remedy. Returns the text without its NUL.
template <typename Call>
bool OQueryTruncatingText(std::vector<wchar_t>& out, Call&& call) {
    DWORD chars = MAX_PATH;
    for (; chars <= 32768 * 2; chars *= 2) {
        out.assign(chars, L'\0');
        DWORD written = call(out.data(), chars);
        if (written == 0) {
            out.clear();
            return false;
        }
        if (written < chars - 1) {
            out.resize(written);
            return true;
        }
    }
    out.clear();
    return false;
}
