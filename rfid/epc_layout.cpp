#include "rfid/epc_layout.h"

#include <new>

#include "core/arrays.h"
#include "rfid/epc_encoders.h"

namespace {

int32_t NonNegative(int64_t width) {
    return width < 0 ? 0 : static_cast<int32_t>(width > INT32_MAX ? INT32_MAX : width);
}

enum class HashKind { Literal, Hex, Text, Decimal, Binary, Uid64, Asc7, Serial, Cage6, Var6 };

// H, A, D and B are whole types; a type beginning with E is searched for the
// encodings in a fixed order and the first hit wins ("EVAR6_UID64" is UID64).
HashKind ClassifyHashType(const OString& type) {
    if (type == "H") {
        return HashKind::Hex;
    }
    if (type == "A") {
        return HashKind::Text;
    }
    if (type == "D") {
        return HashKind::Decimal;
    }
    if (type == "B") {
        return HashKind::Binary;
    }
    if (type.GetNarrow()[0] != 'E') {
        return HashKind::Literal;
    }
    static const struct {
        const char* name;
        HashKind kind;
    } kEncodings[] = {{"UID64", HashKind::Uid64},          {"ASC7", HashKind::Asc7},
                      {"SN_GDTI113", HashKind::Serial},     {"SN_SGCN96", HashKind::Serial},
                      {"CAGE6", HashKind::Cage6},           {"VAR6", HashKind::Var6}};
    for (const auto& encoding : kEncodings) {
        if (type.Find(encoding.name) >= 0) {
            return encoding.kind;
        }
    }
    return HashKind::Literal;
}

// One call's working state: the cut lists, the value index, the field outputs
// and widths, and the company-prefix width a P1 leaves for the next field.
class LayoutInterpreter {
public:
    LayoutInterpreter(const OString& values, const OString& layout, int mode)
        : m_mode(NormalizeEpcMode(mode)) {
        OString::Split(m_values, values, ";");
        OString::Split(m_layout, layout, ";");
    }

    OString Run() {
        for (int32_t i = 0; i < m_layout.GetCount(); ++i) {
            if (!AddField(i, m_layout[i])) {
                return OString();
            }
        }
        if (m_totalBits == 0) {
            return OString();
        }
        EpcBits tag;
        for (int32_t i = 0; i < m_outputs.GetCount(); ++i) {
            EpcBits field;
            HexToBits(m_outputs[i], field);
            FitBitsToWidth(field, m_widths[i]);
            for (int32_t b = 0; b < field.GetCount(); ++b) {
                tag.Add(field[b]);
            }
        }
        if (tag.GetCount() != m_totalBits) {
            throw std::bad_alloc();  // the array could not grow
        }
        PadBitsToByte(tag);
        return BitsToHex(tag);
    }

private:
    bool TakeValue(OString& value) {
        if (m_nextValue >= m_values.GetCount()) {
            return false;
        }
        value = m_values[m_nextValue++];
        return true;
    }

    // Takes a pending company-prefix width off a field's width.
    int32_t ApplyPending(int32_t width) {
        int64_t reduced = static_cast<int64_t>(width) - m_pendingPrefixBits;
        m_pendingPrefixBits = 0;
        return NonNegative(reduced);
    }

    // False when the tag would grow beyond its limit.
    bool Admit(int32_t width) { return m_totalBits + width <= kEpcMaxTagBits; }

    bool AddField(int32_t index, const OString& entry) {
        OString output;
        int32_t width = 0;
        int32_t colon = entry.Find(":");
        int32_t hash = colon > 0 ? -1 : entry.Find("#");
        if (colon > 0) {
            int32_t given = NonNegative(entry.Left(colon).ToInt());
            if (!ColonField(index, entry.Mid(colon + 1), given, output, width)) {
                return false;
            }
        } else if (hash > 0) {
            int32_t given = NonNegative(entry.Left(hash).ToInt());
            if (!HashField(entry.Mid(hash + 1), ApplyPending(given), output, width)) {
                return false;
            }
        } else {
            width = ApplyPending(NonNegative(entry.ToInt()));
            OString value;
            if (TakeValue(value)) {
                output = ConvertValueToHex(m_mode, value);
            }
        }
        if (!Admit(width)) {
            return false;
        }
        m_outputs.Add(output);
        m_widths.Add(width);
        if (m_widths.GetCount() != m_outputs.GetCount()) {
            throw std::bad_alloc();
        }
        m_totalBits += width;
        return true;
    }

