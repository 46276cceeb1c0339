#include <cstddef>

// glibc's wide routines work on 32-bit units; with 16-bit wchar_t std::wstring
// and the pure code need these instead. No header declares them here, and the
// file is built without builtins, so the loops stay loops.
using Unit = char16_t;

extern "C" {

size_t wcslen(const Unit* s) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

const Unit* wmemchr(const Unit* s, Unit c, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == c) {
            return s + i;
        }
    }
    return nullptr;
}

const Unit* wcschr(const Unit* s, Unit c) {
    return wmemchr(s, c, wcslen(s) + 1);
}

int wmemcmp(const Unit* a, const Unit* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

Unit* wmemmove(Unit* to, const Unit* from, size_t n) {
    for (size_t i = 0; to < from && i < n; ++i) {
        to[i] = from[i];
    }
    for (size_t i = n; to > from && i > 0; --i) {
        to[i - 1] = from[i - 1];
    }
    return to;
}

Unit* wmemcpy(Unit* to, const Unit* from, size_t n) {
    return wmemmove(to, from, n);
}

Unit* wmemset(Unit* to, Unit c, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        to[i] = c;
    }
    return to;
}

}  // extern "C"
