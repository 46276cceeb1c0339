#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Decimal numbers of any length as binary, for the decimal fields of the EPC
// encoder. Only the digits '0'..'9' of a text count; every other unit is
// skipped. Numbers are little-endian arrays of 64-bit words. Pure.

// The number of the digits of text, after a digit 1 in front when leadingOne,
// modulo 2^64.
inline uint64_t DecimalLow64(std::wstring_view text, bool leadingOne) {
    uint64_t value = leadingOne ? 1 : 0;
    for (wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            value = value * 10 + static_cast<uint64_t>(c - L'0');
        }
    }
    return value;
}

// Whether the number DecimalLow64 reads is below 2^bits (bits >= 0). Time
// linear in the digits when they are many more than bits / 3.3, quadratic only
// in the few digits near that border.
bool DecimalBelowPowerOfTwo(std::wstring_view text, bool leadingOne, int64_t bits);

// As DecimalLow64, modulo 2^(64 * words.size()), into words (not empty). Time
// linear in the digits times the words.
void DecimalModulo(std::wstring_view text, bool leadingOne, std::span<uint64_t> words);

// The exact number of the digits of text, without zero words at the top: no
// words for zero.
std::vector<uint64_t> DecimalValue(std::wstring_view text);

// The decimal digits of a number of little-endian words (zero words at the
// top allowed), without leading zeros: "0" for zero. Time quadratic in the
// words.
std::wstring DecimalText(std::vector<uint64_t> words);
