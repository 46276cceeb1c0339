#include "rfid/epc_encoder.h"

#include <vector>

#include "core/hex.h"
#include "rfid/big_decimal.h"
#include "rfid/bit_writer.h"
#include "rfid/epc_layout.h"

static_assert(kEpcMaxTagBits <= BitWriter::kCapacity);

namespace {

using EpcUnits::Binary;
using EpcUnits::Byte;
using EpcUnits::Decimal;
using EpcUnits::Hex;
using EpcUnits::SevenBit;
using EpcUnits::SixBit;

template <typename UnitCode>
int64_t CountUnits(std::wstring_view text, UnitCode code) {
    int64_t count = 0;
    for (wchar_t c : text) {
        count += code(c) >= 0 ? 1 : 0;
    }
    return count;
}

// A field of fixed-size units taken from the text (those the encoding skips
// left out), with an optional prefix and trailing zero bits, fitted to width;
// whether a bit 1 did not fit.
template <typename UnitCode>
bool PutUnits(BitWriter& out, int64_t width, std::wstring_view text, int unitBits, UnitCode code,
              int prefixBits = 0, uint64_t prefix = 0, int64_t trailingZeros = 0) {
    if (width == 0) {
        return false;  // as a decimal field of no bits
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
    return field.Cut();
}

// A decimal field keeps the number's low-order width bits, which is the number
// modulo 2^width; whether that is not the number.
bool PutDecimal(BitWriter& out, int64_t width, std::wstring_view text, bool leadingOne = false) {
    if (width == 0) {
        return false;  // a field the layout gives no bits holds no value to cut
    }
    if (width <= 64) {
        const uint64_t value = DecimalLow64(text, leadingOne);
        out.Append(value, static_cast<int>(width));
        // Up to 19 digits the number is below 10^19 < 2^64: value is exact, and
        // the check costs the encoder nothing it would notice.
        if (text.size() + (leadingOne ? 1 : 0) <= 19) {
            return width < 64 && (value >> width) != 0;
        }
        return !DecimalBelowPowerOfTwo(text, leadingOne, width);
    }
    std::vector<uint64_t> words(static_cast<size_t>((width + 63) / 64));
    DecimalModulo(text, leadingOne, words);
    out.Append(words.back(), static_cast<int>(width - 64 * static_cast<int64_t>(words.size() - 1)));
    for (size_t i = words.size() - 1; i-- > 0;) {
        out.Append(words[i], 64);
    }
    return !DecimalBelowPowerOfTwo(text, leadingOne, width);
}

// Whether a bit 1 of the value did not fit.
bool PutValue(BitWriter& out, int mode, int64_t width, std::wstring_view value) {
    switch (mode) {
        case kEpcText:
            return PutUnits(out, width, value, 8, Byte);
        case kEpcDecimal:
            return PutDecimal(out, width, value);
        case kEpcBinary:
            return PutUnits(out, width, value, 1, Binary);
        default:
            return PutUnits(out, width, value, 4, Hex);
    }
}

// Whether a code carries every character of text: each in [first, last] and
// none the one excluded.
bool Carries(std::wstring_view text, wchar_t first, wchar_t last, wchar_t excluded = 0) {
    for (wchar_t c : text) {
        if (c < first || c > last || c == excluded) {
            return false;
        }
    }
    return true;
}

// A 6-bit code holds ' ' to '_', and '@' is its zero code, the terminator a
// reader stops at; a 7-bit code holds printable ASCII, since a control
// character (NUL, the padding, among them) does not read back as text.
bool SixBitCarries(std::wstring_view text) {
    return Carries(text, L' ', L'_', L'@');
}
bool SevenBitCarries(std::wstring_view text) {
    return Carries(text, L' ', L'~');
}

// A type text standing as the field's output: its hexadecimal digits.
void PutLiteral(BitWriter& out, int64_t width, std::wstring_view type) {
    PutUnits(out, width, type, 4, Hex);
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
        case kEpcDecimal: {
            int64_t digits = CountUnits(value, Decimal);
            return static_cast<int>(12 - (digits < 6 ? 6 : (digits > 12 ? 12 : digits)));
        }
        case kEpcText:
            bits = SignificantBits(value, 8, Byte);
            break;
        case kEpcBinary:
            bits = SignificantBits(value, 1, Binary);
            break;
        default:
            bits = SignificantBits(value, 4, Hex);
            break;
    }
    for (int p = kEpcPartitionCount - 1; p > 0; --p) {
        if (kEpcCompanyPrefixBits[p] >= bits) {
            return p;
        }
    }
    return 0;
}

// One call's working state: the values not yet taken and the tag; the walk
// keeps the pending prefix width and the previous field.
class Encoder : public EpcLayoutWalk<Encoder> {
public:
    Encoder(std::wstring_view values, int mode)
        : m_values(values), m_mode(NormalizeEpcMode(mode)) {}

