#pragma once

#include <cstdint>

#include "core/arrays.h"
#include "core/ostring.h"

// Value converters and character encoders of the EPC fields. Pure functions of
// their arguments: no state, no OS calls beyond those OString makes to convert
// between its narrow and wide forms. Characters of a text are always taken from
// its narrow form, that is its bytes in the system ANSI code page.
//
// Hexadecimal text written here uses the upper-case digits "0123456789ABCDEF",
// most significant first. A bit string is an EpcBits, element 0 the most
// significant bit.

using EpcBits = OTypedArray<bool>;

// How a value is written.
enum EpcMode : int {
    kEpcModeText = 0,     // its bytes are the data
    kEpcModeHex = 1,      // hexadecimal digits
    kEpcModeDecimal = 2,  // an unsigned decimal number of any length
    kEpcModeBinary = 3,   // '0' and '1'
};

// The mode a caller's number stands for: 0..3 as they are, every other value
// behaves as hexadecimal, the character filter included.
int NormalizeEpcMode(int mode);

// Whether c may stand in a value of that mode: hexadecimal digits (either case)
// in mode 1 and every mode outside 0..3, '0'..'9' in mode 2, '0' and '1' in
// mode 3, anything in mode 0.
bool IsValidModeChar(int mode, char c);

// The value without the characters its mode does not accept, in their order;
// mode 0 returns the value itself. dropped, when given, tells whether any
// character went.
OString FilterValueChars(int mode, const OString& value, bool* dropped = nullptr);

// The value as hexadecimal text, after FilterValueChars:
// mode 0: two digits per byte ("AB" gives 4142);
// mode 2: DecimalToHex;
// mode 3: BinaryToHex;
// mode 1 and any other: the filtered digits upper-cased, a "0" in front when
// their number is odd ("abc" gives 0ABC).
// Empty text when nothing is left (for example the decimal 0).
OString ConvertValueToHex(int mode, const OString& value);

// Exact hexadecimal of an unsigned decimal number of any length, with no leading
// zero digit; empty for the empty text, for zero (also written "000"), and for
// text holding anything but '0'..'9'. Works on the decimal digits by repeated
// halving, so its cost grows with the square of the number of digits.
OString DecimalToHex(const OString& decimal);

// Divides the decimal text by two in place when its last digit is even (an odd
// last digit leaves it alone); leading zeros of the result go, except that a
// text of zeros stays as it is. "1000" gives "500", "10" gives "5".
void HalveDecimal(OString& decimal);

// Binary digits to hexadecimal: '0' characters in front up to a multiple of
// eight, then one digit per four characters, '1' a 1 bit and anything else a 0
// bit. "101" gives "05"; the empty text gives empty text.
OString BinaryToHex(const OString& binary);

// Appends four bits per hexadecimal digit (either case) of hex to bits, most
// significant first; other characters are skipped.
void HexToBits(const OString& hex, EpcBits& bits);

// One digit per four bits, after zero bits put in front up to a multiple of
// four; empty text for no bits.
OString BitsToHex(const EpcBits& bits);

// Appends the six low-order bits of every byte of text (the 6-bit character
// code of the tag data standard for its characters: A-Z give 1..26, digits
// 48..57, space 32), bit 5 first. No folding, no check.
void Encode6Bit(const OString& text, EpcBits& bits);

// Encode6Bit, then six zero bits that end a variable-length field.
void Encode6BitTerminated(const OString& text, EpcBits& bits);

// Seven low-order bits per byte, bit 6 first, zero bits appended up to width
// (text shorter than the field is aligned left), zero bits in front up to a
// multiple of four; as hexadecimal text. A text longer than the field keeps all
// its bits here: the field fitting cuts the front.
OString Encode7Bit(const OString& text, int32_t width);

// Six low-order bits per byte without terminator, zero bits in front up to a
// multiple of four; as hexadecimal text.
OString EncodeUid64(const OString& text);

// A CAGE code (5 characters, which get the 6-bit code of a space, 100000, in
// front) or a DoDAAC (6 characters) as 6-bit characters; as hexadecimal text.
// Other lengths are encoded as they are.
OString EncodeCage6(const OString& text);

// Makes bits exactly width long: surplus bits go from the front (the low-order
// bits remain), missing ones are zero bits put in front. A width below 0 counts
// as 0.
void FitBitsToWidth(EpcBits& bits, int32_t width);

// Appends zero bits up to a multiple of eight.
void PadBitsToByte(EpcBits& bits);

// Removes leading zero bits; a string of zero bits becomes empty.
void StripLeadingZeroBits(EpcBits& bits);
