#include "rfid/epc_schemes.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <utility>

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

constexpr const char* kSerial = "serial";
constexpr const char* kItem = "item reference";
constexpr const char* kDocument = "document type";
constexpr const char* kPart = "component/part reference";
constexpr const char* kCage = "CAGE/DoDAAC";
constexpr FieldRule kPiece{Kind::TwoDigits, 7, "piece"};
constexpr FieldRule kTotal{Kind::TwoDigits, 7, "total"};

// The header byte of each scheme is the layout's first entry, a literal; the
// partition is the "3#X" entry before the company prefix. One scheme a line.
// clang-format off
constexpr Scheme kSchemes[] = {
    {0x30, L"sgtin-96", L"sgtin", L"8#30;3;3#X;20:P1;44:P2;38", Key::Sgtin, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, kItem}, {Kind::Integer, 38, kSerial}}},
    {0x36, L"sgtin-198", L"sgtin", L"8#36;3;3#X;20:P1;44:P2;140#EASC7", Key::Sgtin, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, kItem}, {Kind::Text7, 140, kSerial}}},
    {0x31, L"sscc-96", L"sscc", L"8#31;3;3#X;20:P1;58:P2;24#0", Key::Sscc, 3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "serial reference"}}},
    {0x32, L"sgln-96", L"sgln", L"8#32;3;3#X;20:P1;41:P2;41", Key::Sgln, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "location reference"}, {Kind::Integer, 41, "extension"}}},
    {0x39, L"sgln-195", L"sgln", L"8#39;3;3#X;20:P1;41:P2;140#EASC7", Key::Sgln, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "location reference"}, {Kind::Text7, 140, "extension"}}},
    {0x33, L"grai-96", L"grai", L"8#33;3;3#X;20:P1;44:P2;38", Key::Grai, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "asset type"}, {Kind::Integer, 38, kSerial}}},
    {0x37, L"grai-170", L"grai", L"8#37;3;3#X;20:P1;44:P2;112#EASC7", Key::Grai, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "asset type"}, {Kind::Text7, 112, kSerial}}},
    {0x34, L"giai-96", L"giai", L"8#34;3;3#X;20:P1;82:P2", Key::Giai, 3,
     {kFilter, kPrefix, {Kind::PrefixInteger, 82, "asset reference"}}},
    {0x38, L"giai-202", L"giai", L"8#38;3;3#X;20:P1;188#EASC7", Key::Giai, 3,
     {kFilter, kPrefix, {Kind::PrefixText7, 188, "asset reference"}}},
    {0x2D, L"gsrn-96", L"gsrn", L"8#2D;3;3#X;20:P1;58:P2;24#0", Key::Gsrn, 3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "service reference"}}},
    {0x2E, L"gsrnp-96", L"gsrnp", L"8#2E;3;3#X;20:P1;58:P2;24#0", Key::Gsrnp, 3,
     {kFilter, kPrefix, {Kind::PrefixDigits, 17, "service reference"}}},
    {0x2C, L"gdti-96", L"gdti", L"8#2C;3;3#X;20:P1;41:P2;41", Key::Gdti, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, kDocument}, {Kind::Integer, 41, kSerial}}},
    {0x3A, L"gdti-113", L"gdti", L"8#3A;3;3#X;20:P1;41:P2;58#ESN_GDTI113", Key::Gdti, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, kDocument}, {Kind::LeadingOne, 17, kSerial}}},
    {0x3E, L"gdti-174", L"gdti", L"8#3E;3;3#X;20:P1;41:P2;119#EASC7", Key::Gdti, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, kDocument}, {Kind::Text7, 119, kSerial}}},
    {0x3C, L"cpi-96", L"cpi", L"8#3C;3;3#X;20:P1;51:P2;31", Key::Cpi, 4,
     {kFilter, kPrefix, {Kind::PrefixInteger, 51, kPart}, {Kind::Integer, 31, kSerial}}},
    {0x3D, L"cpi-var", L"cpi", L"8#3D;3;3#X;20:P1;0:P2VAR6;40", Key::Cpi, 4,
     {kFilter, kPrefix, {Kind::PrefixVar6, 0, kPart}, {Kind::Integer, 40, kSerial}}},
    {0x3F, L"sgcn-96", L"sgcn", L"8#3F;3;3#X;20:P1;41:P2;41#ESN_SGCN96", Key::Sgcn, 4,
     {kFilter, kPrefix, {Kind::PrefixDigits, 12, "coupon reference"}, {Kind::LeadingOne, 12, kSerial}}},
    {0x40, L"itip-110", L"itip", L"8#40;3;3#X;20:P1;44:P2;7;7;38", Key::Itip, 6,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, kItem}, kPiece, kTotal, {Kind::Integer, 38, kSerial}}},
    {0x41, L"itip-212", L"itip", L"8#41;3;3#X;20:P1;44:P2;7;7;140#EASC7", Key::Itip, 6,
     {kFilter, kPrefix, {Kind::PrefixDigits, 13, kItem}, kPiece, kTotal, {Kind::Text7, 140, kSerial}}},
    {0x35, L"gid-96", L"gid", L"8#35;28;24;36", Key::None, 3,
     {{Kind::Integer, 28, "general manager number"}, {Kind::Integer, 24, "object class"}, {Kind::Integer, 36, kSerial}}},
    {0x2F, L"usdod-96", L"usdod", L"8#2F;4;48#A;36", Key::None, 3,
     {{Kind::Filter, 4, "filter"}, {Kind::Cage8, 48, kCage}, {Kind::Integer, 36, kSerial}}},
    {0x3B, L"adi-var", L"adi", L"8#3B;6;36#ECAGE6;0#EVAR6;0#EVAR6", Key::None, 4,
     {{Kind::Filter, 6, "filter"}, {Kind::Cage6, 36, kCage}, {Kind::AdiText, 32, "part number"}, {Kind::AdiText, 30, kSerial}}},
};
// clang-format on

