#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Character-level routines shared by the text type, registry paths and the
// RFID layouts. Pure: no code pages, no system calls; C is char or wchar_t.
namespace OText {

// 'a'..'z' to upper case; every other unit unchanged (no locale).
template <typename C>
constexpr C FoldAscii(C c) {
    return (c >= 'a' && c <= 'z') ? static_cast<C>(c - ('a' - 'A')) : c;
}

// The leading integer of text[0, length): white space, one sign, then decimal
// digits up to the first other unit. Saturates at the 32-bit range instead of
// wrapping, so a reader gets the nearest value it can hold, never one of the
// opposite sign. No digits gives 0.
template <typename C>
int32_t ParseInt(const C* text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            value = limit;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

// Replaces every occurrence of from, left to right and non-overlapping, in one
// pass: inserted text is never rescanned, so the work is linear in the text.
// Returns the number of replacements; an empty from replaces nothing.
template <typename C>
int32_t ReplaceAll(std::basic_string<C>& text, const std::basic_string<C>& from,
                   const std::basic_string<C>& to) {
    if (from.empty()) {
        return 0;
    }
    int32_t replaced = 0;
    std::basic_string<C> result;
    size_t start = 0;
    for (size_t hit = text.find(from); hit != std::basic_string<C>::npos;
         hit = text.find(from, start)) {
        result.append(text, start, hit - start);
        result.append(to);
        start = hit + from.size();
        ++replaced;
    }
    if (replaced > 0) {
        result.append(text, start, std::basic_string<C>::npos);
        text.swap(result);
    }
    return replaced;
}

}  // namespace OText
