#include "rfid/epc_schemes.h"

#include <cstdint>
#include <vector>

#include "core/hex.h"
#include "rfid/epc_decoder.h"
#include "rfid/epc_encoder.h"
#include "rfid/epc_layout.h"

namespace {

// What one URI field holds, and the rule that keeps it inside the scheme:
// every value a field accepts encodes to bits that read back as that value,
// so no value can make a valid tag of another identity.
enum class Kind : uint8_t {
    Filter,         // decimal below 2^bits
    CompanyPrefix,  // 6 to 12 digits; the partition follows from their count
    PrefixDigits,   // exactly bits - company prefix digits (bits: the key's digits)
    PrefixInteger,  // a number below 2^(bits - company prefix bits)
    PrefixText7,    // GS1 characters in bits - company prefix bits, 30 - prefix digits at most
    PrefixVar6,     // component/part characters, 30 - prefix digits at most
    Integer,        // a number below 2^bits without leading zeros
    Text7,          // 1 to bits / 7 GS1 characters
    LeadingOne,     // 1 to bits decimal digits, leading zeros kept
    TwoDigits,      // exactly two digits
    Cage8,          // 5 or 6 CAGE/DoDAAC characters, 8 bits each, a space before 5
    Cage6,          // the same in 6-bit codes
    AdiText,        // 1 to bits ADI characters ('#' only first, when a serial)
};

struct FieldRule {
    Kind kind;
    int bits;
    const char* name;
};

// How the fields map to a GS1 element string.
enum class Key : uint8_t {
    None,
    Sgtin,
    Sscc,
    Sgln,
    Grai,
    Giai,
    Gsrn,
    Gsrnp,
    Gdti,
    Cpi,
    Sgcn,
    Itip
};

struct Scheme {
    uint8_t header;
    std::wstring_view name;  // of the tag URI
    std::wstring_view id;    // of the pure identity URI
    std::wstring_view layout;
    Key key;
    int count;
    FieldRule fields[6];  // in URI order, which is also the order the layout takes values
};

constexpr FieldRule kFilter{Kind::Filter, 3, "filter"};
constexpr FieldRule kPrefix{Kind::CompanyPrefix, 0, "company prefix"};

// The header byte of each scheme is the layout's first entry, a literal; the
// partition is the "3#X" entry before the company prefix.
constexpr Scheme kSchemes[] = {
    {0x30,
     L"sgtin-96",
     L"sgtin",
     L"8#30;3;3#X;20:P1;44:P2;38",
     Key::Sgtin,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, "item reference"}, {Kind::Integer, 38, "serial"}}},
    {0x36,
     L"sgtin-198",
     L"sgtin",
     L"8#36;3;3#X;20:P1;44:P2;140#EASC7",
     Key::Sgtin,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, "item reference"}, {Kind::Text7, 140, "serial"}}},
    {0x31,
     L"sscc-96",
     L"sscc",
     L"8#31;3;3#X;20:P1;58:P2;24#0",
     Key::Sscc,
     3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "serial reference"}}},
    {0x32,
     L"sgln-96",
     L"sgln",
     L"8#32;3;3#X;20:P1;41:P2;41",
     Key::Sgln,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 12, "location reference"},
      {Kind::Integer, 41, "extension"}}},
    {0x39,
     L"sgln-195",
     L"sgln",
     L"8#39;3;3#X;20:P1;41:P2;140#EASC7",
     Key::Sgln,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 12, "location reference"},
      {Kind::Text7, 140, "extension"}}},
    {0x33,
     L"grai-96",
     L"grai",
     L"8#33;3;3#X;20:P1;44:P2;38",
     Key::Grai,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "asset type"}, {Kind::Integer, 38, "serial"}}},
    {0x37,
     L"grai-170",
     L"grai",
     L"8#37;3;3#X;20:P1;44:P2;112#EASC7",
     Key::Grai,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "asset type"}, {Kind::Text7, 112, "serial"}}},
    {0x34,
     L"giai-96",
     L"giai",
     L"8#34;3;3#X;20:P1;82:P2",
     Key::Giai,
     3,
     {kFilter, kPrefix, {Kind::PrefixInteger, 82, "asset reference"}}},
    {0x38,
     L"giai-202",
     L"giai",
     L"8#38;3;3#X;20:P1;188#EASC7",
     Key::Giai,
     3,
     {kFilter, kPrefix, {Kind::PrefixText7, 188, "asset reference"}}},
    {0x2D,
     L"gsrn-96",
     L"gsrn",
     L"8#2D;3;3#X;20:P1;58:P2;24#0",
     Key::Gsrn,
     3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "service reference"}}},
    {0x2E,
     L"gsrnp-96",
     L"gsrnp",
     L"8#2E;3;3#X;20:P1;58:P2;24#0",
     Key::Gsrnp,
     3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "service reference"}}},
    {0x2C,
     L"gdti-96",
     L"gdti",
     L"8#2C;3;3#X;20:P1;41:P2;41",
     Key::Gdti,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "document type"}, {Kind::Integer, 41, "serial"}}},
    {0x3A,
     L"gdti-113",
     L"gdti",
     L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113",
     Key::Gdti,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 12, "document type"},
      {Kind::LeadingOne, 17, "serial"}}},
    {0x3E,
     L"gdti-174",
     L"gdti",
     L"8#3E;3;3#X;20:P1;41:P2;119#EASC7",
     Key::Gdti,
     4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "document type"}, {Kind::Text7, 119, "serial"}}},
    {0x3C,
     L"cpi-96",
     L"cpi",
     L"8#3C;3;3#X;20:P1;51:P2;31",
     Key::Cpi,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixInteger, 51, "component/part reference"},
      {Kind::Integer, 31, "serial"}}},
    {0x3D,
     L"cpi-var",
     L"cpi",
     L"8#3D;3;3#X;20:P1;0:P2VAR6;40",
     Key::Cpi,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixVar6, 0, "component/part reference"},
      {Kind::Integer, 40, "serial"}}},
    {0x3F,
     L"sgcn-96",
     L"sgcn",
     L"8#3F;3;3#X;20:P1;41:P2;41#ESN_SGCN96",
     Key::Sgcn,
     4,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 12, "coupon reference"},
      {Kind::LeadingOne, 12, "serial"}}},
    {0x40,
     L"itip-110",
     L"itip",
     L"8#40;3;3#X;20:P1;44:P2;7;7;38",
     Key::Itip,
     6,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 13, "item reference"},
      {Kind::TwoDigits, 7, "piece"},
      {Kind::TwoDigits, 7, "total"},
      {Kind::Integer, 38, "serial"}}},
    {0x41,
     L"itip-212",
     L"itip",
     L"8#41;3;3#X;20:P1;44:P2;7;7;140#EASC7",
     Key::Itip,
     6,
     {kFilter,
      kPrefix,
      {Kind::PrefixDigits, 13, "item reference"},
      {Kind::TwoDigits, 7, "piece"},
      {Kind::TwoDigits, 7, "total"},
      {Kind::Text7, 140, "serial"}}},
    {0x35,
     L"gid-96",
     L"gid",
     L"8#35;28;24;36",
     Key::None,
     3,
     {{Kind::Integer, 28, "general manager number"},
      {Kind::Integer, 24, "object class"},
      {Kind::Integer, 36, "serial"}}},
    {0x2F,
     L"usdod-96",
     L"usdod",
     L"8#2F;4;48#A;36",
     Key::None,
     3,
     {{Kind::Filter, 4, "filter"},
      {Kind::Cage8, 48, "CAGE/DoDAAC"},
      {Kind::Integer, 36, "serial"}}},
    {0x3B,
     L"adi-var",
     L"adi",
     L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6",
     Key::None,
     4,
     {{Kind::Filter, 6, "filter"},
      {Kind::Cage6, 36, "CAGE/DoDAAC"},
      {Kind::AdiText, 32, "part number"},
      {Kind::AdiText, 30, "serial"}}},
};

