#pragma once

#include <windows.h>
#include <winver.h>

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

// Bytes past the size a call is told, which it never learns of. Wine 8's
// spooler writes past a buffer too short for the answer: GetPrinterW level 2
// sets the device mode's size field wherever the strings left off (two bytes,
// up to 38 past the end). Under several threads those bytes landed in other
// allocations and brought the host down.
constexpr DWORD kOQueryGuardBytes = 256;

// The sane upper bound of a buffer the helpers grow, unless a caller sets its own.
constexpr DWORD kOQueryMaxBytes = 64u << 20;

// Every helper takes (out, call, error = nullptr, initialBytes) in that order.
//
// Calls attempt(buffer, size) with a growing buffer until it is done or fails.
// Retries because the answer can change between calls (a job arrives, a value is
// rewritten). Gives up past maxBytes with ERROR_INSUFFICIENT_BUFFER; the first
// try is never larger than maxBytes, so initialBytes == maxBytes asks for an
// exact size. On success the vector holds exactly the bytes reported; on
// failure it is empty and *error (when given) holds the code.
template <typename Attempt>
bool OQueryBuffer(std::vector<uint8_t>& out, Attempt&& attempt, DWORD* error = nullptr,
                  DWORD initialBytes = 256, DWORD maxBytes = kOQueryMaxBytes) {
    DWORD size = initialBytes == 0 ? 1 : initialBytes;
    size = size > maxBytes ? maxBytes : size;
    for (;;) {
        out.assign(size + kOQueryGuardBytes, 0);
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
        // Doubling 0 gets nowhere and a wrapped double is smaller: both are past the cap.
        DWORD next = answer.size > size ? answer.size : size * 2;
        if (next <= size || next > maxBytes) {
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
bool OQueryBoolBuffer(std::vector<uint8_t>& out, Call&& call, DWORD* error = nullptr,
                      DWORD initialBytes = 256) {
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
        error, initialBytes);
}

// Dialect: the call returns ERROR_MORE_DATA (or ERROR_INSUFFICIENT_BUFFER) and the
// needed size (GetPrinterData, RegQueryValueEx). call(buffer, size, &needed) ->
// error code; on success needed holds the bytes written.
template <typename Call>
bool OQueryStatusBuffer(std::vector<uint8_t>& out, Call&& call, DWORD* error = nullptr,
                        DWORD initialBytes = 256, DWORD maxBytes = kOQueryMaxBytes) {
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
        error, initialBytes, maxBytes);
}

// Dialect: the size is asked for up front (GetFileVersionInfoSize, then
// GetFileVersionInfo). askSize() -> bytes, 0 with GetLastError on failure;
// call(buffer, size) -> BOOL. A call that then finds the buffer short (the
// file was replaced in between) is asked again with more room.
template <typename AskSize, typename Call>
bool OQuerySizedBuffer(std::vector<uint8_t>& out, AskSize&& askSize, Call&& call,
                       DWORD* error = nullptr) {
    DWORD size = askSize();
    if (size == 0) {
        DWORD code = ::GetLastError();
        out.clear();
        if (error != nullptr) {
            *error = code;
        }
        return false;
    }
    return OQueryBuffer(
        out,
        [&](uint8_t* buffer, DWORD bytes) {
            if (call(buffer, bytes)) {
                return OBufferAttempt{OBufferAttempt::Result::Done, bytes, 0};
            }
            DWORD code = ::GetLastError();
            if (code == ERROR_INSUFFICIENT_BUFFER) {
                return OBufferAttempt{OBufferAttempt::Result::NeedMore, askSize(), 0};
            }
            return OBufferAttempt{OBufferAttempt::Result::Failed, 0, code};
        },
        error, size);
}

// A file's whole version resource, through the size-up-front dialect.
inline bool OReadVersionBlock(const wchar_t* path, std::vector<uint8_t>& block,
                              DWORD* error = nullptr) {
    return OQuerySizedBuffer(
        block,
        [path] {
            DWORD ignored = 0;
            return ::GetFileVersionInfoSizeW(path, &ignored);
        },
        [path](uint8_t* data, DWORD size) { return ::GetFileVersionInfoW(path, 0, size, data); },
        error);
}

// Dialect: silent truncation (GetModuleFileName fills the whole buffer and says
// nothing else): doubling is the only remedy. call(buffer, chars) -> chars
// written. Returns the text without its NUL.
template <typename Call>
bool OQueryTruncatingText(std::vector<wchar_t>& out, Call&& call, DWORD* error = nullptr,
                          DWORD initialChars = MAX_PATH) {
    for (DWORD chars = initialChars < 2 ? 2 : initialChars; chars <= 32768 * 2; chars *= 2) {
        out.assign(chars, L'\0');
        DWORD written = call(out.data(), chars);
        if (written == 0) {
            if (error != nullptr) {
                *error = ::GetLastError();
            }
            out.clear();
            return false;
        }
        if (written < chars - 1) {
            out.resize(written);
            return true;
        }
    }
    if (error != nullptr) {
        *error = ERROR_INSUFFICIENT_BUFFER;
    }
    out.clear();
    return false;
}