    bool ColonField(int32_t index, const OString& type, int32_t given, OString& output, int32_t& width) {
        OString value;
        if (type == "P1") {
            // Without a value the prefix is the empty value: partition 6.
            TakeValue(value);
            output = ConvertValueToHex(m_mode, value);
            int partition = PartitionOf(value, output);
            if (index > 0) {
                m_outputs[index - 1] = OString(static_cast<char>('0' + partition));
            }
            width = kEpcCompanyPrefixBits[partition];
            m_pendingPrefixBits = width;
        } else if (type == "P2") {
            width = ApplyPending(given);
            output = TakeValue(value) ? ConvertValueToHex(m_mode, value) : type;
        } else if (type == "P2VAR6") {
            m_pendingPrefixBits = 0;
            TakeValue(value);
            return VariableField(value, output, width);
        } else {
            output = type;
            width = given;
        }
        return true;
    }

    bool HashField(const OString& type, int32_t width, OString& output, int32_t& finalWidth) {
        finalWidth = width;
        HashKind kind = ClassifyHashType(type);
        OString value;
        if (kind == HashKind::Var6) {
            TakeValue(value);  // without one, the empty value: the terminator alone
            return VariableField(value, output, finalWidth);
        }
        if (kind == HashKind::Literal || !TakeValue(value)) {
            output = type;
            return true;
        }
        switch (kind) {
            case HashKind::Hex:
                output = ConvertValueToHex(kEpcModeHex, value);
                break;
            case HashKind::Text:
                output = ConvertValueToHex(kEpcModeText, value);
                break;
            case HashKind::Decimal:
                output = ConvertValueToHex(kEpcModeDecimal, value);
                break;
            case HashKind::Binary:
                output = ConvertValueToHex(kEpcModeBinary, value);
                break;
            case HashKind::Uid64:
                output = EncodeUid64(value);
                break;
            case HashKind::Asc7:
                if (!Admit(width)) {
                    return false;  // before the padding is allocated
                }
                output = Encode7Bit(value, width);
                break;
            case HashKind::Serial:
                // The leading 1 keeps the serial number's leading zeros in the number.
                output = ConvertValueToHex(kEpcModeDecimal, OString("1") + value);
                break;
            default:
                output = EncodeCage6(value);
                break;
        }
        return true;
    }

    // A 6-bit string with its terminator, exactly as wide as it is.
    bool VariableField(const OString& value, OString& output, int32_t& width) {
        EpcBits bits;
        Encode6BitTerminated(value, bits);
        width = bits.GetCount();
        if (!Admit(width)) {
            return false;
        }
        output = BitsToHex(bits);
        return true;
    }

    int PartitionOf(const OString& value, const OString& converted) const {
        if (m_mode == kEpcModeDecimal) {
            return EpcPartitionForDigits(FilterValueChars(kEpcModeDecimal, value).GetLength());
        }
        EpcBits bits;
        HexToBits(converted, bits);
        StripLeadingZeroBits(bits);
        return EpcPartitionForBits(bits.GetCount());
    }

    int m_mode;
    OStringArray m_values;
    OStringArray m_layout;
    int32_t m_nextValue = 0;
    OStringArray m_outputs;
    OTypedArray<int> m_widths;
    int32_t m_pendingPrefixBits = 0;
    int64_t m_totalBits = 0;
};

}  // namespace

int EpcPartitionForDigits(int64_t digits) {
    if (digits < 6) {
        digits = 6;
    } else if (digits > 12) {
        digits = 12;
    }
    return static_cast<int>(12 - digits);
}

int EpcPartitionForBits(int64_t bits) {
    for (int p = kEpcPartitionCount - 1; p >= 0; --p) {
        if (kEpcCompanyPrefixBits[p] >= bits) {
            return p;
        }
    }
    return 0;
}

OString EncodeEpcLayout(const OString& values, const OString& layout, int mode) {
    return LayoutInterpreter(values, layout, mode).Run();
}
