#include "rfid/epc_fast_encoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "rfid/epc_encoders.h"
#include "rfid/epc_layout.h"
#include "core/text_scan.h"

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

// A run of characters inside the caller's text; never NUL-terminated.
struct Piece {
    const wchar_t* text = nullptr;
    size_t length = 0;

    const wchar_t* begin() const { return text; }
    const wchar_t* end() const { return text + length; }
};

size_t Length(const wchar_t* text) {
    size_t n = 0;
    while (text[n] != L'\0') {
        ++n;
    }
    return n;
}

bool IsAscii(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned>(text[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The unit codes a character gives in each encoding, -1 for a character the
// encoding skips.
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

bool Equals(const Piece& piece, const char* text) {
    size_t n = std::strlen(text);
    if (piece.length != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (piece.text[i] != static_cast<wchar_t>(text[i])) {
            return false;
        }
    }
    return true;
}

bool Contains(const Piece& piece, const char* text) {
    size_t n = std::strlen(text);
    for (size_t start = 0; start + n <= piece.length; ++start) {
        size_t i = 0;
        while (i < n && piece.text[start + i] == static_cast<wchar_t>(text[i])) {
            ++i;
        }
        if (i == n) {
            return true;
        }
    }
    return false;
}

int64_t NonNegative(int64_t width) {
    return width < 0 ? 0 : width;
}

// The text cut at every ';', empty pieces included; an empty text has none.
class Pieces {
public:
    Pieces(const wchar_t* text, size_t length)
        : m_next(text), m_end(text + length), m_more(length > 0) {}

    bool Next(Piece& piece) {
        if (!m_more) {
            return false;
        }
        const wchar_t* p = m_next;
        while (p != m_end && *p != L';') {
            ++p;
        }
        piece = Piece{m_next, static_cast<size_t>(p - m_next)};
        if (p == m_end) {
            m_more = false;
        } else {
            m_next = p + 1;
        }
        return true;
    }

private:
    const wchar_t* m_next;
    const wchar_t* m_end;
    bool m_more;
};

// The tag's bits, most significant first, in 64-bit words. Bits past the end
// of the last word written are always zero. Callers keep the size within
// kEpcMaxTagBits.
class BitWriter {
public:
    BitWriter() : m_words(m_inline) {}
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    int64_t Size() const { return m_bits; }

    // Appends the low count bits of value (0 <= count <= 64).
    void Append(uint64_t value, int count) {
        if (count <= 0) {
            return;
        }
        Reserve(m_bits + count);
        if (count < 64) {
            value &= (uint64_t{1} << count) - 1;
        }
        int offset = static_cast<int>(m_bits & 63);
        uint64_t* word = m_words + (m_bits >> 6);
        if (offset == 0) {
            *word = 0;
        }
        int space = 64 - offset;
        if (count <= space) {
            *word |= value << (space - count);
        } else {
            int rest = count - space;
            *word |= value >> rest;
            word[1] = value << (64 - rest);
        }
        m_bits += count;
    }

    void AppendZeros(int64_t count) {
        while (count > 0) {
            int chunk = count > 64 ? 64 : static_cast<int>(count);
            Append(0, chunk);
            count -= chunk;
        }
    }

    // Rewrites the field at offset as value, zero-extended or cut to width bits.
    void Overwrite(int64_t offset, int64_t width, unsigned value) {
        for (int64_t i = 0; i < width; ++i) {
            int64_t fromLow = width - 1 - i;
            bool bit = fromLow < 32 && ((value >> fromLow) & 1U) != 0;
            uint64_t mask = uint64_t{1} << (63 - ((offset + i) & 63));
            uint64_t& word = m_words[(offset + i) >> 6];
            word = bit ? (word | mask) : (word & ~mask);
        }
    }

    // The digits of the bits padded with zero bits to a multiple of eight; none
    // for no bits.
    void WriteHex(EpcHexSink& sink) const {
        if (m_bits == 0) {
            return;
        }
        int64_t digits = (m_bits + 7) / 8 * 2;
        wchar_t* out = sink.Reserve(digits);
        for (int64_t i = 0; i < digits; ++i) {
            out[i] = kHexDigits[(m_words[i >> 4] >> (60 - 4 * (i & 15))) & 0xF];
        }
    }

private:
    void Reserve(int64_t bits) {
        int64_t words = (bits + 63) / 64;
        if (words <= kInlineWords || !m_heap.empty()) {
            return;
        }
        m_heap.assign(kEpcMaxTagBits / 64 + 1, 0);
        std::memcpy(m_heap.data(), m_inline, sizeof(m_inline));
        m_words = m_heap.data();
    }

    static constexpr int64_t kInlineWords = 32;  // 2048 bits on the stack
    uint64_t m_inline[kInlineWords];
    std::vector<uint64_t> m_heap;
    uint64_t* m_words;
    int64_t m_bits = 0;
};

// Writes the last width bits of a bit sequence given piece by piece, after zero
// bits in front when the sequence is shorter: a field keeping its low-order
// bits.
class FieldWriter {
public:
    FieldWriter(BitWriter& out, int64_t width, int64_t total)
        : m_out(out), m_skip(total > width ? total - width : 0) {
        if (total < width) {
            out.AppendZeros(width - total);
        }
    }

    void Put(uint64_t value, int count) {
        if (m_skip > 0) {
            if (m_skip >= count) {
                m_skip -= count;
                return;
            }
            count -= static_cast<int>(m_skip);  // Append keeps the low bits
            m_skip = 0;
        }
        m_out.Append(value, count);
    }

    void PutZeros(int64_t count) {
        if (m_skip >= count) {
            m_skip -= count;
            return;
        }
        count -= m_skip;
        m_skip = 0;
        m_out.AppendZeros(count);
    }

private:
    BitWriter& m_out;
    int64_t m_skip;
};

template <typename UnitCode>
int64_t CountUnits(const Piece& piece, UnitCode code) {
    int64_t count = 0;
    for (wchar_t c : piece) {
        count += code(c) >= 0 ? 1 : 0;
    }
    return count;
}

// A field of fixed-size units taken from the characters (those the encoding
// skips left out), with an optional prefix and trailing zero bits, fitted to
// width.
template <typename UnitCode>
void PutUnits(BitWriter& out, int64_t width, const Piece& piece, int unitBits, UnitCode code,
              int prefixBits = 0, uint64_t prefix = 0, int64_t trailingZeros = 0) {
    if (width == 0) {
        return;
    }
    int64_t total = prefixBits + CountUnits(piece, code) * unitBits + trailingZeros;
    FieldWriter field(out, width, total);
    field.Put(prefix, prefixBits);
    for (wchar_t c : piece) {
        int unit = code(c);
        if (unit >= 0) {
            field.Put(static_cast<uint64_t>(unit), unitBits);
        }
    }
    field.PutZeros(trailingZeros);
}

// Multiplies a little-endian multi-word number by m and adds a, modulo the
// words' range.
void MultiplyAdd(std::vector<uint64_t>& words, uint64_t m, uint64_t a) {
    uint64_t carry = a;
    for (uint64_t& word : words) {
        unsigned __int128 t = static_cast<unsigned __int128>(word) * m + carry;
        word = static_cast<uint64_t>(t);
        carry = static_cast<uint64_t>(t >> 64);
    }
}

constexpr int kChunkDigits = 19;  // 10^19 < 2^64

uint64_t PowerOfTen(int exponent) {
    uint64_t p = 1;
    while (exponent-- > 0) {
        p *= 10;
    }
    return p;
}

// The decimal digits of a piece (others skipped), after an optional leading 1,
// as a number taken modulo 2^(64 * words.size()).
void DecimalModulo(const Piece& piece, bool leadingOne, std::vector<uint64_t>& words) {
    std::fill(words.begin(), words.end(), 0);
    words[0] = leadingOne ? 1 : 0;
    uint64_t chunk = 0;
    int chunkDigits = 0;
    for (wchar_t c : piece) {
        if (!IsDigit(c)) {
            continue;
        }
        chunk = chunk * 10 + static_cast<uint64_t>(c - L'0');
        if (++chunkDigits == kChunkDigits) {
            MultiplyAdd(words, PowerOfTen(kChunkDigits), chunk);
            chunk = 0;
            chunkDigits = 0;
        }
    }
    if (chunkDigits > 0) {
        MultiplyAdd(words, PowerOfTen(chunkDigits), chunk);
    }
}

// A decimal field keeps the number's low-order width bits, which is the number
// modulo 2^width: no halving of the digits is needed for it.
void PutDecimal(BitWriter& out, int64_t width, const Piece& piece, bool leadingOne = false) {
    if (width == 0) {
        return;
    }
    if (width <= 64) {
        // Wrapping 64-bit arithmetic is exact modulo 2^64, hence modulo 2^width.
        uint64_t value = leadingOne ? 1 : 0;
        for (wchar_t c : piece) {
            if (IsDigit(c)) {
                value = value * 10 + static_cast<uint64_t>(c - L'0');
            }
        }
        out.Append(value, static_cast<int>(width));
        return;
    }
    std::vector<uint64_t> words(static_cast<size_t>((width + 63) / 64));
    DecimalModulo(piece, leadingOne, words);
    out.Append(words.back(), static_cast<int>(width - 64 * static_cast<int64_t>(words.size() - 1)));
    for (size_t i = words.size() - 1; i-- > 0;) {
        out.Append(words[i], 64);
    }
}

void PutValue(BitWriter& out, int mode, int64_t width, const Piece& value) {
    switch (mode) {
        case kEpcModeText:
            PutUnits(out, width, value, 8, ByteUnit);
            break;
        case kEpcModeDecimal:
            PutDecimal(out, width, value);
            break;
        case kEpcModeBinary:
            PutUnits(out, width, value, 1, BinaryUnit);
            break;
        default:
            PutUnits(out, width, value, 4, HexUnit);
            break;
    }
}

// A type text standing as the field's output: its hexadecimal digits.
void PutLiteral(BitWriter& out, int64_t width, const Piece& type) {
    PutUnits(out, width, type, 4, HexUnit);
}

template <typename UnitCode>
int64_t SignificantBits(const Piece& piece, int unitBits, UnitCode code) {
    int64_t bits = 0;
    for (wchar_t c : piece) {
        int unit = code(c);
        if (unit < 0) {
            continue;
        }
        if (bits > 0) {
            bits += unitBits;
        } else if (unit != 0) {
            while (unit != 0) {
                ++bits;
                unit >>= 1;
            }
        }
    }
    return bits;
}

int PartitionOf(int mode, const Piece& value) {
    switch (mode) {
        case kEpcModeDecimal:
            return EpcPartitionForDigits(
                CountUnits(value, [](wchar_t c) { return IsDigit(c) ? 0 : -1; }));
        case kEpcModeText:
            return EpcPartitionForBits(SignificantBits(value, 8, ByteUnit));
        case kEpcModeBinary:
            return EpcPartitionForBits(SignificantBits(value, 1, BinaryUnit));
        default:
            return EpcPartitionForBits(SignificantBits(value, 4, HexUnit));
    }
}

EpcHashType ClassifyHashType(const Piece& type) {
    return ClassifyEpcHashType(
        type.length > 0 && type.text[0] == L'E',
        [&](const char* name) { return Equals(type, name); },
        [&](const char* name) { return Contains(type, name); });
}

class FastInterpreter {
public:
    FastInterpreter(const wchar_t* values, size_t valuesLength, int mode)
        : m_values(values, valuesLength), m_mode(NormalizeEpcMode(mode)) {}

    // False when the tag would grow beyond its limit.
    bool AddField(const Piece& entry) {
        int64_t offset = m_out.Size();
        int64_t width = 0;
        size_t colon = Find(entry, L':');
        size_t hash = Find(entry, L'#');
        bool ok;
        if (colon != kNone && colon > 0) {
            ok = ColonField(Tail(entry, colon), NonNegative(OText::ParseInt(entry.text, colon)),
                            width);
        } else if (hash != kNone && hash > 0) {
            int64_t given = NonNegative(OText::ParseInt(entry.text, hash));
            ok = HashField(Tail(entry, hash), ApplyPending(given), width);
        } else {
            width = ApplyPending(NonNegative(OText::ParseInt(entry.text, entry.length)));
            ok = Admit(width);
            Piece value;
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

    void WriteHex(EpcHexSink& sink) const { m_out.WriteHex(sink); }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    static size_t Find(const Piece& piece, wchar_t c) {
        for (size_t i = 0; i < piece.length; ++i) {
            if (piece.text[i] == c) {
                return i;
            }
        }
        return kNone;
    }

    static Piece Tail(const Piece& entry, size_t separator) {
        return Piece{entry.text + separator + 1, entry.length - separator - 1};
    }

    bool Admit(int64_t width) const { return m_out.Size() + width <= kEpcMaxTagBits; }

    int64_t ApplyPending(int64_t width) {
        int64_t reduced = width - m_pendingPrefixBits;
        m_pendingPrefixBits = 0;
        return NonNegative(reduced);
    }

    bool ColonField(const Piece& type, int64_t given, int64_t& width) {
        Piece value;
        if (Equals(type, "P1")) {
            m_values.Next(value);  // without one, the empty value: partition 6
            int partition = PartitionOf(m_mode, value);
            width = kEpcCompanyPrefixBits[partition];
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
        if (Equals(type, "P2")) {
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
        if (Equals(type, "P2VAR6")) {
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

    bool HashField(const Piece& type, int64_t width, int64_t& finalWidth) {
        finalWidth = width;
        EpcHashType hash = ClassifyHashType(type);
        Piece value;
        if (hash.kind == EpcHashKind::Var6) {
            m_values.Next(value);  // without one, the empty value: the terminator alone
            return VariableField(value, finalWidth);
        }
        if (!Admit(width)) {
            return false;
        }
        if (hash.kind == EpcHashKind::Literal || !m_values.Next(value)) {
            PutLiteral(m_out, width, type);
            return true;
        }
        switch (hash.kind) {
            case EpcHashKind::Mode:
                PutValue(m_out, hash.mode, width, value);
                break;
            case EpcHashKind::Uid64:
                PutUnits(m_out, width, value, 6, SixBitUnit);
                break;
            case EpcHashKind::Asc7: {
                // Text shorter than the field is aligned left, zero bits after it.
                int64_t bits = static_cast<int64_t>(value.length) * 7;
                PutUnits(m_out, width, value, 7, SevenBitUnit, 0, 0,
                         bits < width ? width - bits : 0);
                break;
            }
            case EpcHashKind::Serial:
                PutDecimal(m_out, width, value, true);
                break;
            default:
                // A five-character CAGE code gets the code of a space in front.
                PutUnits(m_out, width, value, 6, SixBitUnit, value.length == 5 ? 6 : 0, 0x20);
                break;
        }
        return true;
    }

    bool VariableField(const Piece& value, int64_t& width) {
        width = (static_cast<int64_t>(value.length) + 1) * 6;
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

void PutRawHex(const Piece& value, EpcHexSink& sink) {
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

void PutRawText(const Piece& value, EpcHexSink& sink) {
    if (value.length == 0) {
        return;
    }
    wchar_t* out = sink.Reserve(static_cast<int64_t>(value.length) * 2);
    for (wchar_t c : value) {
        *out++ = kHexDigits[ByteUnit(c) >> 4];
        *out++ = kHexDigits[ByteUnit(c) & 0xF];
    }
}

void PutRawBinary(const Piece& value, EpcHexSink& sink) {
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

void PutRawDecimal(const Piece& value, EpcHexSink& sink) {
    // Leading zeros add nothing to the number; without other digits it is zero,
    // which has no digits at all.
    int64_t digits = 0;
    bool significant = false;
    const wchar_t* first = value.end();
    for (const wchar_t* p = value.begin(); p != value.end(); ++p) {
        if (!IsDigit(*p) || (!significant && *p == L'0')) {
            continue;
        }
        if (!significant) {
            significant = true;
            first = p;
        }
        ++digits;
    }
    if (digits == 0) {
        return;
    }
    // log2(10) < 3.33 bits per digit.
    std::vector<uint64_t> words(static_cast<size_t>(digits * 10 / 3 / 64 + 2));
    DecimalModulo(Piece{first, static_cast<size_t>(value.end() - first)}, false, words);
    size_t top = words.size() - 1;
    while (words[top] == 0) {
        --top;
    }
    int topDigits = 16;
    while (((words[top] >> (4 * (topDigits - 1))) & 0xF) == 0) {
        --topDigits;
    }
    wchar_t* out = sink.Reserve(topDigits + 16 * static_cast<int64_t>(top));
    for (int d = topDigits - 1; d >= 0; --d) {
        *out++ = kHexDigits[(words[top] >> (4 * d)) & 0xF];
    }
    for (size_t w = top; w-- > 0;) {
        for (int d = 15; d >= 0; --d) {
            *out++ = kHexDigits[(words[w] >> (4 * d)) & 0xF];
        }
    }
}

}  // namespace

bool EncodeEpcFast(const wchar_t* values, const wchar_t* layout, int mode, EpcHexSink& sink) {
    values = values != nullptr ? values : L"";
    layout = layout != nullptr ? layout : L"";
    size_t valuesLength = Length(values);
    size_t layoutLength = Length(layout);
    if (!IsAscii(values, valuesLength) || !IsAscii(layout, layoutLength)) {
        return false;
    }
    FastInterpreter interpreter(values, valuesLength, mode);
    Pieces entries(layout, layoutLength);
    Piece entry;
    while (entries.Next(entry)) {
        if (!interpreter.AddField(entry)) {
            return true;  // too wide: no result
        }
    }
    interpreter.WriteHex(sink);
    return true;
}

bool ConvertValueToHexFast(const wchar_t* value, int mode, EpcHexSink& sink) {
    value = value != nullptr ? value : L"";
    Piece piece{value, Length(value)};
    if (!IsAscii(piece.text, piece.length)) {
        return false;
    }
    switch (NormalizeEpcMode(mode)) {
        case kEpcModeText:
            PutRawText(piece, sink);
            break;
        case kEpcModeDecimal:
            PutRawDecimal(piece, sink);
            break;
        case kEpcModeBinary:
            PutRawBinary(piece, sink);
            break;
        default:
            PutRawHex(piece, sink);
            break;
    }
    return true;
}
