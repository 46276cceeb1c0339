#pragma once

#include <cstdint>

#include "core/ostring.h"

// The EPC layout interpreter: builds a tag's bit string from a list of field
// values and a caller's layout, with the partition rule and field encodings of
// the GS1 EPC Tag Data Standard. The library holds no table of schemes; the
// header, filter, partition and every width come from the layout.
//
// Values and layout are both cut at every ";", empty pieces included. A layout
// entry is "width" (a plain field in the call's mode), "width:type" (partition
// types P1, P2, P2VAR6, else a literal) or "width#type" (H, A, D, B, the E...
// encodings UID64, ASC7, SN_GDTI113, SN_SGCN96, CAGE6, VAR6, else a literal).
// An SGTIN-96 reads "8#30;3;3#X;20:P1;44:P2;38" with the values
// "filter;company prefix;item reference;serial" in mode 2.

// A tag wider than this gives no result instead of being built.
constexpr int32_t kEpcMaxTagBits = 65536;

// Company-prefix bits of partitions 0..6.
constexpr int kEpcPartitionCount = 7;
constexpr int kEpcCompanyPrefixBits[kEpcPartitionCount] = {40, 37, 34, 30, 27, 24, 20};

// The partition of a company prefix of that many decimal digits: 12 - digits,
// with fewer than 6 digits counted as 6 and more than 12 as 12.
int EpcPartitionForDigits(int64_t digits);

// The partition of a company prefix whose value needs that many bits (leading
// zero bits not counted): the largest partition whose company prefix holds
// them; 0 beyond 40 bits, 6 for the value zero.
int EpcPartitionForBits(int64_t bits);

// Straightforward interpreter on OString, OStringArray and a bit per array
// element, as the rules read; the reference the fast encoder is checked
// against. Returns the tag as upper-case hexadecimal, two digits per byte, or
// empty text when the layout has no bits or more than kEpcMaxTagBits.
// mode: 0 text, 1 hexadecimal, 2 decimal, 3 binary, any other as 1.
//
// Beyond the plain reading of the rules:
// - a width below 0 (written so, or after the pending company-prefix width is
//   taken off) counts as 0;
// - a P1 entry in first position writes its partition nowhere;
// - P1, VAR6 and P2VAR6 fields without a value encode the empty value (P1 gets
//   partition 6, a 20-bit zero prefix; the 6-bit fields their terminator only);
// - in mode 2 a P1 value's partition counts its decimal digits, characters the
//   filter drops not included.
OString EncodeEpcLayout(const OString& values, const OString& layout, int mode);