    void WriteHex(EpcHexSink& sink) const {
        if (m_out.Size() > 0) {
            m_out.WriteHex(sink.Reserve(m_out.HexDigits()));
        }
    }

    // The first field (1-based) whose value the tag does not hold, 0 for none,
    // and what it lost.
    int64_t LossField() const { return m_lossField; }
    EpcValueLoss Loss() const { return m_loss; }

private:
    friend class EpcLayoutWalk<Encoder>;

    bool Begin(const EpcEntry&) {
        ++m_field;
        return true;
    }
    int64_t Position() const { return m_out.Size(); }
    bool Reserve(int64_t width) const { return m_out.Size() + width <= kEpcMaxTagBits; }

    bool Plain(int64_t width) {
        std::wstring_view value;
        if (m_values.Next(value)) {
            NoteCut(PutValue(m_out, m_mode, width, value));
        } else {
            m_out.AppendZeros(width);
        }
        return true;
    }

    // A typed field without a value keeps its type text as output.
    bool Typed(const EpcEntry& entry, int64_t width) {
        std::wstring_view value;
        if (!m_values.Next(value)) {
            return Literal(entry, width);
        }
        switch (entry.kind) {
            case EpcKind::AfterPrefix:
                NoteCut(PutValue(m_out, m_mode, width, value));
                break;
            case EpcKind::Mode:
                NoteCut(PutValue(m_out, entry.mode, width, value));
                break;
            case EpcKind::Uid64:
                NoteCut(PutUnits(m_out, width, value, 6, SixBit));
                NoteCharacters(SixBitCarries(value));
                break;
            case EpcKind::Asc7: {
                // Text shorter than the field is aligned left, zero bits after it.
                int64_t bits = static_cast<int64_t>(value.size()) * 7;
                NoteCut(PutUnits(m_out, width, value, 7, SevenBit, 0, 0,
                                 bits < width ? width - bits : 0));
                NoteCharacters(SevenBitCarries(value));
                break;
            }
            case EpcKind::Serial:
                // The leading 1 keeps the serial number's leading zeros in the number.
                NoteCut(PutDecimal(m_out, width, value, true));
                break;
            default:
                // A five-character CAGE code gets the code of a space in front.
                NoteCut(PutUnits(m_out, width, value, 6, SixBit, value.size() == 5 ? 6 : 0, 0x20));
                NoteCharacters(SixBitCarries(value));
                break;
        }
        return true;
    }

    bool Literal(const EpcEntry& entry, int64_t width) {
        PutLiteral(m_out, width, entry.type);
        return true;
    }

    bool CompanyPrefix(const EpcPreviousField& previous, int64_t& width) {
        std::wstring_view value;
        m_values.Next(value);  // without one, the empty value: partition 6
        const int partition = PartitionOf(m_mode, value);
        width = kEpcCompanyPrefixBits[partition];
        if (!Reserve(width)) {
            return false;
        }
        if (previous.present) {
            m_out.Overwrite(previous.offset, previous.width, static_cast<unsigned>(partition));
        }
        NoteCut(PutValue(m_out, m_mode, width, value));
        return true;
    }

    // A 6-bit string with its terminator, exactly as wide as it is; without a
    // value, the terminator alone.
    bool Variable(int64_t& width) {
        std::wstring_view value;
        m_values.Next(value);
        width = (static_cast<int64_t>(value.size()) + 1) * 6;
        if (!Reserve(width)) {
            return false;
        }
        PutUnits(m_out, width, value, 6, SixBit, 0, 0, 6);
        NoteCharacters(SixBitCarries(value));
        return true;
    }

