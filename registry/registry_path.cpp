#include "registry/registry_path.h"
#include "core/hex.h"
#include "core/text_scan.h"

#include <cwchar>
#include <string>

namespace {

using Text = std::wstring;

Text ToText(const OString& s) {
    return Text(s.GetWide());
}

OString FromText(const Text& t) {
    return OString(t.c_str());
}

bool EqualNoCase(const wchar_t* a, const wchar_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (OText::FoldAscii(a[i]) != OText::FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// The separator escapes of written text, "%%" first: "%%" -> "%25", "//" ->
// "%2F", "::" -> "%3A", then every '\' -> '/'.
void EncodeSeparatorsText(Text& text) {
    OText::ReplaceAll<wchar_t>(text, L"%%", L"%25");
    OText::ReplaceAll<wchar_t>(text, L"//", L"%2F");
    OText::ReplaceAll<wchar_t>(text, L"::", L"%3A");
    for (wchar_t& c : text) {
        if (c == L'\\') {
            c = L'/';
        }
    }
}

Text UnescapeText(Text text) {
    if (text.size() <= 2) {
        return text;
    }
    // The length is taken anew on every turn: each decoded escape shortens
    // the text by two, and the bound keeps both digits inside it.
    for (size_t pos = 0; pos + 2 < text.size(); ++pos) {
        if (text[pos] != L'%') {
            continue;
        }
        auto decoded = static_cast<wchar_t>(
            (OHex::LenientValue(text[pos + 1]) * 16 + OHex::LenientValue(text[pos + 2])) & 0xFFFF);
        if (decoded == L'\0') {
            // A NUL would end the name for every registry call, so "2:SOFTWARE%00x"
            // would open, write or delete SOFTWARE itself; the escape stays text.
            continue;
        }
        text.erase(pos, 3);
        text.insert(pos, 1, decoded);
    }
    return text;
}

// Applied in this order; "USERS:" must stand before "USER:".
constexpr RegistryPath::RootAlias kStandardRoots[] = {
    {L"CLASSES_ROOT:", L"0:"},
    {L"CURRENT_USER:", L"1:"},
    {L"LOCAL_MACHINE:", L"2:"},
    {L"USERS:", L"3:"},
    {L"USER:", RegistryPath::kUserDrivers},
    {L"LOCAL:", RegistryPath::kLocalDrivers},
    {L"GLOBAL:", L"2:SOFTWARE/Brantheon/Drivers/Global Settings"},
    {L"CONTROL:", L"2:SYSTEM/CurrentControlSet/Control"},
    {L"PRINT:", RegistryPath::kPrintKey},
    {L"ENUM:", L"2:SYSTEM/CurrentControlSet/Enum"},
};

void ReplaceRootText(Text& path, const Text& alias, const Text& replacement) {
    if (path.size() == alias.size() && EqualNoCase(path.c_str(), alias.c_str(), path.size())) {
        path = replacement;
        return;
    }
    size_t colon = alias.find(L':');
    if (colon != Text::npos) {
        size_t head = colon + 1;
        if (path.size() >= head && EqualNoCase(path.c_str(), alias.c_str(), head)) {
            Text rest = path.substr(head);
            bool bare =
                !replacement.empty() && (replacement.back() == L'/' || replacement.back() == L':');
            path = replacement + (bare ? L"" : L"/") + rest;
        }
        return;
    }
    OText::ReplaceAll<wchar_t>(path, alias, replacement);
}

}  // namespace

namespace RegistryPath {

OString EscapeName(const OString& text) {
    Text t = ToText(text);
    OText::ReplaceAll<wchar_t>(t, L"%", L"%25");
    OText::ReplaceAll<wchar_t>(t, L"/", L"%2F");
    OText::ReplaceAll<wchar_t>(t, L":", L"%3A");
    return FromText(t);
}

OString UnescapeName(const OString& text) {
    return FromText(UnescapeText(ToText(text)));
}

void ReplaceRoot(OString& path, const OString& alias, const OString& replacement) {
    Text t = ToText(path);
    ReplaceRootText(t, ToText(alias), ToText(replacement));
    path = FromText(t);
}

void ApplyAliases(OString& path, std::span<const RootAlias> table) {
    Text t = ToText(path);
    for (const RootAlias& row : table) {
        ReplaceRootText(t, row.alias, row.replacement);
    }
    path = FromText(t);
}

bool StartsWithNoCase(const OString& text, const wchar_t* prefix) {
    Text t = ToText(text);
    size_t length = std::wcslen(prefix);
    return t.size() >= length && EqualNoCase(t.c_str(), prefix, length);
}

void ResolveStandardRoots(OString& path) {
    if (std::wcschr(path.GetWide(), L':') != nullptr) {
        ApplyAliases(path, kStandardRoots);
    }
}

bool SplitValuePath(OString& key, OString& name) {
    Text k = ToText(key);
    Text n = ToText(name);
    bool nameEmpty = n.empty();
    EncodeSeparatorsText(k);
    if (!nameEmpty) {
        EncodeSeparatorsText(n);
    }
    Text combined;
    size_t nameColon = n.find(L':', 1);
    if (!nameEmpty && nameColon != Text::npos) {
        combined = n;  // an absolute name: the key plays no part
    } else {
        combined = k;
        while (!combined.empty() && combined.back() == L'/') {
            combined.pop_back();
        }
        if (!nameEmpty) {
            if (!combined.empty() && combined.back() != L':') {
                combined += L'/';
            }
            combined += n;
        }
    }
    size_t split = combined.find_last_of(L":/");
    if (split == Text::npos) {
        return false;
    }
    if (nameEmpty) {
        key = FromText(combined);
        return true;
    }
    key = FromText(combined.substr(0, combined[split] == L':' ? split + 1 : split));
    name = FromText(UnescapeText(combined.substr(split + 1)));
    return true;
}

OString JoinKey(const OString& key, const OString& escapedName) {
    Text k = ToText(key);
    if (!k.empty() && k.back() != L':' && k.back() != L'/') {
        k += L'/';
    }
    k += ToText(escapedName);
    return FromText(k);
}

bool SplitRoot(const OString& resolved, int32_t& hive, OString& subkey) {
    Text t = ToText(resolved);
    size_t colon = t.find(L':');
    if (colon == Text::npos || colon == 0) {
        return false;
    }
    // Leading decimal digits; saturate so that a long run cannot wrap into range.
    int64_t number = 0;
    for (size_t i = 0; i < colon && t[i] >= L'0' && t[i] <= L'9'; ++i) {
        number = number * 10 + (t[i] - L'0');
        if (number > 1000) {
            number = 1000;
        }
    }
    if (number < kClassesRoot || number > kUsers) {
        return false;
    }
    Text rest = t.substr(colon + 1);
    for (wchar_t& c : rest) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    rest = UnescapeText(rest);
    while (!rest.empty() && rest.back() == L'\\') {
        rest.pop_back();
    }
    if (rest.empty()) {
        return false;
    }
    hive = static_cast<int32_t>(number);
    subkey = FromText(rest);
    return true;
}

}  // namespace RegistryPath
