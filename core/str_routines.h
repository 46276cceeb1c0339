#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "core/text_scan.h"

// Routines on NUL-terminated arrays of either character type, shared by
// OString and its static Str* routines. Null arrays are the caller's concern.
namespace OStr {

template <typename C>
int32_t Length(const C* s) {
    if (s == nullptr) {
        return 0;
    }
    const C* e = s;
    while (*e != 0) {
        ++e;
    }
    return static_cast<int32_t>(e - s);
}

// At most max characters, stopping early at a NUL.
template <typename C>
int32_t BoundedLength(const C* s, int32_t max) {
    if (s == nullptr || max <= 0) {
        return 0;
    }
    int32_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

// Narrow text compares as signed bytes, wide text as unsigned units.
inline int CompareUnit(char a, char b) {
    auto sa = static_cast<signed char>(a);
    auto sb = static_cast<signed char>(b);
    return sa < sb ? -1 : (sa > sb ? 1 : 0);
}
inline int CompareUnit(wchar_t a, wchar_t b) {
    auto ua = static_cast<uint16_t>(a);
    auto ub = static_cast<uint16_t>(b);
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

// -1, 0 or 1 over at most limit characters; noCase folds only 'a'..'z'.
template <typename C>
int Compare(const C* a, const C* b, bool noCase, int32_t limit = INT32_MAX) {
    for (int32_t i = 0; i < limit; ++i) {
        C ca = noCase ? OText::FoldAscii(a[i]) : a[i];
        C cb = noCase ? OText::FoldAscii(b[i]) : b[i];
        int r = CompareUnit(ca, cb);
        if (r != 0 || ca == 0) {
            return r;
        }
    }
    return 0;
}

// Index of the first sub in text from start, or -1.
template <typename C>
int32_t Find(const C* text, int32_t length, const C* sub, int32_t subLength, int32_t start) {
    for (int32_t i = start; i + subLength <= length; ++i) {
        if (std::char_traits<C>::compare(text + i, sub, static_cast<size_t>(subLength)) == 0) {
            return i;
        }
    }
    return -1;
}

template <typename C>
bool InSet(const C* set, C c) {
    for (; *set != 0; ++set) {
        if (*set == c) {
            return true;
        }
    }
    return false;
}

// The first (or last) character of s found in set; null when none is.
template <typename C>
const C* FindAny(const C* s, const C* set, bool last) {
    const C* found = nullptr;
    for (; *s != 0; ++s) {
        if (InSet(set, *s)) {
            found = s;
            if (!last) {
                break;
            }
        }
    }
    return found;
}

// The index of p in text, or -1 for null.
template <typename C>
int32_t IndexOf(const C* p, const C* text) {
    return p == nullptr ? -1 : static_cast<int32_t>(p - text);
}

}  // namespace OStr
