#include "core/code_page.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace OCodePage {
namespace {

size_t Utf8Bytes(const wchar_t* wide) {
    size_t bytes = 0;
    for (; *wide != L'\0'; ++wide) {
        auto c = static_cast<uint16_t>(*wide);
        bytes += c < 0x80 ? 1 : (c < 0x800 ? 2 : 3);
    }
    return bytes;
}

void EncodeUtf8(const wchar_t* wide, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    for (; *wide != L'\0'; ++wide) {
        auto c = static_cast<uint16_t>(*wide);
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    *o = 0;
}

// Counts units when out is null; the terminating NUL is never passed.
size_t DecodeUtf8(const char* narrow, wchar_t* out) {
    constexpr wchar_t kReplacement = 0xFFFD;
    const auto* p = reinterpret_cast<const unsigned char*>(narrow);
    size_t units = 0;
    auto emit = [&](wchar_t c) {
        if (out != nullptr) {
            out[units] = c;
        }
        ++units;
    };
    while (*p != 0) {
        unsigned b = *p;
        if (b < 0x80) {
            emit(static_cast<wchar_t>(b));
            p += 1;
        } else if ((b & 0xE0) == 0xC0) {
            if (p[1] == 0) {
                emit(kReplacement);
                break;
            }
            emit(static_cast<wchar_t>(((b & 0x1F) << 6) | (p[1] & 0x3F)));
            p += 2;
        } else {
            if (p[1] == 0 || p[2] == 0) {
                emit(kReplacement);
                break;
            }
            emit(static_cast<wchar_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)));
            p += 3;
        }
    }
    if (out != nullptr) {
        out[units] = L'\0';
    }
    return units;
}

template <typename C>
std::unique_ptr<C[]> NewBuffer(size_t needed, size_t minUnits) {
    return std::unique_ptr<C[]>(new C[std::max(needed, minUnits)]);
}

}  // namespace

bool CountsInUnits(uint32_t codePage) {
    if (codePage == kUtf8) {
        return true;
    }
    switch (codePage == kAnsi ? ::GetACP() : codePage) {
        case 932:
        case 936:
        case 949:
        case 950:
        case 1361:
        case 54936:
            return true;
        default:
            return false;
    }
}

std::unique_ptr<char[]> NewNarrow(const wchar_t* wide, uint32_t codePage, size_t minUnits) {
    if (codePage == kBytes) {
        auto out = NewBuffer<char>(std::wcslen(wide) + 1, minUnits);
        char* n = out.get();
        while (*wide != L'\0') {
            *n++ = static_cast<char>(static_cast<uint16_t>(*wide++) & 0xFF);
        }
        *n = '\0';
        return out;
    }
    if (codePage == kUtf8) {
        auto out = NewBuffer<char>(Utf8Bytes(wide) + 1, minUnits);
        EncodeUtf8(wide, out.get());
        return out;
    }
    // The size first: a multibyte page can need more than two bytes a unit.
    int needed = ::WideCharToMultiByte(codePage, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return nullptr;
    }
    auto out = NewBuffer<char>(static_cast<size_t>(needed), minUnits);
    int written = ::WideCharToMultiByte(codePage, 0, wide, -1, out.get(), needed, nullptr, nullptr);
    if (written <= 0) {
        return nullptr;
    }
    out[static_cast<size_t>(written) - 1] = '\0';
    return out;
}

std::unique_ptr<wchar_t[]> NewWide(const char* narrow, uint32_t codePage, size_t minUnits) {
    if (codePage == kBytes) {
        auto out = NewBuffer<wchar_t>(std::strlen(narrow) + 1, minUnits);
        const auto* n = reinterpret_cast<const unsigned char*>(narrow);
        wchar_t* w = out.get();
        while (*n != 0) {
            *w++ = static_cast<wchar_t>(*n++);
        }
        *w = L'\0';
        return out;
    }
    if (codePage == kUtf8) {
        auto out = NewBuffer<wchar_t>(DecodeUtf8(narrow, nullptr) + 1, minUnits);
        DecodeUtf8(narrow, out.get());
        return out;
    }
    int needed = ::MultiByteToWideChar(codePage, 0, narrow, -1, nullptr, 0);
    if (needed <= 0) {
        return nullptr;
    }
    auto out = NewBuffer<wchar_t>(static_cast<size_t>(needed), minUnits);
    int written = ::MultiByteToWideChar(codePage, 0, narrow, -1, out.get(), needed);
    if (written <= 0) {
        return nullptr;
    }
    out[static_cast<size_t>(written) - 1] = L'\0';
    return out;
}

}  // namespace OCodePage
