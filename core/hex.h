#pragma once

#include <cstdint>

// Hexadecimal digits, read and written in one place for narrow and wide text.
namespace OHex {

// Upper-case digits, the form every text the library writes uses.
inline constexpr char kDigits[] = "0123456789ABCDEF";

// The upper-case digit of the low four bits of nibble, in the caller's
// character type.
template <typename Char = char>
constexpr Char Digit(unsigned nibble) {
    return static_cast<Char>(kDigits[nibble & 0xF]);
}

// The value of a hexadecimal digit of either case, -1 for any other
// character.
template <typename Char>
constexpr int Value(Char c) {
    if (c >= Char('0') && c <= Char('9')) {
        return static_cast<int>(c - Char('0'));
    }
    if (c >= Char('A') && c <= Char('F')) {
        return static_cast<int>(c - Char('A')) + 10;
    }
    if (c >= Char('a') && c <= Char('f')) {
        return static_cast<int>(c - Char('a')) + 10;
    }
    return -1;
}

// The reading that stored texts of peers and earlier versions were written
// against: '0'..'9' by value, any character above '9' by its low four bits
// plus 9 (both letter cases come out right; other characters give some digit
// rather than an error, which those formats rely on). A character below '0'
// reads as its distance below it, a negative value.
template <typename Char>
constexpr int LenientValue(Char c) {
    const int value = static_cast<int>(c) - '0';
    return value > 9 ? static_cast<int>(c & 0xF) + 9 : value;
}

// The lenient reading of the printer's exchange texts: as LenientValue, but a
// character below '0' also reads as its low four bits plus 9, so every
// character gives a value from 0 to 24.
template <typename Char>
constexpr int LenientPositiveValue(Char c) {
    const auto value = static_cast<unsigned>(static_cast<int>(c) - '0');
    return value <= 9 ? static_cast<int>(value) : static_cast<int>(c & 0xF) + 9;
}

// Writes the two upper-case digits of byte to out[0] and out[1].
template <typename Char>
constexpr void PutByte(Char* out, uint8_t byte) {
    out[0] = Digit<Char>(byte >> 4);
    out[1] = Digit<Char>(byte);
}

}  // namespace OHex
