#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

// Windows behaviour the pure code relies on, for the native fuzz build: code
// pages 1252 and 65001 (any other page fails, as an uninstalled one does),
// case mapping, formatting and BSTRs.
namespace {

constexpr char16_t kHigh1252[32] = {0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021,
                                    0x2C6,  0x2030, 0x160,  0x2039, 0x152,  0x8D,   0x17D,  0x8F,
                                    0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};

bool Decode(UINT page, const unsigned char* in, size_t n, std::u16string& out) {
    page = page == 0 ? GetACP() : page;
    for (size_t i = 0; i < n;) {
        unsigned b = in[i++];
        if (page == 1252) {
            out += b >= 0x80 && b < 0xA0 ? kHigh1252[b - 0x80] : static_cast<char16_t>(b);
            continue;
        }
        int more = b < 0x80                ? 0
                   : b >= 0xC2 && b < 0xE0 ? 1
                   : b >= 0xE0 && b < 0xF0 ? 2
                   : b >= 0xF0 && b < 0xF5 ? 3
                                           : -1;
        char32_t c = more == 0 ? b : more == 1 ? b & 0x1F : more == 2 ? b & 0x0F : b & 0x07;
        int taken = 0;
        for (; taken < more && i < n && (in[i] & 0xC0) == 0x80; ++taken) {
            c = (c << 6) | (in[i++] & 0x3F);
        }
        bool bad = more < 0 || taken < more ||
                   (more == 2 && (c < 0x800 || (c >= 0xD800 && c < 0xE000))) ||
                   (more == 3 && (c < 0x10000 || c > 0x10FFFF));
        if (bad) {
            out += u'\xFFFD';
        } else if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD7C0 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return page == 1252 || page == 65001;
}

bool Encode(UINT page, const char16_t* in, size_t n, std::string& out) {
    page = page == 0 ? GetACP() : page;
    for (size_t i = 0; i < n; ++i) {
        char32_t c = in[i];
        if (page == 1252) {
            char b = c < 0x80 || (c >= 0xA0 && c < 0x100) ? static_cast<char>(c) : '?';
            for (int k = 0; k < 32; ++k) {
                b = kHigh1252[k] == c ? static_cast<char>(0x80 + k) : b;
            }
            out += b;
            continue;
        }
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(tail == 0 ? c : ((0xF80 >> tail) & 0xFF) | (c >> (6 * tail)));
        for (int k = tail - 1; k >= 0; --k) {
            out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
        }
    }
    return page == 1252 || page == 65001;
}

template <typename C, typename S>
int Deliver(const S& made, C* out, int outLength) {
    if (outLength == 0) {
        return static_cast<int>(made.size());
    }
    if (made.size() > static_cast<size_t>(outLength)) {
        return 0;
    }
    std::memcpy(out, made.data(), made.size() * sizeof(C));
    return static_cast<int>(made.size());
}

}  // namespace

extern "C" {

UINT GetACP() {
    return 1252;
}

int MultiByteToWideChar(UINT page, DWORD, const char* in, int inLength, wchar_t* out,
                        int outLength) {
    size_t n = inLength < 0 ? std::strlen(in) + 1 : static_cast<size_t>(inLength);
    std::u16string made;
    return Decode(page, reinterpret_cast<const unsigned char*>(in), n, made)
               ? Deliver(made, out, outLength)
               : 0;
}

int WideCharToMultiByte(UINT page, DWORD, const wchar_t* in, int inLength, char* out, int outLength,
                        const char*, int*) {
    auto* units = reinterpret_cast<const char16_t*>(in);
    size_t n = inLength < 0 ? std::char_traits<char16_t>::length(units) + 1
                            : static_cast<size_t>(inLength);
    std::string made;
    return Encode(page, units, n, made) ? Deliver(made, out, outLength) : 0;
}

int LCMapStringW(LCID, DWORD flags, const wchar_t* in, int inLength, wchar_t* out, int outLength) {
    std::u16string made(reinterpret_cast<const char16_t*>(in));
    made.resize(inLength < 0 ? made.size() + 1 : static_cast<size_t>(inLength));
    for (char16_t& c : made) {
        c = static_cast<char16_t>(flags & LCMAP_UPPERCASE ? std::towupper(c) : std::towlower(c));
    }
    return Deliver(made, out, outLength);
}

int wvsprintfA(char* out, const char* format, va_list args) {
    int n = std::vsnprintf(out, 1025, format, args);
    return n > 1024 ? 1024 : n;
}

BSTR SysAllocStringLen(const wchar_t* text, UINT length) {
    auto* block = static_cast<uint32_t*>(std::malloc(4 + (length + 1) * 2ull));
    block[0] = length * 2;
    auto* s = reinterpret_cast<wchar_t*>(block + 1);
    if (text != nullptr) {
        std::memcpy(s, text, length * 2ull);
    }
    s[length] = L'\0';
    return s;
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(reinterpret_cast<uint32_t*>(text) - 1);
    }
}

}  // extern "C"
