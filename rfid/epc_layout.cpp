#include "rfid/epc_layout.h"

#include <new>

#include "core/arrays.h"
#include "rfid/epc_encoders.h"

namespace {

int32_t NonNegative(int64_t width) {
    return width < 0 ? 0 : static_cast<int32_t>(width > INT32_MAX ? INT32_MAX : width);
}

EpcHashType ClassifyHashType(const OString& type) {
    return ClassifyEpcHashType(
        type.GetNarrow()[0] == 'E', [&](const char* name) { return type == name; },
        [&](const char* name) { return type.Find(name) >= 0; });
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

    bool ColonField(int32_t index, const OString& type, int32_t given, OString& output,
                    int32_t& width) {
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
        EpcHashType hash = ClassifyHashType(type);
        OString value;
        if (hash.kind == EpcHashKind::Var6) {
            TakeValue(value);  // without one, the empty value: the terminator alone
            return VariableField(value, output, finalWidth);
        }
        if (hash.kind == EpcHashKind::Literal || !TakeValue(value)) {
            output = type;
            return true;
        }
        switch (hash.kind) {
            case EpcHashKind::Mode:
                output = ConvertValueToHex(hash.mode, value);
                break;
            case EpcHashKind::Uid64:
                output = EncodeUid64(value);
                break;
            case EpcHashKind::Asc7:
                if (!Admit(width)) {
                    return false;  // before the padding is allocated
                }
                output = Encode7Bit(value, width);
                break;
            case EpcHashKind::Serial:
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
