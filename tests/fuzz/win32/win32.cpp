#include <windows.h>
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

// Windows as the pure code uses it, for the native fuzz build: code pages 1252
// and 65001 (0 being 1252; any other page fails, as one not installed does),
// case mapping, formatting and BSTRs.
namespace {

const char* Charset(UINT page) {
    page = page == 0 ? GetACP() : page;
    return page == 1252 ? "WINDOWS-1252" : page == 65001 ? "UTF-8" : nullptr;
}

// What iconv cannot take, `step` bytes at a time, becomes `substitute`: U+FFFD
// or '?' as Windows writes without flags.
std::string Convert(const char* to, const char* from, std::string in, size_t step,
                    const std::string& substitute) {
    iconv_t cd = iconv_open(to, from);
    std::string out(in.size() * 4 + 4, '\0');
    char* p = in.data();
    char* o = out.data();
    size_t left = in.size();
    size_t room = out.size();
    while (iconv(cd, &p, &left, &o, &room) == static_cast<size_t>(-1) && left > 0) {
        const size_t skip = std::min(step, left);
        p += skip;
        left -= skip;
        o = std::copy(substitute.begin(), substitute.end(), o);
        room -= substitute.size();
    }
    iconv_close(cd);
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

// The size asked for with no room, the units written, or 0 when they do not fit.
template <typename C>
int Deliver(const std::string& made, C* out, int outLength) {
    const size_t units = made.size() / sizeof(C);
    if (outLength != 0 && units > static_cast<size_t>(outLength)) {
        return 0;
    }
    if (outLength != 0) {
        std::memcpy(out, made.data(), made.size());
    }
    return static_cast<int>(units);
}

}  // namespace

extern "C" {

UINT GetACP() {
    return 1252;
}

int MultiByteToWideChar(UINT page, DWORD, const char* in, int inLength, wchar_t* out,
                        int outLength) {
    const std::string bytes(in, inLength < 0 ? std::strlen(in) + 1 : inLength);
    const char* charset = Charset(page);
    return charset == nullptr
               ? 0
               : Deliver(Convert("UTF-16LE", charset, bytes, 1, "\xFD\xFF"), out, outLength);
}

int WideCharToMultiByte(UINT page, DWORD, const wchar_t* in, int inLength, char* out, int outLength,
                        const char*, int*) {
    const auto* units = reinterpret_cast<const char16_t*>(in);
    const size_t n = inLength < 0 ? std::char_traits<char16_t>::length(units) + 1 : inLength;
    const char* charset = Charset(page);
    const char* substitute = charset == Charset(65001) ? "\xEF\xBF\xBD" : "?";
    const std::string bytes(reinterpret_cast<const char*>(units), 2 * n);
    return charset == nullptr
               ? 0
               : Deliver(Convert(charset, "UTF-16LE", bytes, 2, substitute), out, outLength);
}

int LCMapStringW(LCID, DWORD flags, const wchar_t* in, int inLength, wchar_t* out, int outLength) {
    std::u16string made(reinterpret_cast<const char16_t*>(in));
    made.resize(inLength < 0 ? made.size() + 1 : static_cast<size_t>(inLength));
    for (char16_t& c : made) {
        c = static_cast<char16_t>(flags & LCMAP_UPPERCASE ? std::towupper(c) : std::towlower(c));
    }
    return Deliver(std::string(reinterpret_cast<const char*>(made.data()), 2 * made.size()), out,
                   outLength);
}

int wvsprintfA(char* out, const char* format, va_list args) {
    return std::min(std::vsnprintf(out, 1025, format, args), 1024);
}

// Without the length prefix, which nothing here reads.
BSTR SysAllocStringLen(const wchar_t* text, UINT length) {
    auto* s = static_cast<BSTR>(std::calloc(length + 1, sizeof(wchar_t)));
    return text != nullptr ? static_cast<BSTR>(std::memcpy(s, text, length * sizeof(wchar_t))) : s;
}

void SysFreeString(BSTR text) {
    std::free(text);
}

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

void SetLastError(DWORD error) {
    t_lastError = error;
}

DWORD GetLastError() {
    return t_lastError;
}

}  // extern "C"

// The layout report writes to the event log, which this build does not have.
#include "rfid/rfid_exports.h"
void ReportEpcLayoutFault(const EpcLayoutFault&) {}
void ReportEpcValueLoss(const EpcLayoutFault&) {}
void ReportEpcDecodeFailure(const EpcDecodeResult&) {}
void ReportEpcNameFault(const char*, const char*, const char*) {}
