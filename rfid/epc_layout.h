#pragma once

#include <cstdint>

#include "core/ostring.h"
#include "rfid/epc_encoders.h"

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

// What a "width#type" entry does with its field: take its value in a mode of
// its own (H, A, D, B), encode it (the E... types), or stand as a literal.
enum class EpcHashKind { Literal, Mode, Uid64, Asc7, Serial, Cage6, Var6 };

struct EpcHashType {
    const char* name;
    EpcHashKind kind;
    int mode;  // the value's mode, for EpcHashKind::Mode
};

// The whole types, compared with the entire type text.
inline constexpr EpcHashType kEpcModeHashTypes[] = {{"H", EpcHashKind::Mode, kEpcModeHex},
                                                    {"A", EpcHashKind::Mode, kEpcModeText},
                                                    {"D", EpcHashKind::Mode, kEpcModeDecimal},
                                                    {"B", EpcHashKind::Mode, kEpcModeBinary}};

// The encodings a type beginning with E is searched for, in this order; the
// first one found anywhere in it wins ("EVAR6UID64" is UID64).
inline constexpr EpcHashType kEpcEncodingHashTypes[] = {
    {"UID64", EpcHashKind::Uid64, 0},       {"ASC7", EpcHashKind::Asc7, 0},
    {"SN_GDTI113", EpcHashKind::Serial, 0}, {"SN_SGCN96", EpcHashKind::Serial, 0},
    {"CAGE6", EpcHashKind::Cage6, 0},       {"VAR6", EpcHashKind::Var6, 0}};

// Classifies a hash type for both encoders, each with its own text: equals(name)
// and contains(name) compare the type text with a name, startsWithE tells
// whether its first character is 'E'.
template <typename Equals, typename Contains>
EpcHashType ClassifyEpcHashType(bool startsWithE, Equals equals, Contains contains) {
    for (const EpcHashType& type : kEpcModeHashTypes) {
        if (equals(type.name)) {
            return type;
        }
    }
    if (startsWithE) {
        for (const EpcHashType& type : kEpcEncodingHashTypes) {
            if (contains(type.name)) {
                return type;
            }
        }
    }
    return {"", EpcHashKind::Literal, 0};
}

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
