#include <cstddef>
#include <cstring>

// glibc's wide routines work on 32-bit units; with 16-bit wchar_t, std::wstring
// and the pure code need these. No header here declares them, and the file is
// built without builtins, so the loops stay loops.
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
    for (; n > 0; ++s, --n) {
        if (*s == c) {
            return s;
        }
    }
    return nullptr;
}

const Unit* wcschr(const Unit* s, Unit c) {
    return wmemchr(s, c, wcslen(s) + 1);
}

int wmemcmp(const Unit* a, const Unit* b, size_t n) {
    for (; n > 0; ++a, ++b, --n) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
    }
    return 0;
}

Unit* wmemmove(Unit* to, const Unit* from, size_t n) {
    return static_cast<Unit*>(std::memmove(to, from, n * sizeof(Unit)));
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
