#include "registry/oregistry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "registry/registry_path.h"

namespace {

// Key names are at most 255 characters; RegEnumKeyW wants room for the NUL.
constexpr DWORD kKeyNameChars = 261;

// GetString's first guess, and the most it reads.
constexpr DWORD kStringFirstBytes = 8190;
constexpr DWORD kStringMaxBytes = 0x1FFFE;

HKEY HiveKey(int32_t hive) {
    switch (hive) {
        case RegistryPath::kClassesRoot:
            return HKEY_CLASSES_ROOT;
        case RegistryPath::kCurrentUser:
            return HKEY_CURRENT_USER;
        case RegistryPath::kLocalMachine:
            return HKEY_LOCAL_MACHINE;
        case RegistryPath::kUsers:
            return HKEY_USERS;
        default:
            return nullptr;
    }
}

}  // namespace

void ORegistry::ResolveRoots(OString& path) {
    RegistryPath::ResolveStandardRoots(path);
}

ORegKey ORegistry::OpenKey(const OString& resolvedPath, bool create) {
    HKEY hive = nullptr;
    OString subkey;
    if (!SplitRoot(resolvedPath, hive, subkey)) {
        return ORegKey();
    }
    // Each attempt gets a fresh slot: a failed call is not trusted to leave it
    // null, and the owner must never close what a failed call left there.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(hive, subkey.GetWide(), 0, kReadWrite | m_extraAccess, &key) ==
        ERROR_SUCCESS) {
        return ORegKey(key);
    }
    // Keys a normal user may read but not write (most of HKLM) still open for reading.
    key = nullptr;
    if (::RegOpenKeyExW(hive, subkey.GetWide(), 0, kReadOnly | m_extraAccess, &key) ==
        ERROR_SUCCESS) {
        return ORegKey(key);
    }
    key = nullptr;
    if (create &&
        ::RegCreateKeyExW(hive, subkey.GetWide(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          kReadWrite | m_extraAccess, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        return ORegKey(key);
    }
    return ORegKey();
}

bool ORegistry::ParsePath(OString& key, OString& name) {
    if (!RegistryPath::SplitValuePath(key, name)) {
        return false;
    }
    ResolveRoots(key);
    return true;
}

int32_t ORegistry::Read(const OString& name, std::vector<uint8_t>& data, DWORD firstBytes,
                        DWORD maxBytes) {
    OString key = m_keyPath;
    OString valueName = name;
    if (!ParsePath(key, valueName)) {
        return kBadPath;
    }
    ORegKey handle = OpenKey(key, false);
    return handle ? QueryRaw(handle.Get(), valueName, data, firstBytes, maxBytes) : kNoKey;
}

int32_t ORegistry::GetValue(const OString& name, void* buffer, int32_t size) {
    if (size < 0 || buffer == nullptr) {
        size = 0;
    }
    // The caller's buffer sees only a finished read: after ERROR_MORE_DATA the
    // registry may have left part of the data in the buffer it was given.
    std::vector<uint8_t> data;
    int32_t result = Read(name, data, static_cast<DWORD>(size), static_cast<DWORD>(size));
    if (result > 0) {
        std::memcpy(buffer, data.data(), data.size());
    }
    return result;
}

OString ORegistry::GetString(const OString& name, const OString& defaultValue) {
    std::vector<uint8_t> data;
    return Read(name, data, kStringFirstBytes, kStringMaxBytes) > 0 ? TextOf(data) : defaultValue;
}

uint32_t ORegistry::GetNumber(const OString& name, uint32_t defaultValue) {
    uint32_t value = 0;
    return GetValue(name, &value, sizeof(value)) == static_cast<int32_t>(sizeof(value))
               ? value
               : defaultValue;
}

uint8_t ORegistry::GetByte(const OString& name, uint8_t defaultValue) {
    uint8_t value = 0;
    return GetValue(name, &value, 1) == 1 ? value : defaultValue;
}

int32_t ORegistry::SetValue(const OString& name, const void* data, int32_t length, DWORD type) {
    if (length < 0 || (data == nullptr && length > 0)) {
        return -1;
    }
    OString key = m_keyPath;
    OString valueName = name;
    if (!ParsePath(key, valueName)) {
        return -1;
    }
    ORegKey handle = OpenKey(key, true);
    if (!handle) {
        return -1;
    }
    return WriteRaw(handle.Get(), valueName, data, length, type);
}

bool ORegistry::SetNumber(const OString& name, uint32_t value) {
    return SetValue(name, &value, sizeof(value), REG_DWORD) == static_cast<int32_t>(sizeof(value));
}

int32_t ORegistry::SetBinary(const OString& name, const void* data, int32_t length) {
    return SetValue(name, data, length, REG_BINARY);
}

bool ORegistry::KeyExists(const OString& name) {
    OString key = m_keyPath;
    OString valueName = name;
    if (!ParsePath(key, valueName)) {
        return false;
    }
    ORegKey handle = OpenKey(RegistryPath::JoinKey(key, EscapeName(valueName)), false);
    DWORD subkeys = 0;
    DWORD values = 0;
    return handle && QueryCounts(handle.Get(), subkeys, values);
}

int32_t ORegistry::EnumerateKeys(const OString& path, OStringArray& names) {
    OString key = path;
    OString empty;
    if (!ParsePath(key, empty)) {
        return -1;
    }
    ORegKey handle = OpenKey(key, false);
    if (!handle) {
        return -1;
    }
    names.RemoveAll();
    std::vector<OString> found;
    OString name;
    for (DWORD index = 0; EnumKeyAt(handle.Get(), index, name); ++index) {
        found.push_back(name);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const OString& a, const OString& b) { return a.Compare(b) < 0; });
    for (const OString& each : found) {
        names.Add(each);
    }
    return names.GetCount();
}

