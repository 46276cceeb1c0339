#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ostring.h"

// Stateless encoders for XPML request texts and the DAL query envelope. Pure:
// no system calls beyond what OString needs for its code pages.

// The text with '"', '\'', '&', '<' and '>' replaced by their XML entities
// (&quot; &apos; &amp; &lt; &gt;), for use inside an attribute value of either
// quoting: the requests this library builds quote theirs with apostrophes, so
// an apostrophe left alone would end the value and let the text add
// attributes. Works byte by byte on the narrow form, so the result keeps the
// input's code page.
OString XmlEscape(const OString& text);

// The "lz77" container: "ZLIB", the uncompressed length and the compressed
// length (both 32-bit little-endian), then a zlib stream made at level 6 with a
// 32 KB window, memory level 8 and the default strategy. The receiving DAL
// module inflates it, so these settings and the layout are fixed.
constexpr size_t kLz77HeaderBytes = 12;

// Fills out with the container for the bytes of in. False on any compression
// failure (out is then empty), including an input too long for the 32-bit
// length field.
bool CompressLz77(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);
// As CompressLz77, replacing buffer's bytes by the container; on failure the
// buffer keeps its bytes.
bool CompressLz77InPlace(std::vector<uint8_t>& buffer);
// Writes the container into out, which holds capacity bytes; the stream may use
// capacity - 12 of them. On success capacity becomes the container's size. A
// stream that does not fit fails (out's contents are then unspecified).
bool CompressLz77Into(const uint8_t* in, size_t inLength, uint8_t* out, size_t& capacity);

// Characters in the base64 text of n bytes: 4 * floor((n + 2) / 3).
constexpr size_t Base64Length(size_t n) {
    return 4 * ((n + 2) / 3);
}
// Writes the standard-alphabet base64 text of in (padded with '=', no line
// breaks, no terminator) to out, which must hold Base64Length(inLength) bytes;
// outLength receives the number of characters written.
void Base64Encode(const uint8_t* in, size_t inLength, char* out, size_t& outLength);
// Replaces buffer's bytes by their base64 text; returns true.
bool Base64EncodeInPlace(std::vector<uint8_t>& buffer);
// Fills out, sized exactly, with the base64 text of in; returns true.
bool Base64EncodeInto(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);

// The byte of the first two hexadecimal digits of text; 0 when text is null or
// ends before two characters. Either case of 'A'..'F' is accepted; other
// characters are not rejected but give whatever (c & 15) + 9 gives, which the
// XPML answers this reads never contain.
uint8_t HexPairToByte(const char* text);
// The 32-bit value of the first eight hexadecimal digits, first pair most
// significant. The value is read pair by pair and stops at the terminator: a
// pair cut short and every pair after it count as 0 (so "1F" is 0x1F000000).
uint32_t Hex8ToUInt32(const char* text);