// The fields of one tag: views into the caller's text, or into the set's own
// store for text made for them (escapes resolved, digits padded), so that a
// tag by name costs no allocation beyond its result.
class FieldSet {
public:
    int Count() const { return m_count; }
    std::wstring_view operator[](int i) const { return m_value[i]; }

    bool Add(std::wstring_view value) {
        if (m_count == kMaxFields) {
            return false;
        }
        m_value[m_count++] = value;
        return true;
    }
    // Room for size characters of made text; null when the store is full.
    wchar_t* Make(size_t size) {
        if (size > kStore - m_used) {
            return nullptr;
        }
        wchar_t* text = m_store + m_used;
        m_used += size;
        return text;
    }
    // Pieces joined into made text; false when the store is full.
    bool AddJoined(std::initializer_list<std::wstring_view> pieces) {
        size_t size = 0;
        for (std::wstring_view piece : pieces) {
            size += piece.size();
        }
        wchar_t* text = Make(size);
        if (text == nullptr) {
            return false;
        }
        wchar_t* at = text;
        for (std::wstring_view piece : pieces) {
            at = std::copy(piece.begin(), piece.end(), at);
        }
        return Add({text, size});
    }

private:
    static constexpr int kMaxFields = 6;
    static constexpr size_t kStore = 512;
    std::wstring_view m_value[kMaxFields];
    int m_count = 0;
    wchar_t m_store[kStore];
    size_t m_used = 0;
};

EpcNameResult Fault(EpcNameError error, const char* field, const char* reason) {
    return {error, field, reason};
}
EpcNameResult Bad(const char* field, const char* reason) {
    return {EpcNameError::kInvalidData, field, reason};
}

