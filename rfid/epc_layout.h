#pragma once

#include <cstdint>
#include <string_view>

#include "core/hex.h"
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
    return OHex::Value(c);
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

// Where the field before the current one lies, for the partition a P1 writes
// into it.
struct EpcPreviousField {
    bool present = false;
    int64_t offset = 0;
    int64_t width = 0;
};

// The walk over a layout's fields that the encoder and the reader share: the
// form and kind of each entry, the company-prefix width a P1 leaves pending
// for the next field, and where the previous field lies. Fields (the derived
// class, called statically so that the walk costs no indirect call) supplies:
//   bool Begin(const EpcEntry&)            before anything else of the field
//   int64_t Position() const               bits written or read so far
//   bool Reserve(int64_t width)            room for a fixed-width field
//   bool Plain(int64_t width)              a plain field in the call's mode
//   bool Typed(const EpcEntry&, int64_t)   P2 and the hash kinds that take a value
//   bool Literal(const EpcEntry&, int64_t) a colon or hash literal
//   bool CompanyPrefix(const EpcPreviousField&, int64_t& width)
//   bool Variable(int64_t& width)          VAR6, P2VAR6: as wide as the value
// Each returns false to stop the walk (the tag too wide, or bits that break
// the layout).
template <typename Fields>
class EpcLayoutWalk {
public:
    bool Field(std::wstring_view text) {
        Fields& fields = static_cast<Fields&>(*this);
        const EpcEntry entry = ReadEpcEntry(text);
        if (!fields.Begin(entry)) {
            return false;
        }
        const int64_t offset = fields.Position();
        int64_t width = 0;
        bool ok = true;
        switch (entry.kind) {
            case EpcKind::Plain:
                width = ApplyPending(entry.width);
                ok = fields.Reserve(width) && fields.Plain(width);
                break;
            case EpcKind::CompanyPrefix:  // only ever the colon form
                ok = fields.CompanyPrefix(m_previous, width);
                m_pendingPrefixBits = width;
                break;
            default:
                ok =
                    entry.hash ? HashField(fields, entry, width) : ColonField(fields, entry, width);
                break;
        }
        m_previous = {true, offset, width};
        return ok;
    }

private:
    int64_t ApplyPending(int64_t width) {
        const int64_t reduced = width - m_pendingPrefixBits;
        m_pendingPrefixBits = 0;
        return reduced < 0 ? 0 : reduced;
    }

    bool ColonField(Fields& fields, const EpcEntry& entry, int64_t& width) {
        if (entry.kind == EpcKind::PrefixVar6) {
            m_pendingPrefixBits = 0;
            return fields.Variable(width);
        }
        if (entry.kind == EpcKind::AfterPrefix) {
            width = ApplyPending(entry.width);
            return fields.Reserve(width) && fields.Typed(entry, width);
        }
        // A colon literal leaves a pending prefix width for the next field.
        width = entry.width;
        return fields.Reserve(width) && fields.Literal(entry, width);
    }

    bool HashField(Fields& fields, const EpcEntry& entry, int64_t& width) {
        width = ApplyPending(entry.width);
        if (entry.kind == EpcKind::Var6) {
            return fields.Variable(width);
        }
        if (!fields.Reserve(width)) {
            return false;
        }
        return entry.kind == EpcKind::Literal ? fields.Literal(entry, width)
                                              : fields.Typed(entry, width);
    }

    int64_t m_pendingPrefixBits = 0;
    EpcPreviousField m_previous;
};
