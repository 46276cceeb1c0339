#include "rfid/epc_decoder.h"

#include <string>
#include <vector>

#include "core/hex.h"
#include "rfid/big_decimal.h"
#include "rfid/bit_writer.h"
#include "rfid/epc_encoder.h"
#include "rfid/epc_layout.h"

namespace {

// 10^n for the digit counts of a company prefix, 6 to 12.
constexpr uint64_t kPowersOfTen[] = {1,           10,           100,          1000,      10000,
                                     100000,      1000000,      10000000,     100000000, 1000000000,
                                     10000000000, 100000000000, 1000000000000};

// The value of each hexadecimal digit, -1 for every other character below
// 256: a tag's digits in either case follow no pattern a branch would predict.
struct HexTable {
    int8_t value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = static_cast<int8_t>(OHex::Value(c));
        }
    }
};
constexpr HexTable kHexTable;

// "00" to "99", two characters each.
struct DigitPairs {
    wchar_t digits[200];
    constexpr DigitPairs() : digits() {
        for (int i = 0; i < 100; ++i) {
            digits[2 * i] = static_cast<wchar_t>(L'0' + i / 10);
            digits[2 * i + 1] = static_cast<wchar_t>(L'0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

int HexValue(wchar_t c) {
    return c < 256 ? kHexTable.value[c] : -1;
}

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

// A character of a 6-bit code: the tag data standard's table puts '@' to '_'
// at 0 to 31 and ' ' to '?' at 32 to 63, so that the encoder's low six bits
// of the character give the code back.
wchar_t SixBitCharacter(uint64_t code) {
    return static_cast<wchar_t>(code < 32 ? code + 64 : code);
}

// A value goes back into a ";"-separated list, which cannot carry a ';' or a
// NUL inside it.
bool Carriable(wchar_t c) {
    return c != L';' && c != 0;
}

class Decoder : public EpcLayoutWalk<Decoder> {
public:
    Decoder(const BitWriter& tag, int mode, EpcValueText& out)
        : m_tag(tag), m_mode(NormalizeEpcMode(mode)), m_out(out) {}

    EpcDecodeResult Result() const { return m_result; }

    bool Finish() {
        if (!CheckLiteral()) {
            return false;
        }
        m_field = 0;
        if (m_pos == 0) {
            return Fail(EpcDecodeError::kInvalidLayout, "the layout gives no bits");
        }
        if (!ZeroBits(m_pos, m_tag.Size())) {
            return Fail(EpcDecodeError::kInvalidData, "bits after the last field are not zero");
        }
        return true;
    }

private:
    bool Fail(EpcDecodeError error, const char* reason) {
        m_result = {error, m_field, reason};
        return false;
    }

    friend class EpcLayoutWalk<Decoder>;

    // A P1 writes its partition over the field before it, literal or not.
    bool Begin(const EpcEntry& entry) {
        ++m_field;
        if (entry.kind != EpcKind::CompanyPrefix && !CheckLiteral()) {
            return false;
        }
        m_literal.pending = false;
        return true;
    }

    int64_t Position() const { return m_pos; }
    bool Reserve(int64_t width) { return Take(width); }
    // Plain, Typed and Literal come after Reserve has taken the field's bits.
    bool Plain(int64_t width) { return Emit(m_pos - width, width, m_mode); }

    // Moves past a field of width bits, when the tag (and any tag) has them.
    bool Take(int64_t width) {
        if (m_pos + width > kEpcMaxTagBits) {
            return Fail(EpcDecodeError::kInvalidLayout, "the layout gives more than 65536 bits");
        }
        if (m_pos + width > m_tag.Size()) {
            return Fail(EpcDecodeError::kInvalidData, "the tag is too short for the layout");
        }
        m_pos += width;
        return true;
    }

    bool ZeroBits(int64_t from, int64_t to) const {
        for (; from < to; from += 64) {
            if (m_tag.Read(from, static_cast<int>(to - from < 64 ? to - from : 64)) != 0) {
                return false;
            }
        }
        return true;
    }

    // Starts the next value in the output.
    void Separate() {
        if (m_values++ > 0) {
            m_out.push_back(L';');
        }
    }

    void Append(const std::wstring& value) {
        Separate();
        m_out += value;
    }

    // The digits of number, with zeros in front up to width (at most 20) of them.
    // Two digits per division: a tag's decimal fields (company prefix, item
    // reference, serial) are the reader's longest dependent chain.
    void AppendDigits(uint64_t number, size_t width = 1) {
        wchar_t text[20];
        wchar_t* start = text + 20;
        while (number >= 100) {
            const auto pair = static_cast<unsigned>(number % 100);
            number /= 100;
            start -= 2;
            start[0] = kDigitPairs.digits[2 * pair];
            start[1] = kDigitPairs.digits[2 * pair + 1];
        }
        if (number >= 10) {
            start -= 2;
            start[0] = kDigitPairs.digits[2 * number];
            start[1] = kDigitPairs.digits[2 * number + 1];
        } else {
            *--start = static_cast<wchar_t>(L'0' + number);
        }
        while (start > text + 20 - width) {
            *--start = L'0';
        }
        m_out += std::wstring_view(start, static_cast<size_t>(text + 20 - start));
    }

    // Calls unit(code) for the units of unitBits bits of a field, grouped from
    // its end as the encoder writes them: the first one may be shorter.
    template <typename Unit>
    void Units(int64_t offset, int64_t width, int unitBits, Unit unit) const {
        const int64_t end = offset + width;
        const int lead = static_cast<int>(width % unitBits);
        if (lead != 0) {
            unit(m_tag.Read(offset, lead));
            offset += lead;
        }
        for (; offset < end; offset += unitBits) {
            unit(m_tag.Read(offset, unitBits));
        }
    }

    // Appends the field's number in mode, without leading zeros; text without
    // the zero bytes in front. False for text the value list cannot carry.
    bool Number(int64_t offset, int64_t width, int mode) {
        const size_t start = m_out.size();
        bool carried = true;
        switch (mode) {
            case kEpcText:
                Units(offset, width, 8, [&](uint64_t unit) {
                    if (unit != 0 || m_out.size() > start) {
                        carried = carried && Carriable(static_cast<wchar_t>(unit));
                        m_out.NoteByte(static_cast<wchar_t>(unit));
                        m_out.push_back(static_cast<wchar_t>(unit));
                    }
                });
                return carried;
            case kEpcDecimal:
                if (width <= 64) {
                    AppendDigits(m_tag.Read(offset, static_cast<int>(width)));
                } else {
                    m_out += DecimalOf(offset, width);
                }
                return true;
            default: {
                const int unitBits = mode == kEpcBinary ? 1 : 4;
                Units(offset, width, unitBits, [&](uint64_t unit) {
                    if (unit != 0 || m_out.size() > start) {
                        m_out.push_back(OHex::Digit<wchar_t>(static_cast<unsigned>(unit)));
                    }
                });
                if (m_out.size() == start) {
                    m_out.push_back(L'0');
                }
                return true;
            }
        }
    }

    std::wstring DecimalOf(int64_t offset, int64_t width) const {
        std::vector<uint64_t> words;
        int64_t end = offset + width;
        for (; end - offset >= 64; end -= 64) {
            words.push_back(m_tag.Read(end - 64, 64));
        }
        words.push_back(m_tag.Read(offset, static_cast<int>(end - offset)));
        return DecimalText(std::move(words));
    }

    bool Emit(int64_t offset, int64_t width, int mode) {
        Separate();
        if (!Number(offset, width, mode)) {
            return Fail(EpcDecodeError::kInvalidData, "a character the value list cannot carry");
        }
        return true;
    }

    bool EmitCharacters(const std::wstring& value) {
        for (wchar_t c : value) {
            if (!Carriable(c)) {
                return Fail(EpcDecodeError::kInvalidData,
                            "a character the value list cannot carry");
            }
        }
        Append(value);
        return true;
    }

    bool CompanyPrefix(const EpcPreviousField& previous, int64_t& width) {
        if (!previous.present) {
            return Fail(EpcDecodeError::kInvalidLayout,
                        "a P1 in first place writes its partition nowhere");
        }
        const int64_t offset = m_pos;
        const int64_t at = previous.offset;
        const int64_t bits = previous.width;
        const bool wide = bits > 64 && !ZeroBits(at, at + bits - 64);
        const uint64_t partition = wide ? kEpcPartitionCount
                                        : m_tag.Read(at + (bits > 64 ? bits - 64 : 0),
                                                     static_cast<int>(bits > 64 ? 64 : bits));
        if (partition >= kEpcPartitionCount) {
            return Fail(EpcDecodeError::kInvalidData, "a partition value outside the table");
        }
        width = kEpcCompanyPrefixBits[partition];
        if (!Take(width)) {
            return false;
        }
        // The encoder takes the partition from the value: one that says
        // otherwise would not give this tag back.
        if (m_mode != kEpcDecimal) {
            if (PartitionOfBits(SignificantBits(offset, width)) != partition) {
                return Fail(EpcDecodeError::kInvalidData,
                            "the company prefix does not give its partition");
            }
            return Emit(offset, width, m_mode);
        }
        const uint64_t prefix = m_tag.Read(offset, static_cast<int>(width));  // at most 40 bits
        const size_t wanted = static_cast<size_t>(12 - partition);
        if (partition > 0 && prefix >= kPowersOfTen[wanted]) {
            return Fail(EpcDecodeError::kInvalidData,
                        "the company prefix has more digits than its partition");
        }
        Separate();
        AppendDigits(prefix, wanted);
        return true;
    }

    // The partition the encoder gives a value of that many significant bits.
    static uint64_t PartitionOfBits(int64_t bits) {
        for (int p = kEpcPartitionCount - 1; p > 0; --p) {
            if (kEpcCompanyPrefixBits[p] >= bits) {
                return static_cast<uint64_t>(p);
            }
        }
        return 0;
    }

    int64_t SignificantBits(int64_t offset, int64_t width) const {
        for (int64_t i = 0; i < width; ++i) {
            if (m_tag.Read(offset + i, 1) != 0) {
                return width - i;
            }
        }
        return 0;
    }

    bool Typed(const EpcEntry& entry, int64_t width) {
        const int64_t offset = m_pos - width;
        switch (entry.kind) {
            case EpcKind::AfterPrefix:
                return Emit(offset, width, m_mode);
            case EpcKind::Mode:
                return Emit(offset, width, entry.mode);
            case EpcKind::Uid64:
            case EpcKind::Cage6:
                return FixedSixBit(offset, width, entry.kind == EpcKind::Cage6);
            case EpcKind::Asc7:
                return SevenBit(offset, width);
            case EpcKind::Serial: {
                std::wstring digits = DecimalOf(offset, width);
                if (digits[0] != L'1') {
                    return Fail(EpcDecodeError::kInvalidData,
                                "the serial's leading digit 1 is missing");
                }
                Append(digits.substr(1));
                return true;
            }
            default:
                return Literal(entry, width);
        }
    }

    // Right-aligned 6-bit codes, zero codes in front of them dropped. A CAGE
    // code of 5 characters loses the space the encoder put before it; one
    // after a zero code keeps it as '@', or the encoder would add a space.
    bool FixedSixBit(int64_t offset, int64_t width, bool cage) {
        std::wstring value;
        int64_t units = 0;
        Units(offset, width, 6, [&](uint64_t code) {
            ++units;
            if (code != 0 || !value.empty()) {
                value.push_back(SixBitCharacter(code));
            }
        });
        if (cage && value.size() == 6 && value[0] == L' ') {
            value.erase(0, 1);
        } else if (cage && value.size() == 5 && units > 5) {
            value.insert(0, 1, SixBitCharacter(0));
        }
        return EmitCharacters(value);
    }

    // Left-aligned 7-bit codes, then zero bits to the field's end.
    bool SevenBit(int64_t offset, int64_t width) {
        std::wstring value;
        const int64_t end = offset + width;
        int64_t at = offset;
        for (; at + 7 <= end; at += 7) {
            const uint64_t code = m_tag.Read(at, 7);
            if (code == 0) {
                break;
            }
            value.push_back(static_cast<wchar_t>(code));
        }
        if (!ZeroBits(at, end)) {
            return Fail(EpcDecodeError::kInvalidData, "a 7-bit field's padding is not zero");
        }
        return EmitCharacters(value);
    }

    // 6-bit codes up to their 000000 terminator: the field is as wide as that.
    bool Variable(int64_t& width) {
        const int64_t offset = m_pos;
        std::wstring value;
        for (;;) {
            if (!Take(6)) {
                return false;
            }
            const uint64_t code = m_tag.Read(m_pos - 6, 6);
            if (code == 0) {
                break;
            }
            value.push_back(SixBitCharacter(code));
        }
        width = m_pos - offset;
        return EmitCharacters(value);
    }

    // Checked when the next field is known not to be a P1, which overwrites it.
    bool Literal(const EpcEntry& entry, int64_t width) {
        m_literal = {true, m_pos - width, width, entry.type, m_field};
        return true;
    }

    bool CheckLiteral() {
        if (!m_literal.pending) {
            return true;
        }
        m_literal.pending = false;
        if (m_literal.width <= 64) {
            // The digits' low-order bits, as the encoder keeps them.
            uint64_t value = 0;
            for (wchar_t c : m_literal.type) {
                const int digit = OHex::Value(c);
                value = digit >= 0 ? (value << 4) | static_cast<uint64_t>(digit) : value;
            }
            const int width = static_cast<int>(m_literal.width);
            const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
            if (m_tag.Read(m_literal.offset, width) == (value & mask)) {
                return true;
            }
            m_field = m_literal.field;
            return Fail(EpcDecodeError::kInvalidData, "a literal does not match");
        }
        BitWriter expected;
        int64_t digits = 0;
        for (wchar_t c : m_literal.type) {
            digits += OHex::Value(c) >= 0 ? 1 : 0;
        }
        FieldWriter field(expected, m_literal.width, digits * 4);
        for (wchar_t c : m_literal.type) {
            if (OHex::Value(c) >= 0) {
                field.Put(static_cast<uint64_t>(OHex::Value(c)), 4);
            }
        }
        for (int64_t i = 0; i < m_literal.width; i += 64) {
            const int count = static_cast<int>(m_literal.width - i < 64 ? m_literal.width - i : 64);
            if (m_tag.Read(m_literal.offset + i, count) != expected.Read(i, count)) {
                m_field = m_literal.field;
                return Fail(EpcDecodeError::kInvalidData, "a literal does not match");
            }
        }
        return true;
    }

    const BitWriter& m_tag;
    int m_mode;
    EpcValueText& m_out;
    EpcDecodeResult m_result;
    int64_t m_field = 0;
    int64_t m_values = 0;
    int64_t m_pos = 0;
    struct {
        bool pending = false;
        int64_t offset = 0;
        int64_t width = 0;
        std::wstring_view type;
        int64_t field = 0;
    } m_literal;
};

// The tag's digits as bits; false for anything but digits and white space
// after an optional "0x", or more bits than any tag has. Sixteen digits go
// in at a time.
bool ReadTag(std::wstring_view hex, BitWriter& tag) {
    size_t at = 0;
    while (at < hex.size() && IsSpace(hex[at])) {
        ++at;
    }
    if (at + 1 < hex.size() && hex[at] == L'0' && (hex[at + 1] == L'x' || hex[at + 1] == L'X')) {
        at += 2;
    }
    uint64_t word = 0;
    int digits = 0;
    for (; at < hex.size(); ++at) {
        const int digit = HexValue(hex[at]);
        if (digit < 0) {
            if (!IsSpace(hex[at])) {
                return false;
            }
            continue;
        }
        word = (word << 4) | static_cast<uint64_t>(digit);
        if (++digits == 16) {
            if (tag.Size() + 64 > kEpcMaxTagBits) {
                return false;
            }
            tag.Append(word, 64);
            word = 0;
            digits = 0;
        }
    }
    if (tag.Size() + 4 * digits > kEpcMaxTagBits) {
        return false;
    }
    tag.Append(word, 4 * digits);
    return true;
}

}  // namespace

EpcDecodeResult DecodeEpc(std::wstring_view hex, std::wstring_view layout, int mode,
                          EpcValueText& values) {
    values.clear();
    BitWriter tag;
    if (!ReadTag(hex, tag)) {
        return {EpcDecodeError::kInvalidData, 0,
                "the tag is no hexadecimal text of at most 65536 bits"};
    }
    Decoder decoder(tag, mode, values);
    EpcPieces entries(layout);
    std::wstring_view entry;
    while (entries.Next(entry)) {
        if (!decoder.Field(entry)) {
            return decoder.Result();
        }
    }
    decoder.Finish();
    return decoder.Result();
}