// What each ASCII character may be, looked up rather than searched for:
// names are read and written a character at a time.
enum : uint8_t {
    kDigit = 1,
    kUpperAlnum = 2,
    kGs1 = 4,     // the GS1 AI encodable character set 82, less ';'
    kCpi = 8,     // 6-bit component/part references and ADI fields
    kEscape = 16  // written %XX in a URI: the tag data standard's table, and '#'
};
struct CharacterTable {
    uint8_t flags[128];
    constexpr CharacterTable() : flags() {
        for (int c = '0'; c <= '9'; ++c) {
            flags[c] = kDigit | kUpperAlnum | kGs1 | kCpi;
        }
        for (int c = 'A'; c <= 'Z'; ++c) {
            flags[c] = kUpperAlnum | kGs1 | kCpi;
        }
        for (int c = 'a'; c <= 'z'; ++c) {
            flags[c] = kGs1;
        }
        // ';' belongs to the set 82, but the layout's value list cannot carry it.
        for (const char* c = "!\"%&'()*+,-./:<=>?_"; *c != '\0'; ++c) {
            flags[static_cast<int>(*c)] |= kGs1;
        }
        for (const char* c = "#-/"; *c != '\0'; ++c) {
            flags[static_cast<int>(*c)] |= kCpi;
        }
        for (const char* c = "\"%&/<>?#"; *c != '\0'; ++c) {
            flags[static_cast<int>(*c)] |= kEscape;
        }
    }
    constexpr bool Is(wchar_t c, uint8_t flag) const { return c < 128 && (flags[c] & flag) != 0; }
};
constexpr CharacterTable kCharacters;