using Fields = std::vector<std::wstring>;

EpcNameResult Fault(EpcNameError error, const char* field, const char* reason) {
    return {error, field, reason};
}
EpcNameResult Bad(const char* field, const char* reason) {
    return {EpcNameError::kInvalidData, field, reason};
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}
bool AllDigits(std::wstring_view text) {
    for (wchar_t c : text) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return true;
}
bool IsUpperAlnum(wchar_t c) {
    return IsDigit(c) || (c >= L'A' && c <= L'Z');
}

// The GS1 AI encodable character set 82, less ';', which the layout's value
// list cannot carry.
bool IsGs1Character(wchar_t c) {
    if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || IsDigit(c)) {
        return true;
    }
    return c != L';' &&
           std::wstring_view(L"!\"%&'()*+,-./:;<=>?_").find(c) != std::wstring_view::npos;
}

// Characters of the 6-bit component/part reference and of ADI fields.
bool IsCpiCharacter(wchar_t c) {
    return IsUpperAlnum(c) || c == L'#' || c == L'-' || c == L'/';
}

// The characters a URI component writes as %XX: those of the tag data
// standard's escape table, and '#' of the 6-bit fields.
bool NeedsEscape(wchar_t c) {
    return std::wstring_view(L"\"%&/<>?#").find(c) != std::wstring_view::npos;
}

