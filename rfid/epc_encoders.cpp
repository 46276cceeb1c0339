#include "rfid/epc_encoders.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The digit tables of the halving arithmetic: a digit found in one text is
// replaced by the digit at the same position in another.
constexpr char kEvenDigits[] = "02468";
constexpr char kOddDigits[] = "13579";
constexpr char kHalves[] = "01234";
constexpr char kCarryFrom[] = "43210";
constexpr char kCarryTo[] = "98765";

int PositionIn(const char* table, char c) {
    const char* hit = std::strchr(table, c);
    return (hit != nullptr && c != '\0') ? static_cast<int>(hit - table) : -1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// OTypedArray reports a failed growth only by not growing; a lost bit would
// silently shift the whole tag, so it becomes an allocation failure instead.
void AppendBit(EpcBits& bits, bool bit) {
    int32_t before = bits.GetCount();
    bits.Add(bit);
    if (bits.GetCount() != before + 1) {
        throw std::bad_alloc();
    }
}

void Resize(EpcBits& bits, int32_t count) {
    bits.SetSize(count);
    if (bits.GetCount() != count) {
        throw std::bad_alloc();
    }
}

void InsertZeroBitsInFront(EpcBits& bits, int32_t count) {
    if (count <= 0) {
        return;
    }
    int32_t old = bits.GetCount();
    Resize(bits, old + count);
    bool* data = bits.GetData();
    std::memmove(data + count, data, static_cast<size_t>(old) * sizeof(bool));
    std::memset(data, 0, static_cast<size_t>(count) * sizeof(bool));
}

void AppendLowBits(EpcBits& bits, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        AppendBit(bits, ((value >> i) & 1U) != 0);
    }
}

// The halving step on a digit buffer; see HalveDecimal.
void HalveDigits(std::string& digits) {
    if (digits.empty() || PositionIn(kEvenDigits, digits.back()) < 0) {
        return;
    }
    for (size_t i = digits.size(); i-- > 0;) {
        int even = PositionIn(kEvenDigits, digits[i]);
        if (even >= 0) {
            digits[i] = kHalves[even];
            continue;
        }
        int odd = PositionIn(kOddDigits, digits[i]);
        if (odd < 0) {
            continue;
        }
        digits[i] = kHalves[odd];
        // The digit to the right is already halved (0..4): the odd unit of this
        // place is worth five there.
        int carry = i + 1 < digits.size() ? PositionIn(kCarryFrom, digits[i + 1]) : -1;
        if (carry >= 0) {
            digits[i + 1] = kCarryTo[carry];
        }
    }
    size_t zeros = digits.find_first_not_of('0');
    if (zeros != std::string::npos && zeros > 0) {
        digits.erase(0, zeros);
    }
}

bool AllZeros(const std::string& digits) {
    return digits.find_first_not_of('0') == std::string::npos;
}

}  // namespace

int NormalizeEpcMode(int mode) {
    return (mode >= kEpcModeText && mode <= kEpcModeBinary) ? mode : kEpcModeHex;
}

bool IsValidModeChar(int mode, char c) {
    switch (NormalizeEpcMode(mode)) {
        case kEpcModeText:
            return true;
        case kEpcModeDecimal:
            return c >= '0' && c <= '9';
        case kEpcModeBinary:
            return c == '0' || c == '1';
        default:
            return HexValue(c) >= 0;
    }
}

OString FilterValueChars(int mode, const OString& value, bool* dropped) {
    if (dropped != nullptr) {
        *dropped = false;
    }
    if (NormalizeEpcMode(mode) == kEpcModeText) {
        return value;
    }
    const char* text = value.GetNarrow();
    std::string kept;
    kept.reserve(std::strlen(text));
    for (const char* p = text; *p != '\0'; ++p) {
        if (IsValidModeChar(mode, *p)) {
            kept.push_back(*p);
        } else if (dropped != nullptr) {
            *dropped = true;
        }
    }
    return OString(kept.c_str());
}

OString ConvertValueToHex(int mode, const OString& value) {
    mode = NormalizeEpcMode(mode);
    OString filtered = FilterValueChars(mode, value);
    switch (mode) {
        case kEpcModeText: {
            const char* bytes = filtered.GetNarrow();
            return OString::FromBytesHex(bytes, static_cast<int32_t>(std::strlen(bytes)));
        }
        case kEpcModeDecimal:
            return DecimalToHex(filtered);
        case kEpcModeBinary:
            return BinaryToHex(filtered);
        default:
            if (filtered.GetLength() % 2 != 0) {
                filtered.Insert(0, "0", 1);
            }
            filtered.MakeUpper();
            return filtered;
    }
}