bool IsDigit(wchar_t c) {
    return kCharacters.Is(c, kDigit);
}
bool IsUpperAlnum(wchar_t c) {
    return kCharacters.Is(c, kUpperAlnum);
}
bool IsGs1Character(wchar_t c) {
    return kCharacters.Is(c, kGs1);
}
bool IsCpiCharacter(wchar_t c) {
    return kCharacters.Is(c, kCpi);
}
bool NeedsEscape(wchar_t c) {
    return kCharacters.Is(c, kEscape);
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
bool AllDigits(std::wstring_view text) {
    return AllOf(text, IsDigit);
}

void AppendEscaped(EpcValueText& out, std::wstring_view value) {
    if (!AllOf(value, [](wchar_t c) { return !NeedsEscape(c); })) {
        for (wchar_t c : value) {
            if (NeedsEscape(c)) {
                const wchar_t escape[] = {L'%', OHex::Digit<wchar_t>(static_cast<unsigned>(c) >> 4),
                                          OHex::Digit<wchar_t>(static_cast<unsigned>(c))};
                out += std::wstring_view(escape, 3);
            } else {
                out += c;
            }
        }
        return;
    }
    out += value;
}

// One URI field with its %XX escapes resolved, added to fields; a '%'
// without two digits, or a character that must be escaped standing bare,
// fails.
bool AddUnescaped(std::wstring_view text, FieldSet& fields) {
    if (text.find(L'%') == std::wstring_view::npos) {
        return AllOf(text, [](wchar_t c) { return !NeedsEscape(c); }) && fields.Add(text);
    }
    wchar_t* out = fields.Make(text.size());
    if (out == nullptr) {
        return false;
    }
    size_t size = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'%') {
            const int high = i + 2 < text.size() ? OHex::Value(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? OHex::Value(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return false;
            }
            out[size++] = static_cast<wchar_t>(high * 16 + low);
            i += 2;
        } else if (NeedsEscape(c)) {
            return false;
        } else {
            out[size++] = c;
        }
    }
    return fields.Add({out, size});
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

// Checks one field against its rule; prefixDigits is the company prefix's
// digit count, 0 before it is known.
EpcNameResult CheckField(const FieldRule& rule, std::wstring_view value, size_t prefixDigits) {
    const char* name = rule.name;
    const char* kTooLong = "too long, empty, or a character the field cannot carry";
    const char* kNumber = "not a number that fits, or a leading zero";
    switch (rule.kind) {
        case Kind::Filter:
            return FitsInteger(value, rule.bits) ? EpcNameResult{} : Bad(name, "out of range");
        case Kind::CompanyPrefix:
            return value.size() < 6 || value.size() > 12 || !AllDigits(value)
                       ? Bad(name, "not 6 to 12 digits")
                       : EpcNameResult{};
        case Kind::PrefixDigits:
            return value.size() + prefixDigits != static_cast<size_t>(rule.bits) ||
                           !AllDigits(value)
                       ? Bad(name, "not as many digits as the partition gives")
                       : EpcNameResult{};
        case Kind::PrefixInteger:
            return FitsInteger(value, rule.bits - PrefixBits(prefixDigits)) ? EpcNameResult{}
                                                                            : Bad(name, kNumber);
        case Kind::PrefixText7: {
            const size_t most = static_cast<size_t>(rule.bits - PrefixBits(prefixDigits)) / 7;
            return value.empty() || value.size() > most || value.size() + prefixDigits > 30 ||
                           !AllOf(value, IsGs1Character)
                       ? Bad(name, kTooLong)
                       : EpcNameResult{};
        }
        case Kind::PrefixVar6:
            return value.empty() || value.size() + prefixDigits > 30 ||
                           !AllOf(value, IsCpiCharacter)
                       ? Bad(name, kTooLong)
                       : EpcNameResult{};
        case Kind::Integer:
            return FitsInteger(value, rule.bits) ? EpcNameResult{} : Bad(name, kNumber);
        case Kind::Text7:
            return value.empty() || value.size() > static_cast<size_t>(rule.bits / 7) ||
                           !AllOf(value, IsGs1Character)
                       ? Bad(name, kTooLong)
                       : EpcNameResult{};
        case Kind::LeadingOne:
            return value.empty() || value.size() > static_cast<size_t>(rule.bits) ||
                           !AllDigits(value)
                       ? Bad(name, "not 1 to the scheme's number of digits")
                       : EpcNameResult{};
        case Kind::TwoDigits:
            return value.size() == 2 && AllDigits(value) ? EpcNameResult{}
                                                         : Bad(name, "not two digits");
        case Kind::Cage8:
        case Kind::Cage6:
            return (value.size() != 5 && value.size() != 6) || !AllOf(value, IsUpperAlnum)
                       ? Bad(name, "not 5 or 6 letters and digits")
                       : EpcNameResult{};
        case Kind::AdiText: {
            // '#' only as a serial's first character; the serial is the
            // 30-character field, and may not be empty as a part number may.
            const bool serial = rule.bits == 30;
            for (size_t i = 0; i < value.size(); ++i) {
                if (!IsCpiCharacter(value[i]) || (value[i] == L'#' && (!serial || i > 0))) {
                    return Bad(name, "a character the field cannot carry");
                }
            }
            return (serial && value.empty()) || value.size() > static_cast<size_t>(rule.bits)
                       ? Bad(name, "empty or too long")
                       : EpcNameResult{};
        }
    }
    return Bad(name, "unknown");
}

EpcNameResult CheckFields(const Scheme& scheme, const FieldSet& fields) {
    if (fields.Count() != scheme.count) {
        return Fault(EpcNameError::kInvalidParameter, "", "fields missing or extra");
    }
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

// Checked fields to the tag through the scheme's layout.
EpcNameResult EncodeFields(const Scheme& scheme, const FieldSet& fields, EpcHexSink& sink) {
    const EpcNameResult checked = CheckFields(scheme, fields);
    if (checked.error != EpcNameError::kNone) {
        return checked;
    }
    // Checked fields are short: at most 30 characters each.
    wchar_t values[256];
    size_t size = 0;
    for (int i = 0; i < scheme.count; ++i) {
        if (i > 0) {
            values[size++] = L';';
        }
        // Eight-bit CAGE codes of five characters stand after a space.
        if (scheme.fields[i].kind == Kind::Cage8 && fields[i].size() == 5) {
            values[size++] = L' ';
        }
        size = static_cast<size_t>(std::copy(fields[i].begin(), fields[i].end(), values + size) -
                                   values);
    }
    EncodeEpc({values, size}, scheme.layout, kEpcDecimal, sink);
    return {};
}

const Scheme* SchemeNamed(std::wstring_view name) {
    for (const Scheme& scheme : kSchemes) {
        if (scheme.name.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            const wchar_t c = name[i];
            same = (c >= L'A' && c <= L'Z' ? c + 32 : c) == scheme.name[i];
        }
        if (same) {
            return &scheme;
        }
    }
    return nullptr;
}

// The GS1 check digit: weights 3 and 1 from the right.
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
    std::wstring_view ai;        // "(01)"
    std::wstring_view serialAi;  // empty when the serial is part of the key's value
    int keyDigits;               // digits of the key with its check digit, 0 for none
};
constexpr KeyForm kKeyForms[] = {
    {Key::Sgtin, L"(01)", L"(21)", 14},  {Key::Sscc, L"(00)", L"", 18},
    {Key::Sgln, L"(414)", L"(254)", 13}, {Key::Grai, L"(8003)", L"", 13},
    {Key::Giai, L"(8004)", L"", 0},      {Key::Gsrn, L"(8018)", L"", 18},
    {Key::Gsrnp, L"(8017)", L"", 18},    {Key::Gdti, L"(253)", L"", 13},
    {Key::Cpi, L"(8010)", L"(8011)", 0}, {Key::Sgcn, L"(255)", L"", 13},
    {Key::Itip, L"(8006)", L"(21)", 18},
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
bool SplitElement(std::wstring_view text, const KeyForm& form, std::wstring_view& key,
                  std::wstring_view& serial, bool& hasSerial) {
    hasSerial = false;
    bool hasKey = false;
    auto opens = [&](size_t at) -> std::wstring_view {
        for (std::wstring_view ai : {form.ai, form.serialAi}) {
            if (!ai.empty() && text.substr(at, ai.size()) == ai) {
                return ai;
            }
        }
        return {};
    };
    size_t at = 0;
    std::wstring_view ai = opens(0);
    if (ai.empty()) {
        return false;
    }
    while (at < text.size()) {
        const size_t start = at + ai.size();
        size_t end = start;
        std::wstring_view next;
        while (end < text.size() && (text[end] != L'(' || (next = opens(end)).empty())) {
            ++end;
        }
        bool& seen = ai == form.ai ? hasKey : hasSerial;
        if (seen) {
            return false;
        }
        seen = true;
        (ai == form.ai ? key : serial) = text.substr(start, end - start);
        at = end;
        ai = next;
    }
    return hasKey;
}

// Element string to URI fields after the filter, for a company prefix of
// prefixDigits digits.
EpcNameResult ElementToFields(Key keyKind, std::wstring_view text, size_t prefixDigits,
                              FieldSet& fields) {
    const KeyForm* form = FormOf(keyKind);
    if (form == nullptr) {
        return Fault(EpcNameError::kNotSupported, "", "the scheme carries no GS1 key");
    }
    std::wstring_view whole;
    std::wstring_view serial;
    bool hasSerial = false;
    if (!SplitElement(text, *form, whole, serial, hasSerial)) {
        return Fault(EpcNameError::kInvalidParameter, "", "not an element string of the scheme");
    }
    const char* keyName = "GS1 key";
    const size_t digits = static_cast<size_t>(form->keyDigits);
    if (keyKind == Key::Grai) {
        // The GRAI's value: a leading 0, the 13 digits, then the serial.
        if (whole.size() < 15 || whole[0] != L'0') {
            return Bad(keyName, "no GRAI with a serial");
        }
        serial = whole.substr(14);
        hasSerial = true;
        whole = whole.substr(1, 13);
    } else if (keyKind == Key::Gdti || keyKind == Key::Sgcn) {
        if (whole.size() <= 13) {
            return Bad(keyName, "no serial after the key");
        }
        serial = whole.substr(13);
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
    bool room = true;
    switch (keyKind) {
        case Key::Sgtin:
        case Key::Itip:
        case Key::Sscc: {
            // The indicator (extension) digit moves into the item (serial) reference.
            const size_t end = keyKind == Key::Sscc ? 17 : 13;
            room = fields.Add(whole.substr(1, prefixDigits)) &&
                   fields.AddJoined({whole.substr(0, 1),
                                     whole.substr(1 + prefixDigits, end - 1 - prefixDigits)});
            if (keyKind == Key::Itip) {
                room = room && fields.Add(whole.substr(14, 2)) && fields.Add(whole.substr(16, 2));
            }
            break;
        }
        default: {
            // The key's digits after the company prefix, the check digit left out.
            const size_t end = digits > 0 ? whole.size() - 1 : whole.size();
            room = fields.Add(whole.substr(0, prefixDigits)) &&
                   fields.Add(whole.substr(prefixDigits, end - prefixDigits));
            break;
        }
    }
    if (keyKind == Key::Sgln) {
        room = room && fields.Add(hasSerial ? serial : L"0");  // no extension is extension 0
    } else if (keyKind != Key::Sscc && keyKind != Key::Giai && keyKind != Key::Gsrn &&
               keyKind != Key::Gsrnp) {
        if (!hasSerial) {
            return Bad("serial", "missing");
        }
        room = room && fields.Add(serial);
    } else if (hasSerial) {
        return Fault(EpcNameError::kInvalidParameter, "", "not an element string of the scheme");
    }
    return room ? EpcNameResult{} : Bad("", "too long");
}

// URI fields to the element string; nothing for a scheme without a key.
void AppendElement(EpcValueText& text, Key keyKind, const FieldSet& fields) {
    const KeyForm* form = FormOf(keyKind);
    if (form == nullptr) {
        return;
    }
    const std::wstring_view prefix = fields[1];
    const std::wstring_view reference = fields[2];
    text += form->ai;
    if (keyKind == Key::Grai) {
        text += L'0';
    }
    const size_t key = text.size();
    switch (keyKind) {
        case Key::Sgtin:
        case Key::Itip:
        case Key::Sscc:
            text += reference.substr(0, 1);
            text += prefix;
            text += reference.substr(1);
            break;
        default:
            text += prefix;
            text += reference;
            break;
    }
    if (form->keyDigits > 0) {
        text += CheckDigit(text.view().substr(key));
    }
    if (keyKind == Key::Itip) {
        text += fields[3];
        text += fields[4];
    }
    const std::wstring_view last = fields[fields.Count() - 1];
    switch (keyKind) {
        case Key::Sgln:
            if (last != L"0") {
                text += form->serialAi;
                text += last;
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
            text += form->serialAi;
            text += last;
            break;
        default:
            break;
    }
}

// A tag read into its scheme and fields, checked as an encoder would check
// them, so that what reads back encodes to the same tag.
class ReadTag {
public:
    EpcNameResult Read(std::wstring_view hex) {
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
        for (const Scheme& candidate : kSchemes) {
            if (candidate.header == header) {
                m_scheme = &candidate;
            }
        }
        if (m_scheme == nullptr) {
            return Fault(EpcNameError::kNotSupported, "header", "names no scheme");
        }
        const EpcDecodeResult read = DecodeEpc(hex, m_scheme->layout, kEpcDecimal, m_values);
        if (read.error != EpcDecodeError::kNone) {
            return Bad("tag", read.reason);
        }
        EpcPieces pieces(m_values.view());
        std::wstring_view piece;
        size_t prefixDigits = 0;
        while (pieces.Next(piece) && m_fields.Count() < m_scheme->count) {
            const FieldRule& rule = m_scheme->fields[m_fields.Count()];
            size_t wanted = 0;  // digits, zeros in front up to it
            if (rule.kind == Kind::CompanyPrefix) {
                prefixDigits = piece.size();
            } else if (rule.kind == Kind::PrefixDigits) {
                // The tag holds the number; the partition gives its digit count.
                wanted = static_cast<size_t>(rule.bits) - prefixDigits;
                if (piece == L"0" && wanted == 0) {
                    piece = {};
                }
            } else if (rule.kind == Kind::TwoDigits) {
                wanted = 2;
            } else if (rule.kind == Kind::Cage8) {
                if (piece.size() != 6) {
                    return Bad(rule.name, "not six characters");
                }
                if (piece[0] == L' ') {
                    piece.remove_prefix(1);
                }
            }
            const bool added = piece.size() < wanted
                                   ? m_fields.AddJoined({std::wstring_view(L"000000000000000000")
                                                             .substr(0, wanted - piece.size()),
                                                         piece})
                                   : m_fields.Add(piece);
            if (!added) {
                return Bad("tag", "too long");
            }
        }
        return CheckFields(*m_scheme, m_fields);
    }

    void Append(EpcNameKind kind, EpcValueText& out) const {
        const bool filtered = m_scheme->fields[0].kind == Kind::Filter;
        switch (kind) {
            case EpcNameKind::kScheme:
                out += m_scheme->name;
                break;
            case EpcNameKind::kTagUri:
                out += L"urn:epc:tag:";
                out += m_scheme->name;
                AppendFields(out, 0);
                break;
            case EpcNameKind::kIdUri:
                out += L"urn:epc:id:";
                out += m_scheme->id;
                AppendFields(out, filtered ? 1 : 0);
                break;
            case EpcNameKind::kElement:
                AppendElement(out, m_scheme->key, m_fields);
                break;
        }
    }

private:
    void AppendFields(EpcValueText& out, int first) const {
        for (int i = first; i < m_fields.Count(); ++i) {
            out += i == first ? L':' : L'.';
            AppendEscaped(out, m_fields[i]);
        }
    }

    const Scheme* m_scheme = nullptr;
    EpcValueText m_values;
    FieldSet m_fields;
};

}  // namespace

EpcNameResult EncodeEpcTagUri(std::wstring_view uri, EpcHexSink& sink) {
    constexpr std::wstring_view kPrefix = L"urn:epc:tag:";
    if (uri.substr(0, kPrefix.size()) != kPrefix) {
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
    FieldSet fields;
    for (int i = 0; i < scheme->count; ++i) {
        const size_t dot = i + 1 < scheme->count ? uri.find(L'.') : uri.size();
        if (dot == std::wstring_view::npos) {
            return Fault(EpcNameError::kInvalidParameter, "", "fields missing");
        }
        if (!AddUnescaped(uri.substr(0, dot), fields)) {
            return Bad(scheme->fields[i].name, "a bad escape, or a character to escape");
        }
        uri.remove_prefix(dot < uri.size() ? dot + 1 : dot);
    }
    return EncodeFields(*scheme, fields, sink);
}

EpcNameResult EncodeEpcElementString(std::wstring_view name, int filter, int prefixDigits,
                                     std::wstring_view element, EpcHexSink& sink) {
    const Scheme* scheme = SchemeNamed(name);
    if (scheme == nullptr) {
        return Fault(EpcNameError::kNotSupported, "", "no scheme of that name");
    }
    if (filter < 0 || filter > 7) {
        return Bad("filter", "out of range");
    }
    FieldSet fields;
    const wchar_t digit = static_cast<wchar_t>(L'0' + filter);
    fields.AddJoined({std::wstring_view(&digit, 1)});
    const EpcNameResult result = ElementToFields(
        scheme->key, element, prefixDigits < 0 ? 0 : static_cast<size_t>(prefixDigits), fields);
    if (result.error != EpcNameError::kNone) {
        return result;
    }
    return EncodeFields(*scheme, fields, sink);
}

EpcNameResult DecodeEpcName(std::wstring_view hex, EpcNameKind kind, EpcValueText& name) {
    ReadTag tag;
    const EpcNameResult result = tag.Read(hex);
    if (result.error == EpcNameError::kNone) {
        tag.Append(kind, name);
    }
    return result;
}

EpcNameResult DecodeEpcNames(std::wstring_view hex, EpcNames& names) {
    ReadTag tag;
    const EpcNameResult result = tag.Read(hex);
    if (result.error == EpcNameError::kNone) {
        const std::pair<EpcNameKind, std::wstring*> kinds[] = {
            {EpcNameKind::kScheme, &names.scheme},
            {EpcNameKind::kTagUri, &names.tagUri},
            {EpcNameKind::kIdUri, &names.idUri},
            {EpcNameKind::kElement, &names.element}};
        for (const auto& [kind, name] : kinds) {
            EpcValueText text;
            tag.Append(kind, text);
            name->assign(text.view());
        }
    }
    return result;
}
