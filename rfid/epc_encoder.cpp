#include "rfid/epc_encoder.h"

#include <vector>

#include "core/text_scan.h"
#include "rfid/big_decimal.h"
#include "rfid/bit_writer.h"

static_assert(kEpcMaxTagBits <= BitWriter::kCapacity);

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

enum EpcMode : int { kModeText = 0, kModeHex = 1, kModeDecimal = 2, kModeBinary = 3 };

int NormalizeMode(int mode) {
    return (mode >= kModeText && mode <= kModeBinary) ? mode : kModeHex;
}

// Company-prefix bits of partitions 0..6.
constexpr int kPartitionCount = 7;
constexpr int kCompanyPrefixBits[kPartitionCount] = {40, 37, 34, 30, 27, 24, 20};

// The code a unit gives in each encoding, -1 for a unit the encoding skips.
int HexUnit(wchar_t c) {
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
int DecimalUnit(wchar_t c) {
    return (c >= L'0' && c <= L'9') ? c - L'0' : -1;
}
int ByteUnit(wchar_t c) {
    return static_cast<int>(c) & 0xFF;
}
int BinaryUnit(wchar_t c) {
    return c == L'0' ? 0 : (c == L'1' ? 1 : -1);
}
int SixBitUnit(wchar_t c) {
    return static_cast<int>(c) & 0x3F;
}
int SevenBitUnit(wchar_t c) {
    return static_cast<int>(c) & 0x7F;
}

int64_t NonNegative(int64_t width) {
    return width < 0 ? 0 : width;
}

// What a "width#type" entry does with its field: take its value in a mode of
// its own (H, A, D, B), encode it (the E... types), or stand as a literal.
enum class HashKind { Literal, Mode, Uid64, Asc7, Serial, Cage6, Var6 };

struct HashType {
    std::wstring_view name;
    HashKind kind;
    int mode;  // the value's mode, for HashKind::Mode
};

// The whole types, compared with the entire type text.
constexpr HashType kModeHashTypes[] = {{L"H", HashKind::Mode, kModeHex},
                                       {L"A", HashKind::Mode, kModeText},
                                       {L"D", HashKind::Mode, kModeDecimal},
                                       {L"B", HashKind::Mode, kModeBinary}};

// The encodings a type beginning with E is searched for, in this order; the
// first one found anywhere in it wins ("EVAR6UID64" is UID64).
constexpr HashType kEncodingHashTypes[] = {
    {L"UID64", HashKind::Uid64, 0},       {L"ASC7", HashKind::Asc7, 0},
    {L"SN_GDTI113", HashKind::Serial, 0}, {L"SN_SGCN96", HashKind::Serial, 0},
    {L"CAGE6", HashKind::Cage6, 0},       {L"VAR6", HashKind::Var6, 0}};

HashType ClassifyHashType(std::wstring_view type) {
    for (const HashType& hash : kModeHashTypes) {
        if (type == hash.name) {
            return hash;
        }
    }
    if (!type.empty() && type[0] == L'E') {
        for (const HashType& hash : kEncodingHashTypes) {
            if (type.find(hash.name) != std::wstring_view::npos) {
                return hash;
            }
        }
    }
    return {L"", HashKind::Literal, 0};
}

// The text cut at every ';', empty pieces included; an empty text has none.
class Pieces {
public:
    explicit Pieces(std::wstring_view text) : m_rest(text), m_more(!text.empty()) {}

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

template <typename UnitCode>
int64_t CountUnits(std::wstring_view text, UnitCode code) {
    int64_t count = 0;
    for (wchar_t c : text) {
        count += code(c) >= 0 ? 1 : 0;
    }
    return count;
}

// A field of fixed-size units taken from the text (those the encoding skips
// left out), with an optional prefix and trailing zero bits, fitted to width.
template <typename UnitCode>
void PutUnits(BitWriter& out, int64_t width, std::wstring_view text, int unitBits, UnitCode code,
              int prefixBits = 0, uint64_t prefix = 0, int64_t trailingZeros = 0) {
    if (width == 0) {
        return;
    }
    int64_t total = prefixBits + CountUnits(text, code) * unitBits + trailingZeros;
    FieldWriter field(out, width, total);
    field.Put(prefix, prefixBits);
    for (wchar_t c : text) {
        int unit = code(c);
        if (unit >= 0) {
            field.Put(static_cast<uint64_t>(unit), unitBits);
        }
    }
    field.PutZeros(trailingZeros);
}

// A decimal field keeps the number's low-order width bits, which is the number
// modulo 2^width.
void PutDecimal(BitWriter& out, int64_t width, std::wstring_view text, bool leadingOne = false) {
    if (width == 0) {
        return;
    }
    if (width <= 64) {
        out.Append(DecimalLow64(text, leadingOne), static_cast<int>(width));
        return;
    }
    std::vector<uint64_t> words(static_cast<size_t>((width + 63) / 64));
    DecimalModulo(text, leadingOne, words);
    out.Append(words.back(), static_cast<int>(width - 64 * static_cast<int64_t>(words.size() - 1)));
    for (size_t i = words.size() - 1; i-- > 0;) {
        out.Append(words[i], 64);
    }
}

void PutValue(BitWriter& out, int mode, int64_t width, std::wstring_view value) {
    switch (mode) {
        case kModeText:
            PutUnits(out, width, value, 8, ByteUnit);
            break;
        case kModeDecimal:
            PutDecimal(out, width, value);
            break;
        case kModeBinary:
            PutUnits(out, width, value, 1, BinaryUnit);
            break;
        default:
            PutUnits(out, width, value, 4, HexUnit);
            break;
    }
}

// A type text standing as the field's output: its hexadecimal digits.
void PutLiteral(BitWriter& out, int64_t width, std::wstring_view type) {
    PutUnits(out, width, type, 4, HexUnit);
}

// The bits of the units' number without its leading zero bits.
template <typename UnitCode>
int64_t SignificantBits(std::wstring_view text, int unitBits, UnitCode code) {
    int64_t bits = 0;
    for (wchar_t c : text) {
        int unit = code(c);
        if (unit < 0) {
            continue;
        }
        if (bits > 0) {
            bits += unitBits;
        } else {
            while (unit != 0) {
                ++bits;
                unit >>= 1;
            }
        }
    }
    return bits;
}

// The partition of a company prefix: in mode 2, 12 - its digits, with fewer
// than 6 digits counted as 6 and more than 12 as 12; in the other modes the
// largest partition whose company prefix holds the value's bits, 0 beyond 40
// bits.
int PartitionOf(int mode, std::wstring_view value) {
    int64_t bits = 0;
    switch (mode) {
        case kModeDecimal: {
            int64_t digits = CountUnits(value, DecimalUnit);
            return static_cast<int>(12 - (digits < 6 ? 6 : (digits > 12 ? 12 : digits)));
        }
        case kModeText:
            bits = SignificantBits(value, 8, ByteUnit);
            break;
        case kModeBinary:
            bits = SignificantBits(value, 1, BinaryUnit);
            break;
        default:
            bits = SignificantBits(value, 4, HexUnit);
            break;
    }
    for (int p = kPartitionCount - 1; p > 0; --p) {
        if (kCompanyPrefixBits[p] >= bits) {
            return p;
        }
    }
    return 0;
}

// One call's working state: the values not yet taken, the tag, the company
// prefix width a P1 leaves for the next field, and where the previous field
// lies, for the partition a P1 writes into it.
class Encoder {
public:
    Encoder(std::wstring_view values, int mode) : m_values(values), m_mode(NormalizeMode(mode)) {}

    // False when the tag would grow beyond its limit.
    bool AddField(std::wstring_view entry) {
        int64_t offset = m_out.Size();
        int64_t width = 0;
        size_t colon = entry.find(L':');
        size_t hash = entry.find(L'#');
        bool ok;
        if (colon != std::wstring_view::npos && colon > 0) {
            ok = ColonField(entry.substr(colon + 1), Width(entry, colon), width);
        } else if (hash != std::wstring_view::npos && hash > 0) {
            ok = HashField(entry.substr(hash + 1), ApplyPending(Width(entry, hash)), width);
        } else {
            width = ApplyPending(Width(entry, entry.size()));
            ok = Admit(width);
            std::wstring_view value;
            if (ok && m_values.Next(value)) {
                PutValue(m_out, m_mode, width, value);
            } else if (ok) {
                m_out.AppendZeros(width);
            }
        }
        m_previousOffset = offset;
        m_previousWidth = width;
        m_hasPrevious = true;
        return ok;
    }

    void WriteHex(EpcHexSink& sink) const {
        if (m_out.Size() > 0) {
            m_out.WriteHex(sink.Reserve(m_out.HexDigits()));
        }
    }

private:
    static int64_t Width(std::wstring_view entry, size_t length) {
        return NonNegative(OText::ParseInt(entry.data(), length));
    }

    bool Admit(int64_t width) const { return m_out.Size() + width <= kEpcMaxTagBits; }

    int64_t ApplyPending(int64_t width) {
        int64_t reduced = width - m_pendingPrefixBits;
        m_pendingPrefixBits = 0;
        return NonNegative(reduced);
    }

    bool ColonField(std::wstring_view type, int64_t given, int64_t& width) {
        std::wstring_view value;
        if (type == L"P1") {
            m_values.Next(value);  // without one, the empty value: partition 6
            int partition = PartitionOf(m_mode, value);
            width = kCompanyPrefixBits[partition];
            if (!Admit(width)) {
                return false;
            }
            if (m_hasPrevious) {
                m_out.Overwrite(m_previousOffset, m_previousWidth,
                                static_cast<unsigned>(partition));
            }
            PutValue(m_out, m_mode, width, value);
            m_pendingPrefixBits = width;
            return true;
        }
        if (type == L"P2") {
            width = ApplyPending(given);
            if (!Admit(width)) {
                return false;
            }
            if (m_values.Next(value)) {
                PutValue(m_out, m_mode, width, value);
            } else {
                PutLiteral(m_out, width, type);
            }
            return true;
        }
        if (type == L"P2VAR6") {
            m_pendingPrefixBits = 0;
            m_values.Next(value);
            return VariableField(value, width);
        }
        width = given;
        if (!Admit(width)) {
            return false;
        }
        PutLiteral(m_out, width, type);
        return true;
    }

    bool HashField(std::wstring_view type, int64_t width, int64_t& finalWidth) {
        finalWidth = width;
        HashType hash = ClassifyHashType(type);
        std::wstring_view value;
        if (hash.kind == HashKind::Var6) {
            m_values.Next(value);  // without one, the empty value: the terminator alone
            return VariableField(value, finalWidth);
        }
        if (!Admit(width)) {
            return false;
        }
        if (hash.kind == HashKind::Literal || !m_values.Next(value)) {
            PutLiteral(m_out, width, type);
            return true;
        }
        switch (hash.kind) {
            case HashKind::Mode:
                PutValue(m_out, hash.mode, width, value);
                break;
            case HashKind::Uid64:
                PutUnits(m_out, width, value, 6, SixBitUnit);
                break;
            case HashKind::Asc7: {
                // Text shorter than the field is aligned left, zero bits after it.
                int64_t bits = static_cast<int64_t>(value.size()) * 7;
                PutUnits(m_out, width, value, 7, SevenBitUnit, 0, 0,
                         bits < width ? width - bits : 0);
                break;
            }
            case HashKind::Serial:
                // The leading 1 keeps the serial number's leading zeros in the number.
                PutDecimal(m_out, width, value, true);
                break;
            default:
                // A five-character CAGE code gets the code of a space in front.
                PutUnits(m_out, width, value, 6, SixBitUnit, value.size() == 5 ? 6 : 0, 0x20);
                break;
        }
        return true;
    }

    // A 6-bit string with its terminator, exactly as wide as it is.
    bool VariableField(std::wstring_view value, int64_t& width) {
        width = (static_cast<int64_t>(value.size()) + 1) * 6;
        if (!Admit(width)) {
            return false;
        }
        PutUnits(m_out, width, value, 6, SixBitUnit, 0, 0, 6);
        return true;
    }

    Pieces m_values;
    int m_mode;
    BitWriter m_out;
    int64_t m_pendingPrefixBits = 0;
    bool m_hasPrevious = false;
    int64_t m_previousOffset = 0;
    int64_t m_previousWidth = 0;
};

void PutRawHex(std::wstring_view value, EpcHexSink& sink) {
    int64_t count = CountUnits(value, HexUnit);
    if (count == 0) {
        return;
    }
    wchar_t* out = sink.Reserve(count + count % 2);
    if (count % 2 != 0) {
        *out++ = L'0';
    }
    for (wchar_t c : value) {
        int unit = HexUnit(c);
        if (unit >= 0) {
            *out++ = kHexDigits[unit];
        }
    }
}

void PutRawText(std::wstring_view value, EpcHexSink& sink) {
    if (value.empty()) {
        return;
    }
    wchar_t* out = sink.Reserve(static_cast<int64_t>(value.size()) * 2);
    for (wchar_t c : value) {
        *out++ = kHexDigits[ByteUnit(c) >> 4];
        *out++ = kHexDigits[ByteUnit(c) & 0xF];
    }
}

void PutRawBinary(std::wstring_view value, EpcHexSink& sink) {
    int64_t count = CountUnits(value, BinaryUnit);
    if (count == 0) {
        return;
    }
    int64_t padded = (count + 7) / 8 * 8;
    wchar_t* out = sink.Reserve(padded / 4);
    int64_t position = padded - count;  // zero bits in front
    unsigned nibble = 0;
    for (wchar_t c : value) {
        int unit = BinaryUnit(c);
        if (unit < 0) {
            continue;
        }
        nibble = (nibble << 1) | static_cast<unsigned>(unit);
        if (++position % 4 == 0) {
            out[position / 4 - 1] = kHexDigits[nibble & 0xF];
            nibble = 0;
        }
    }
    for (int64_t i = 0; i < (padded - count) / 4; ++i) {
        out[i] = L'0';
    }
}

void PutRawDecimal(std::wstring_view value, EpcHexSink& sink) {
    std::vector<uint64_t> words = DecimalValue(value);
    if (words.empty()) {
        return;
    }
    uint64_t top = words.back();
    int topDigits = 16;
    while (((top >> (4 * (topDigits - 1))) & 0xF) == 0) {
        --topDigits;
    }
    wchar_t* out = sink.Reserve(topDigits + 16 * static_cast<int64_t>(words.size() - 1));
    for (int d = topDigits - 1; d >= 0; --d) {
        *out++ = kHexDigits[(top >> (4 * d)) & 0xF];
    }
    for (size_t w = words.size() - 1; w-- > 0;) {
        for (int d = 15; d >= 0; --d) {
            *out++ = kHexDigits[(words[w] >> (4 * d)) & 0xF];
        }
    }
}

}  // namespace

EpcLayoutFault EncodeEpc(std::wstring_view values, std::wstring_view layout, int mode,
                         EpcHexSink& sink) {
    Encoder encoder(values, mode);
    Pieces entries(layout);
    std::wstring_view entry;
    for (int64_t field = 1; entries.Next(entry); ++field) {
        if (!encoder.AddField(entry)) {
            return {field, entry};  // too wide: no result
        }
    }
    encoder.WriteHex(sink);
    return {};
}

void ConvertValueToHex(std::wstring_view value, int mode, EpcHexSink& sink) {
    switch (NormalizeMode(mode)) {
        case kModeText:
            PutRawText(value, sink);
            break;
        case kModeDecimal:
            PutRawDecimal(value, sink);
            break;
        case kModeBinary:
            PutRawBinary(value, sink);
            break;
        default:
            PutRawHex(value, sink);
            break;
    }
}