OString DecimalToHex(const OString& decimal) {
    std::string digits(decimal.GetNarrow());
    if (AllZeros(digits)) {
        return OString();
    }
    // The halving tables know only decimal digits; anything else has no value.
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        return OString();
    }
    // Halving one digit at a time costs time in the square of the digits: a
    // 40000-digit value took most of a minute. Dividing limbs of nine digits by
    // 2^32 is the same halving, 32 bits a round.
    constexpr uint32_t kLimbBase = 1000000000;
    constexpr size_t kLimbDigits = 9;
    std::vector<uint32_t> limbs;  // most significant first
    size_t head = digits.size() % kLimbDigits;
    for (size_t at = 0; at < digits.size(); at += (at == 0 && head != 0) ? head : kLimbDigits) {
        size_t length = (at == 0 && head != 0) ? head : kLimbDigits;
        limbs.push_back(static_cast<uint32_t>(std::stoul(digits.substr(at, length))));
    }
    EpcBits lowFirst;
    size_t first = 0;  // limbs before it have become zero
    while (first < limbs.size()) {
        uint64_t remainder = 0;
        for (size_t i = first; i < limbs.size(); ++i) {
            uint64_t current = remainder * kLimbBase + limbs[i];
            limbs[i] = static_cast<uint32_t>(current >> 32);
            remainder = current & 0xFFFFFFFFu;
        }
        while (first < limbs.size() && limbs[first] == 0) {
            ++first;
        }
        for (int bit = 0; bit < 32; ++bit) {
            AppendBit(lowFirst, ((remainder >> bit) & 1) != 0);
        }
    }
    while (lowFirst.GetCount() > 0 && !lowFirst[lowFirst.GetCount() - 1]) {
        lowFirst.RemoveAt(lowFirst.GetCount() - 1, 1);
    }
    EpcBits bits;
    Resize(bits, lowFirst.GetCount());
    for (int32_t i = 0; i < lowFirst.GetCount(); ++i) {
        bits[i] = lowFirst[lowFirst.GetCount() - 1 - i];
    }
    // The last bit produced is the leading 1, so no zero digit leads.
    return BitsToHex(bits);
}

void HalveDecimal(OString& decimal) {
    std::string digits(decimal.GetNarrow());
    HalveDigits(digits);
    decimal = digits.c_str();
}

OString BinaryToHex(const OString& binary) {
    std::string text(binary.GetNarrow());
    if (text.empty()) {
        return OString();
    }
    text.insert(0, (8 - text.size() % 8) % 8, '0');
    std::string hex;
    hex.reserve(text.size() / 4);
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned nibble = 0;
        for (size_t j = 0; j < 4; ++j) {
            nibble = (nibble << 1) | (text[i + j] == '1' ? 1U : 0U);
        }
        hex.push_back(kHexDigits[nibble]);
    }
    return OString(hex.c_str());
}

void HexToBits(const OString& hex, EpcBits& bits) {
    for (const char* p = hex.GetNarrow(); *p != '\0'; ++p) {
        int value = HexValue(*p);
        if (value >= 0) {
            AppendLowBits(bits, static_cast<unsigned>(value), 4);
        }
    }
}

OString BitsToHex(const EpcBits& bits) {
    int32_t count = bits.GetCount();
    if (count == 0) {
        return OString();
    }
    int32_t pad = (4 - count % 4) % 4;
    std::string hex;
    hex.reserve(static_cast<size_t>((count + pad) / 4));
    unsigned nibble = 0;
    int filled = pad;
    for (int32_t i = 0; i < count; ++i) {
        nibble = (nibble << 1) | (bits[i] ? 1U : 0U);
        if (++filled == 4) {
            hex.push_back(kHexDigits[nibble]);
            nibble = 0;
            filled = 0;
        }
    }
    return OString(hex.c_str());
}

void Encode6Bit(const OString& text, EpcBits& bits) {
    for (const char* p = text.GetNarrow(); *p != '\0'; ++p) {
        AppendLowBits(bits, static_cast<unsigned char>(*p), 6);
    }
}

void Encode6BitTerminated(const OString& text, EpcBits& bits) {
    Encode6Bit(text, bits);
    AppendLowBits(bits, 0, 6);
}

OString Encode7Bit(const OString& text, int32_t width) {
    EpcBits bits;
    for (const char* p = text.GetNarrow(); *p != '\0'; ++p) {
        AppendLowBits(bits, static_cast<unsigned char>(*p), 7);
    }
    if (bits.GetCount() < width) {
        Resize(bits, width);  // new room is zero bits
    }
    // BitsToHex puts the zero bits up to a multiple of four in front.
    return BitsToHex(bits);
}

OString EncodeUid64(const OString& text) {
    EpcBits bits;
    Encode6Bit(text, bits);
    return BitsToHex(bits);
}

OString EncodeCage6(const OString& text) {
    EpcBits bits;
    if (std::strlen(text.GetNarrow()) == 5) {
        AppendLowBits(bits, 0x20, 6);
    }
    Encode6Bit(text, bits);
    return BitsToHex(bits);
}

void FitBitsToWidth(EpcBits& bits, int32_t width) {
    if (width < 0) {
        width = 0;
    }
    int32_t count = bits.GetCount();
    if (count > width) {
        bits.RemoveAt(0, count - width);
    } else {
        InsertZeroBitsInFront(bits, width - count);
    }
}

void PadBitsToByte(EpcBits& bits) {
    int32_t count = bits.GetCount();
    int32_t padded = count + (8 - count % 8) % 8;
    if (padded != count) {
        Resize(bits, padded);
    }
}

void StripLeadingZeroBits(EpcBits& bits) {
    int32_t first = 0;
    while (first < bits.GetCount() && !bits[first]) {
        ++first;
    }
    bits.RemoveAt(0, first);
}
