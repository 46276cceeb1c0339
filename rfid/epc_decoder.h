#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The EPC encoder read backwards: a tag's hexadecimal text and the layout it
// was written with give back the values, in the order the encoder takes them.
// Pure: no OS calls, no state between calls.
//
// The tag: hexadecimal digits in either case, an optional "0x" in front, white
// space anywhere; at most 65536 bits. Bits after the layout's last field must
// be zero (the encoder's padding to a byte, or the rest of a longer memory).
//
// Each field that consumes a value gives one, as units (0..255) ready to be
// joined with ";":
// - plain fields, P1 and P2 in the call's mode (0 text, 1 hexadecimal,
//   2 decimal, 3 binary, any other as 1), H, A, D and B fields in theirs.
//   Numbers come without leading zeros ("0" for a field of zeros), text
//   without the zero bytes the encoder puts in front. A decimal P1 keeps the
//   12 - partition digits the partition says, leading zeros included; P2 is a
//   plain number, since the tag holds no digit count for it.
// - character fields as characters: a 6-bit code c gives c + 64 below 32 and
//   c itself from 32 (the 6-bit table of the tag data standard), a 7-bit code
//   the ASCII character. A CAGE6 field gives 5 characters when the encoder
//   put a space in front.
// - a serial with a leading digit 1 gives the digits after that 1.
// Literal fields consume nothing and must hold their literal, except one that
// a P1 after it overwrote with its partition. A company prefix must give the
// partition before it as the encoder takes it (in mode 2 at most 12 - p
// digits, in the others the smallest partition its bits fit).
//
// The values always encode to the same tag (up to zero bits after it), with
// one exception the value list cannot help: a single empty value is the
// empty text, which the encoder reads as no value at all.
//
// What reading cannot give back: the leading zeros of a plain or P2 number,
// and whatever the encoder cut (a value wider than its field keeps its low
// bits), dropped (characters a mode does not take) or overwrote (the field
// before a P1 holds the partition, not its value).

enum class EpcDecodeError {
    kNone,
    kInvalidData,    // the bits do not fit the layout
    kInvalidLayout,  // a layout the encoder rejects too, or one that cannot be read back
};

struct EpcDecodeResult {
    EpcDecodeError error = EpcDecodeError::kNone;
    int64_t field = 0;        // 1-based layout field of the error; 0 for the tag as a whole
    const char* reason = "";  // for the log: "a literal does not match", ...
};

// Appends the values, joined by ";", to values (cleared first); on an error
// values holds what was read before it.
EpcDecodeResult DecodeEpc(std::wstring_view hex, std::wstring_view layout, int mode,
                          std::wstring& values);
