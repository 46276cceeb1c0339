#include "core/str_routines.h"

#include "core/ostring.h"

namespace {

template <typename C>
const C* CharIn(const C* s, C c) {
    if (s == nullptr) {
        return nullptr;
    }
    for (;; ++s) {
        if (*s == c) {
            return s;
        }
        if (*s == 0) {
            return nullptr;
        }
    }
}

template <typename C>
const C* FindSub(const C* s, const C* sub) {
    if (s == nullptr || sub == nullptr) {
        return nullptr;
    }
    int32_t at = OStr::Find(s, OStr::Length(s), sub, OStr::Length(sub), 0);
    return at < 0 ? nullptr : s + at;
}

template <typename C>
const C* FindAnyOf(const C* s, const C* set, bool last) {
    return s == nullptr || set == nullptr ? nullptr : OStr::FindAny(s, set, last);
}

template <typename C>
int CompareOrMinusOne(const C* a, const C* b, bool noCase, int32_t limit = INT32_MAX) {
    return (a == nullptr || b == nullptr) ? -1 : OStr::Compare(a, b, noCase, limit);
}

}  // namespace

int32_t OString::StrLen(const char* s) {
    return OStr::Length(s);
}
int32_t OString::StrLen(const wchar_t* s) {
    return OStr::Length(s);
}
const char* OString::StrChr(const char* s, char c) {
    return CharIn(s, c);
}
const wchar_t* OString::StrChr(const wchar_t* s, wchar_t c) {
    return CharIn(s, c);
}
const char* OString::StrStr(const char* s, const char* sub) {
    return FindSub(s, sub);
}
const wchar_t* OString::StrStr(const wchar_t* s, const wchar_t* sub) {
    return FindSub(s, sub);
}
const char* OString::StrPBrk(const char* s, const char* set) {
    return FindAnyOf(s, set, false);
}
const wchar_t* OString::StrPBrk(const wchar_t* s, const wchar_t* set) {
    return FindAnyOf(s, set, false);
}
const char* OString::StrRPBrk(const char* s, const char* set) {
    return FindAnyOf(s, set, true);
}
const wchar_t* OString::StrRPBrk(const wchar_t* s, const wchar_t* set) {
    return FindAnyOf(s, set, true);
}
int OString::StrCmp(const char* a, const char* b) {
    return CompareOrMinusOne(a, b, false);
}
int OString::StrCmp(const wchar_t* a, const wchar_t* b) {
    return CompareOrMinusOne(a, b, false);
}
int OString::StrNCmp(const char* a, const char* b, int32_t count) {
    return CompareOrMinusOne(a, b, false, count);
}
int OString::StrNCmp(const wchar_t* a, const wchar_t* b, int32_t count) {
    return CompareOrMinusOne(a, b, false, count);
}
int OString::StrCmpNoCase(const char* a, const char* b) {
    return CompareOrMinusOne(a, b, true);
}
int OString::StrCmpNoCase(const wchar_t* a, const wchar_t* b) {
    return CompareOrMinusOne(a, b, true);
}
const char* OString::StrRChrBackslash(const char* s) {
    return FindAnyOf(s, "\\", true);
}
const wchar_t* OString::StrRChrBackslash(const wchar_t* s) {
    return FindAnyOf(s, L"\\", true);
}
char OString::ToUpperAscii(char c) {
    return OText::FoldAscii(c);
}
wchar_t OString::ToUpperAscii(wchar_t c) {
    return OText::FoldAscii(c);
}
