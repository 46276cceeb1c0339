#pragma once

#include <cstdint>
#include <string_view>

#include "core/text_scan.h"

// The layout language that the EPC encoder writes and the decoder reads, in
// one place so that both read every entry the same way: the modes and their
// units, the partition table, how an entry splits into form, width and type,
// and which type does what. Pure.

enum EpcMode : int { kEpcText = 0, kEpcHex = 1, kEpcDecimal = 2, kEpcBinary = 3 };

inline int NormalizeEpcMode(int mode) {
    return (mode >= kEpcText && mode <= kEpcBinary) ? mode : kEpcHex;
}

// Company-prefix bits of partitions 0..6; a decimal company prefix of
// partition p has 12 - p digits.
constexpr int kEpcPartitionCount = 7;
constexpr int kEpcCompanyPrefixBits[kEpcPartitionCount] = {40, 37, 34, 30, 27, 24, 20};

// The code a unit gives in each encoding, -1 for a unit the encoding skips.
namespace EpcUnits {
constexpr int Hex(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    return -1;
}
inline int Decimal(wchar_t c) {
    return (c >= L'0' && c <= L'9') ? c - L'0' : -1;
}
inline int Byte(wchar_t c) {
    return static_cast<int>(c) & 0xFF;
}
inline int Binary(wchar_t c) {
    return c == L'0' ? 0 : (c == L'1' ? 1 : -1);
}
inline int SixBit(wchar_t c) {
    return static_cast<int>(c) & 0x3F;
}
inline int SevenBit(wchar_t c) {
    return static_cast<int>(c) & 0x7F;
}
}  // namespace EpcUnits

// What an entry's type makes of its field. The colon form knows P1, P2 and
// P2VAR6; the hash form H, A, D, B (a mode of their own) and the E...
// encodings, searched for in the order UID64, ASC7, SN_GDTI113, SN_SGCN96,
// CAGE6, VAR6 (the first found anywhere in the type wins: "EVAR6UID64" is
// UID64). Anything else is a literal: the type's hexadecimal digits.
enum class EpcKind {
    Plain,
    Literal,
    CompanyPrefix,  // P1
    AfterPrefix,    // P2
    PrefixVar6,     // P2VAR6
    Mode,           // H, A, D, B: kind.mode
    Uid64,
    Asc7,
    Serial,  // SN_GDTI113, SN_SGCN96
    Cage6,
    Var6,
};

struct EpcEntry {
    EpcKind kind = EpcKind::Plain;
    int mode = kEpcHex;  // for EpcKind::Mode
    bool hash = false;   // the hash form (takes the pending prefix width off)
    int64_t width = 0;   // the number before the separator; below 0 as 0
    std::wstring_view type;
};

// Reads one entry: "width:type" when ':' stands at index 1 or more, else
// "width#type" when '#' does, else "width".
EpcEntry ReadEpcEntry(std::wstring_view entry);

// The text cut at every ';', empty pieces included; an empty text has none.
class EpcPieces {
public:
    explicit EpcPieces(std::wstring_view text) : m_rest(text), m_more(!text.empty()) {}

    bool Next(std::wstring_view& piece) {
        if (!m_more) {
            return false;
        }
        size_t end = m_rest.find(L';');
        piece = m_rest.substr(0, end);
        if (end == std::wstring_view::npos) {
            m_more = false;
        } else {
            m_rest.remove_prefix(end + 1);
        }
        return true;
    }

private:
    std::wstring_view m_rest;
    bool m_more;
};