    // The first loss is the one reported; in a field a cut goes before lost
    // characters, which the cut may have taken with it.
    void NoteCut(bool cut) {
        if (cut && m_lossField == 0) {
            m_loss = EpcValueLoss::kCut;
            m_lossField = m_field;
        }
    }
    void NoteCharacters(bool carried) {
        if (!carried && m_lossField == 0) {
            m_loss = EpcValueLoss::kCharacters;
            m_lossField = m_field;
        }
    }

    EpcPieces m_values;
    int m_mode;
    BitWriter m_out;
    int64_t m_field = 0;  // the field being written, 1-based
    int64_t m_lossField = 0;
    EpcValueLoss m_loss = EpcValueLoss::kNone;
};

void PutRawHex(std::wstring_view value, EpcHexSink& sink) {
    int64_t count = CountUnits(value, Hex);
    if (count == 0) {
        return;
    }
    wchar_t* out = sink.Reserve(count + count % 2);
    if (count % 2 != 0) {
        *out++ = L'0';
    }
    for (wchar_t c : value) {
        int unit = Hex(c);
        if (unit >= 0) {
            *out++ = OHex::Digit<wchar_t>(static_cast<unsigned>(unit));
        }
    }
}

void PutRawText(std::wstring_view value, EpcHexSink& sink) {
    if (value.empty()) {
        return;
    }
    wchar_t* out = sink.Reserve(static_cast<int64_t>(value.size()) * 2);
    for (wchar_t c : value) {
        OHex::PutByte(out, static_cast<uint8_t>(Byte(c)));
        out += 2;
    }
}

void PutRawBinary(std::wstring_view value, EpcHexSink& sink) {
    int64_t count = CountUnits(value, Binary);
    if (count == 0) {
        return;
    }
    int64_t padded = (count + 7) / 8 * 8;
    wchar_t* out = sink.Reserve(padded / 4);
    int64_t position = padded - count;  // zero bits in front
    unsigned nibble = 0;
    for (wchar_t c : value) {
        int unit = Binary(c);
        if (unit < 0) {
            continue;
        }
        nibble = (nibble << 1) | static_cast<unsigned>(unit);
        if (++position % 4 == 0) {
            out[position / 4 - 1] = OHex::Digit<wchar_t>(nibble);
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
        *out++ = OHex::Digit<wchar_t>(static_cast<unsigned>(top >> (4 * d)));
    }
    for (size_t w = words.size() - 1; w-- > 0;) {
        for (int d = 15; d >= 0; --d) {
            *out++ = OHex::Digit<wchar_t>(static_cast<unsigned>(words[w] >> (4 * d)));
        }
    }
}

}  // namespace

EpcLayoutFault EncodeEpc(std::wstring_view values, std::wstring_view layout, int mode,
                         EpcHexSink& sink) {
    Encoder encoder(values, mode);
    EpcPieces entries(layout);
    std::wstring_view entry;
    EpcLayoutFault result;
    for (int64_t field = 1; entries.Next(entry); ++field) {
        if (!encoder.Field(entry)) {
            result.field = field;  // too wide: no result
            result.entry = entry;
            return result;
        }
    }
    encoder.WriteHex(sink);
    if (encoder.LossField() != 0) {  // rare: its entry is looked up again
        result.loss = encoder.Loss();
        result.lossField = encoder.LossField();
        EpcPieces again(layout);
        for (int64_t field = 1; again.Next(result.lossEntry) && field < result.lossField;) {
            ++field;
        }
    }
    return result;
}

void ConvertValueToHex(std::wstring_view value, int mode, EpcHexSink& sink) {
    switch (NormalizeEpcMode(mode)) {
        case kEpcText:
            PutRawText(value, sink);
            break;
        case kEpcDecimal:
            PutRawDecimal(value, sink);
            break;
        case kEpcBinary:
            PutRawBinary(value, sink);
            break;
        default:
            PutRawHex(value, sink);
            break;
    }
}