void AppendEscaped(std::wstring& out, std::wstring_view value) {
    for (wchar_t c : value) {
        if (NeedsEscape(c)) {
            out += L'%';
            out += OHex::Digit<wchar_t>(static_cast<unsigned>(c) >> 4);
            out += OHex::Digit<wchar_t>(static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
}

// %XX escapes resolved; a '%' without two digits, or a character that must
// be escaped standing bare, fails.
bool Unescape(std::wstring_view text, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int high = OHex::Value(text[i + 1]);
            const int low = OHex::Value(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            out += static_cast<wchar_t>(high * 16 + low);
            i += 2;
        } else if (NeedsEscape(c)) {
            return false;
        } else {
            out += c;
        }
    }
    return true;
}

// A decimal without leading zeros below 2^bits (bits <= 63).
bool FitsInteger(std::wstring_view text, int bits) {
    if (text.empty() || text.size() > 19 || !AllDigits(text) ||
        (text.size() > 1 && text[0] == L'0')) {
        return false;
    }
    uint64_t value = 0;
    for (wchar_t c : text) {
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return value < (uint64_t{1} << bits);
}

int PrefixBits(size_t prefixDigits) {
    return kEpcCompanyPrefixBits[12 - prefixDigits];
}

template <typename Allowed>
bool AllOf(std::wstring_view text, Allowed allowed) {
    for (wchar_t c : text) {
        if (!allowed(c)) {
            return false;
        }
    }
    return true;
}

// Checks one field against its rule; prefixDigits is the company prefix's
// digit count, 0 before it is known.
EpcNameResult CheckField(const FieldRule& rule, std::wstring_view value, size_t prefixDigits) {
    const char* name = rule.name;
    switch (rule.kind) {
        case Kind::Filter:
            return FitsInteger(value, rule.bits) ? EpcNameResult{} : Bad(name, "out of range");
        case Kind::CompanyPrefix:
            if (value.size() < 6 || value.size() > 12 || !AllDigits(value)) {
                return Bad(name, "not 6 to 12 digits");
            }
            return {};
        case Kind::PrefixDigits:
            if (value.size() + prefixDigits != static_cast<size_t>(rule.bits) ||
                !AllDigits(value)) {
                return Bad(name, "not as many digits as the partition gives");
            }
            return {};
        case Kind::PrefixInteger:
            return FitsInteger(value, rule.bits - PrefixBits(prefixDigits))
                       ? EpcNameResult{}
                       : Bad(name, "not a number that fits, or a leading zero");
        case Kind::PrefixText7: {
            const size_t most = (rule.bits - PrefixBits(prefixDigits)) / 7;
            if (value.empty() || value.size() > most || value.size() + prefixDigits > 30 ||
                !AllOf(value, IsGs1Character)) {
                return Bad(name, "too long, empty, or a character the field cannot carry");
            }
            return {};
        }
        case Kind::PrefixVar6:
            if (value.empty() || value.size() + prefixDigits > 30 ||
                !AllOf(value, IsCpiCharacter)) {
                return Bad(name, "too long, empty, or a character the field cannot carry");
            }
            return {};
        case Kind::Integer:
            return FitsInteger(value, rule.bits)
                       ? EpcNameResult{}
                       : Bad(name, "not a number that fits, or a leading zero");
        case Kind::Text7:
            if (value.empty() || value.size() > static_cast<size_t>(rule.bits / 7) ||
                !AllOf(value, IsGs1Character)) {
                return Bad(name, "too long, empty, or a character the field cannot carry");
            }
            return {};
        case Kind::LeadingOne:
            if (value.empty() || value.size() > static_cast<size_t>(rule.bits) ||
                !AllDigits(value)) {
                return Bad(name, "not 1 to the scheme's number of digits");
            }
            return {};
        case Kind::TwoDigits:
            return value.size() == 2 && AllDigits(value) ? EpcNameResult{}
                                                         : Bad(name, "not two digits");
        case Kind::Cage8:
        case Kind::Cage6:
            if ((value.size() != 5 && value.size() != 6) || !AllOf(value, IsUpperAlnum)) {
                return Bad(name, "not 5 or 6 letters and digits");
            }
            return {};
        case Kind::AdiText: {
            // '#' only as a serial's first character; the serial is the
            // 30-character field.
            const bool serial = rule.bits == 30;
            for (size_t i = 0; i < value.size(); ++i) {
                if (!IsCpiCharacter(value[i]) || (value[i] == L'#' && (!serial || i > 0))) {
                    return Bad(name, "a character the field cannot carry");
                }
            }
            // A part number may be empty, a serial not.
            if ((serial && value.empty()) || value.size() > static_cast<size_t>(rule.bits)) {
                return Bad(name, "empty or too long");
            }
            return {};
        }
    }
    return Bad(name, "unknown");
}

EpcNameResult CheckFields(const Scheme& scheme, const Fields& fields) {
    size_t prefixDigits = 0;
    for (int i = 0; i < scheme.count; ++i) {
        const EpcNameResult result = CheckField(scheme.fields[i], fields[i], prefixDigits);
        if (result.error != EpcNameError::kNone) {
            return result;
        }
        if (scheme.fields[i].kind == Kind::CompanyPrefix) {
            prefixDigits = fields[i].size();
        }
    }
    return {};
}

class HexText final : public EpcHexSink {
public:
    explicit HexText(std::wstring& text) : m_text(text) {}
    wchar_t* Reserve(int64_t count) override {
        m_text.assign(static_cast<size_t>(count), L'0');
        return m_text.data();
    }

private:
    std::wstring& m_text;
};

// Checked fields to the tag through the scheme's layout.
EpcNameResult EncodeFields(const Scheme& scheme, const Fields& fields, std::wstring& hex) {
    if (static_cast<int>(fields.size()) != scheme.count) {
        return Fault(EpcNameError::kInvalidParameter, "", "fields missing or extra");
    }
    const EpcNameResult checked = CheckFields(scheme, fields);
    if (checked.error != EpcNameError::kNone) {
        return checked;
    }
    std::wstring values;
    for (int i = 0; i < scheme.count; ++i) {
        if (i > 0) {
            values += L';';
        }
        // Eight-bit CAGE codes of five characters stand after a space.
        if (scheme.fields[i].kind == Kind::Cage8 && fields[i].size() == 5) {
            values += L' ';
        }
        values += fields[i];
    }
    hex.clear();
    HexText sink(hex);
    EncodeEpc(values, scheme.layout, kEpcDecimal, sink);
    return {};
}

const Scheme* SchemeNamed(std::wstring_view name) {
    for (const Scheme& scheme : kSchemes) {
        if (scheme.name.size() == name.size()) {
            bool same = true;
            for (size_t i = 0; i < name.size() && same; ++i) {
                wchar_t c = name[i];
                same = (c >= L'A' && c <= L'Z' ? c + 32 : c) == scheme.name[i];
            }
            if (same) {
                return &scheme;
            }
        }
    }
    return nullptr;
}

// The digits of the GS1 check digit: weights 3 and 1 from the right.
wchar_t CheckDigit(std::wstring_view digits) {
    int sum = 0;
    int weight = 3;
    for (size_t i = digits.size(); i-- > 0;) {
        sum += (digits[i] - L'0') * weight;
        weight = 4 - weight;
    }
    return static_cast<wchar_t>(L'0' + (10 - sum % 10) % 10);
}

// The element strings' application identifiers of each key: the key's own,
// then the serial or extension that follows it, when the key has one.
struct KeyForm {
    Key key;
    std::wstring_view ai;
    std::wstring_view serialAi;  // empty when the serial is part of the key's value
    int keyDigits;               // digits of the key with its check digit, 0 for none
};
constexpr KeyForm kKeyForms[] = {
    {Key::Sgtin, L"01", L"21", 14},  {Key::Sscc, L"00", L"", 18},
    {Key::Sgln, L"414", L"254", 13}, {Key::Grai, L"8003", L"", 13},
    {Key::Giai, L"8004", L"", 0},    {Key::Gsrn, L"8018", L"", 18},
    {Key::Gsrnp, L"8017", L"", 18},  {Key::Gdti, L"253", L"", 13},
    {Key::Cpi, L"8010", L"8011", 0}, {Key::Sgcn, L"255", L"", 13},
    {Key::Itip, L"8006", L"21", 18},
};

const KeyForm* FormOf(Key key) {
    for (const KeyForm& form : kKeyForms) {
        if (form.key == key) {
            return &form;
        }
    }
    return nullptr;
}

// "(ai)value(ai)value": a value runs to the next "(" that opens one of the
// form's identifiers, so that a serial may hold '(' itself.
bool SplitElement(std::wstring_view text, const KeyForm& form, std::wstring& key,
                  std::wstring& serial, bool& hasSerial) {
    hasSerial = false;
    bool hasKey = false;
    auto opens = [&](size_t at, std::wstring_view& ai) {
        for (std::wstring_view candidate : {form.ai, form.serialAi}) {
            if (!candidate.empty() && text.substr(at, candidate.size() + 2) ==
                                          std::wstring(L"(") + std::wstring(candidate) + L")") {
                ai = candidate;
                return true;
            }
        }
        return false;
    };
    size_t at = 0;
    std::wstring_view ai;
    if (!opens(0, ai)) {
        return false;
    }
    while (at < text.size()) {
        opens(at, ai);
        size_t start = at + ai.size() + 2;
        size_t end = start;
        std::wstring_view next;
        while (end < text.size() && !(text[end] == L'(' && opens(end, next))) {
            ++end;
        }
        std::wstring& target = ai == form.ai ? key : serial;
        bool& seen = ai == form.ai ? hasKey : hasSerial;
        if (seen) {
            return false;
        }
        seen = true;
        target.assign(text.substr(start, end - start));
        at = end;
    }
    return hasKey;
}

// Element string to URI fields (without the filter) for a company prefix of
// prefixDigits digits.
EpcNameResult ElementToFields(Key keyKind, std::wstring_view text, size_t prefixDigits,
                              Fields& fields) {
    const KeyForm* form = FormOf(keyKind);
    if (form == nullptr) {
        return Fault(EpcNameError::kNotSupported, "", "the scheme carries no GS1 key");
    }
    std::wstring key;
    std::wstring serial;
    bool hasSerial = false;
    if (!SplitElement(text, *form, key, serial, hasSerial)) {
        return Fault(EpcNameError::kInvalidParameter, "", "not an element string of the scheme");
    }
    const char* keyName = "GS1 key";
    const size_t digits = static_cast<size_t>(form->keyDigits);
    std::wstring_view whole(key);
    if (keyKind == Key::Grai) {
        // The GRAI's value: a leading 0, the 13 digits, then the serial.
        if (whole.size() < 15 || whole[0] != L'0') {
            return Bad(keyName, "no GRAI with a serial");
        }
        serial.assign(whole.substr(14));
        hasSerial = true;
        whole = whole.substr(1, 13);
    } else if (keyKind == Key::Gdti || keyKind == Key::Sgcn) {
        if (whole.size() <= 13) {
            return Bad(keyName, "no serial after the key");
        }
        serial.assign(whole.substr(13));
        hasSerial = true;
        whole = whole.substr(0, 13);
    }
    if (digits > 0) {
        const size_t checked = keyKind == Key::Itip ? 14 : digits;
        if (whole.size() != digits || !AllDigits(whole)) {
            return Bad(keyName, "not the key's number of digits");
        }
        if (CheckDigit(whole.substr(0, checked - 1)) != whole[checked - 1]) {
            return Bad(keyName, "wrong check digit");
        }
    }
    if (prefixDigits < 6 || prefixDigits > 12 || whole.size() < prefixDigits + 1) {
        return Bad("company prefix", "not 6 to 12 digits of the key");
    }
    switch (keyKind) {
        case Key::Sgtin:
        case Key::Itip:
        case Key::Sscc: {
            // The indicator (extension) digit moves into the item (serial) reference.
            const size_t end = keyKind == Key::Sscc ? 17 : 13;
            fields.emplace_back(whole.substr(1, prefixDigits));
            fields.emplace_back(
                std::wstring(1, whole[0]) +
                std::wstring(whole.substr(1 + prefixDigits, end - 1 - prefixDigits)));
            if (keyKind == Key::Itip) {
                fields.emplace_back(whole.substr(14, 2));
                fields.emplace_back(whole.substr(16, 2));
            }
            break;
        }
        default: {
            // The key's digits after the company prefix, the check digit left out.
            fields.emplace_back(whole.substr(0, prefixDigits));
            const size_t end = digits > 0 ? whole.size() - 1 : whole.size();
            fields.emplace_back(whole.substr(prefixDigits, end - prefixDigits));
            break;
        }
    }
    if (keyKind == Key::Sgln) {
        fields.push_back(hasSerial ? serial : L"0");  // no extension is extension 0
    } else if (keyKind != Key::Sscc && keyKind != Key::Giai && keyKind != Key::Gsrn &&
               keyKind != Key::Gsrnp) {
        if (!hasSerial) {
            return Bad("serial", "missing");
        }
        fields.push_back(serial);
    } else if (hasSerial) {
        return Fault(EpcNameError::kInvalidParameter, "", "not an element string of the scheme");
    }
    return {};
}

// URI fields (without the filter) to the element string.
std::wstring FieldsToElement(Key keyKind, const Fields& fields) {
    const KeyForm* form = FormOf(keyKind);
    if (form == nullptr) {
        return {};
    }
    const std::wstring& prefix = fields[1];
    const std::wstring& reference = fields[2];
    std::wstring key;
    switch (keyKind) {
        case Key::Sgtin:
        case Key::Itip:
        case Key::Sscc:
            key = reference.substr(0, 1) + prefix + reference.substr(1);
            break;
        default:
            key = prefix + reference;
            break;
    }
    if (form->keyDigits > 0) {
        key += CheckDigit(key);
    }
    std::wstring text = L"(" + std::wstring(form->ai) + L")";
    if (keyKind == Key::Grai) {
        text += L"0";
    }
    text += key;
    if (keyKind == Key::Itip) {
        text += fields[3] + fields[4];
    }
    const std::wstring& last = fields.back();
    switch (keyKind) {
        case Key::Sgln:
            if (last != L"0") {
                text += L"(254)" + last;
            }
            break;
        case Key::Grai:
        case Key::Gdti:
        case Key::Sgcn:
            text += last;
            break;
        case Key::Sgtin:
        case Key::Itip:
        case Key::Cpi:
            text += L"(" + std::wstring(form->serialAi) + L")" + last;
            break;
        default:
            break;
    }
    return text;
}

}  // namespace

EpcNameResult EncodeEpcTagUri(std::wstring_view uri, std::wstring& hex) {
    constexpr std::wstring_view kPrefix = L"urn:epc:tag:";
    if (uri.size() < kPrefix.size() || uri.substr(0, kPrefix.size()) != kPrefix) {
        return Fault(EpcNameError::kInvalidParameter, "", "not a tag URI");
    }
    uri.remove_prefix(kPrefix.size());
    const size_t colon = uri.find(L':');
    if (colon == std::wstring_view::npos) {
        return Fault(EpcNameError::kInvalidParameter, "", "not a tag URI");
    }
    const Scheme* scheme = SchemeNamed(uri.substr(0, colon));
    if (scheme == nullptr) {
        return Fault(EpcNameError::kNotSupported, "", "no scheme of that name");
    }
    uri.remove_prefix(colon + 1);
    // The last field takes the rest: only it may hold a '.'.
    Fields fields;
    for (int i = 0; i < scheme->count; ++i) {
        const size_t dot = i + 1 < scheme->count ? uri.find(L'.') : uri.size();
        if (dot == std::wstring_view::npos) {
            return Fault(EpcNameError::kInvalidParameter, "", "fields missing");
        }
        std::wstring value;
        if (!Unescape(uri.substr(0, dot), value)) {
            return Bad(scheme->fields[i].name, "a bad escape, or a character to escape");
        }
        fields.push_back(std::move(value));
        uri.remove_prefix(dot < uri.size() ? dot + 1 : dot);
    }
    return EncodeFields(*scheme, fields, hex);
}

EpcNameResult EncodeEpcElementString(std::wstring_view name, int filter, int prefixDigits,
                                     std::wstring_view element, std::wstring& hex) {
    const Scheme* scheme = SchemeNamed(name);
    if (scheme == nullptr) {
        return Fault(EpcNameError::kNotSupported, "", "no scheme of that name");
    }
    if (filter < 0 || filter > 7) {
        return Bad("filter", "out of range");
    }
    Fields fields{std::to_wstring(filter)};
    const EpcNameResult result = ElementToFields(
        scheme->key, element, prefixDigits < 0 ? 0 : static_cast<size_t>(prefixDigits), fields);
    if (result.error != EpcNameError::kNone) {
        return result;
    }
    return EncodeFields(*scheme, fields, hex);
}

EpcNameResult DecodeEpcNames(std::wstring_view hex, EpcNames& names) {
    // The header: the first two digits, after white space and an optional "0x".
    std::wstring_view rest = hex;
    while (!rest.empty() &&
           (rest[0] == L' ' || rest[0] == L'\t' || rest[0] == L'\r' || rest[0] == L'\n')) {
        rest.remove_prefix(1);
    }
    if (rest.size() >= 2 && rest[0] == L'0' && (rest[1] == L'x' || rest[1] == L'X')) {
        rest.remove_prefix(2);
    }
    if (rest.size() < 2 || OHex::Value(rest[0]) < 0 || OHex::Value(rest[1]) < 0) {
        return Fault(EpcNameError::kInvalidParameter, "", "no hexadecimal tag");
    }
    const int header = OHex::Value(rest[0]) * 16 + OHex::Value(rest[1]);
    const Scheme* scheme = nullptr;
    for (const Scheme& candidate : kSchemes) {
        if (candidate.header == header) {
            scheme = &candidate;
        }
    }
    if (scheme == nullptr) {
        return Fault(EpcNameError::kNotSupported, "header", "names no scheme");
    }
    EpcValueText values;
    const EpcDecodeResult read = DecodeEpc(hex, scheme->layout, kEpcDecimal, values);
    if (read.error != EpcDecodeError::kNone) {
        return Bad("tag", read.reason);
    }
    Fields fields;
    EpcPieces pieces(values.view());
    std::wstring_view piece;
    size_t prefixDigits = 0;
    while (pieces.Next(piece) && static_cast<int>(fields.size()) < scheme->count) {
        const FieldRule& rule = scheme->fields[fields.size()];
        std::wstring value(piece);
        if (rule.kind == Kind::CompanyPrefix) {
            prefixDigits = value.size();
        } else if (rule.kind == Kind::PrefixDigits) {
            // The tag holds the number; the partition gives its digit count.
            const size_t wanted = static_cast<size_t>(rule.bits) - prefixDigits;
            if (value == L"0" && wanted == 0) {
                value.clear();
            } else if (value.size() < wanted) {
                value.insert(0, wanted - value.size(), L'0');
            }
        } else if (rule.kind == Kind::TwoDigits && value.size() == 1) {
            value.insert(0, 1, L'0');
        } else if (rule.kind == Kind::Cage8) {
            if (value.size() != 6) {
                return Bad(rule.name, "not six characters");
            }
            if (value[0] == L' ') {
                value.erase(0, 1);
            }
        }
        fields.push_back(std::move(value));
    }
    if (static_cast<int>(fields.size()) != scheme->count) {
        return Bad("tag", "fields missing");
    }
    const EpcNameResult checked = CheckFields(*scheme, fields);
    if (checked.error != EpcNameError::kNone) {
        return checked;
    }
    names.scheme.assign(scheme->name);
    names.tagUri = L"urn:epc:tag:" + std::wstring(scheme->name) + L":";
    names.idUri = L"urn:epc:id:" + std::wstring(scheme->id) + L":";
    const bool filtered = scheme->fields[0].kind == Kind::Filter;
    for (int i = 0; i < scheme->count; ++i) {
        if (i > 0) {
            names.tagUri += L'.';
        }
        AppendEscaped(names.tagUri, fields[i]);
        if (i > (filtered ? 0 : -1)) {
            if (i > (filtered ? 1 : 0)) {
                names.idUri += L'.';
            }
            AppendEscaped(names.idUri, fields[i]);
        }
    }
    names.element = FieldsToElement(scheme->key, fields);
    return {};
}
