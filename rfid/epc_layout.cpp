#include "rfid/epc_layout.h"

namespace {

struct TypeName {
    std::wstring_view name;
    EpcKind kind;
    int mode;
};

// Whole types, compared with the entire type text.
constexpr TypeName kColonTypes[] = {{L"P1", EpcKind::CompanyPrefix, 0},
                                    {L"P2", EpcKind::AfterPrefix, 0},
                                    {L"P2VAR6", EpcKind::PrefixVar6, 0}};
constexpr TypeName kModeTypes[] = {{L"H", EpcKind::Mode, kEpcHex},
                                   {L"A", EpcKind::Mode, kEpcText},
                                   {L"D", EpcKind::Mode, kEpcDecimal},
                                   {L"B", EpcKind::Mode, kEpcBinary}};
// Searched for inside a type beginning with E, in this order.
constexpr TypeName kEncodingTypes[] = {
    {L"UID64", EpcKind::Uid64, 0},       {L"ASC7", EpcKind::Asc7, 0},
    {L"SN_GDTI113", EpcKind::Serial, 0}, {L"SN_SGCN96", EpcKind::Serial, 0},
    {L"CAGE6", EpcKind::Cage6, 0},       {L"VAR6", EpcKind::Var6, 0}};

template <size_t N>
const TypeName* Whole(const TypeName (&names)[N], std::wstring_view type) {
    for (const TypeName& name : names) {
        if (type == name.name) {
            return &name;
        }
    }
    return nullptr;
}

int64_t Width(std::wstring_view entry, size_t length) {
    int64_t width = OText::ParseInt(entry.data(), length);
    return width < 0 ? 0 : width;
}

}  // namespace

EpcEntry ReadEpcEntry(std::wstring_view text) {
    EpcEntry entry;
    const size_t colon = text.find(L':');
    const size_t hash = text.find(L'#');
    if (colon != std::wstring_view::npos && colon > 0) {
        entry.width = Width(text, colon);
        entry.type = text.substr(colon + 1);
        const TypeName* name = Whole(kColonTypes, entry.type);
        entry.kind = name != nullptr ? name->kind : EpcKind::Literal;
        return entry;
    }
    if (hash == std::wstring_view::npos || hash == 0) {
        entry.width = Width(text, text.size());
        return entry;
    }
    entry.hash = true;
    entry.width = Width(text, hash);
    entry.type = text.substr(hash + 1);
    entry.kind = EpcKind::Literal;
    if (const TypeName* mode = Whole(kModeTypes, entry.type)) {
        entry.kind = mode->kind;
        entry.mode = mode->mode;
    } else if (!entry.type.empty() && entry.type[0] == L'E') {
        for (const TypeName& name : kEncodingTypes) {
            if (entry.type.find(name.name) != std::wstring_view::npos) {
                entry.kind = name.kind;
                break;
            }
        }
    }
    return entry;
}