bool ORegistry::Delete(const OString& name, bool recursive) {
    OString key = m_keyPath;
    OString valueName = name;
    if (!ParsePath(key, valueName)) {
        return false;
    }
    OString fullPath =
        valueName.IsEmpty() ? key : RegistryPath::JoinKey(key, EscapeName(valueName));
    if (!KeyExists(fullPath)) {
        return DeleteAt(key, valueName, false);
    }
    if (recursive) {
        // Children first, in sorted order; each inner deletion recurses, so the
        // deepest keys go first. Their results are not looked at: the final
        // deletion fails anyway when a child survived.
        OStringArray children;
        if (EnumerateKeys(fullPath, children) > 0) {
            for (int32_t i = 0; i < children.GetCount(); ++i) {
                Delete(RegistryPath::JoinKey(fullPath, EscapeName(children[i])), true);
            }
        }
    }
    return DeleteAt(key, valueName, true);
}

OString ORegistry::EscapeName(const OString& text) {
    return RegistryPath::EscapeName(text);
}

OString ORegistry::UnescapeName(const OString& text) {
    return RegistryPath::UnescapeName(text);
}

void ORegistry::ReplaceRoot(OString& path, const OString& alias, const OString& replacement) {
    RegistryPath::ReplaceRoot(path, alias, replacement);
}

bool ORegistry::SplitRoot(const OString& resolvedPath, HKEY& hive, OString& subkey) {
    int32_t number = -1;
    if (!RegistryPath::SplitRoot(resolvedPath, number, subkey)) {
        return false;
    }
    hive = HiveKey(number);
    return hive != nullptr;
}

bool ORegistry::DeleteAt(const OString& resolvedPath, const OString& name, bool isKey) {
    ORegKey handle = OpenKey(resolvedPath, false);
    if (!handle) {
        return false;
    }
    // An empty subkey name makes RegDeleteKeyW delete the opened key itself.
    LONG status = isKey ? ::RegDeleteKeyW(handle.Get(), name.GetWide())
                        : ::RegDeleteValueW(handle.Get(), name.GetWide());
    return status == ERROR_SUCCESS;
}

int32_t ORegistry::WriteRaw(HKEY key, const OString& name, const void* data, int32_t length,
                            DWORD type) {
    if (key == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return -1;
    }
    LONG status = ::RegSetValueExW(key, name.GetWide(), 0, type, static_cast<const BYTE*>(data),
                                   static_cast<DWORD>(length));
    return status == ERROR_SUCCESS ? length : -1;
}

int32_t ORegistry::QueryRaw(HKEY key, const OString& name, std::vector<uint8_t>& data,
                            DWORD firstBytes, DWORD maxBytes) {
    data.clear();
    if (key == nullptr) {
        return kCallFailed;
    }
    // The helper's buffer is never null, even for 0 bytes: with null data
    // RegQueryValueExW reports success and the size instead of ERROR_MORE_DATA.
    DWORD error = ERROR_SUCCESS;
    auto query = [&](uint8_t* buffer, DWORD size, DWORD* needed) {
        *needed = size;
        return static_cast<DWORD>(
            ::RegQueryValueExW(key, name.GetWide(), nullptr, nullptr, buffer, needed));
    };
    if (OQueryStatusBuffer(data, query, &error, firstBytes, std::min<DWORD>(maxBytes, INT32_MAX))) {
        return static_cast<int32_t>(data.size());
    }
    // Only the cap ends a read with this code: the value holds more.
    return error == ERROR_INSUFFICIENT_BUFFER ? kMoreData : kCallFailed;
}

OString ORegistry::TextOf(const std::vector<uint8_t>& data) {
    std::vector<wchar_t> text((data.size() + 1) / sizeof(wchar_t) + 1, L'\0');
    if (!data.empty()) {
        std::memcpy(text.data(), data.data(), data.size());
    }
    return OString(text.data());
}

bool ORegistry::QueryCounts(HKEY key, DWORD& subkeys, DWORD& values) {
    return key != nullptr &&
           ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                              nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool ORegistry::EnumKeyAt(HKEY key, DWORD index, OString& name) {
    wchar_t buffer[kKeyNameChars] = {};
    if (key == nullptr || ::RegEnumKeyW(key, index, buffer, kKeyNameChars) != ERROR_SUCCESS) {
        return false;
    }
    buffer[kKeyNameChars - 1] = L'\0';
    name = OString(buffer);
    return true;
}
