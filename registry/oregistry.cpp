#include "registry/oregistry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/handles.h"
#include "registry/registry_path.h"

namespace {

// Key names are at most 255 characters; RegEnumKeyW wants room for the NUL.
constexpr DWORD kKeyNameChars = 261;

// GetString's first read: 8190 bytes into an 8192-byte zeroed buffer, so the
// text always ends in a NUL however the value was stored.
constexpr int32_t kStringBufferBytes = 8192;
constexpr int32_t kStringReadBytes = 8190;
// The single retry for longer values.
constexpr int32_t kLongStringBufferBytes = 0x20000;
constexpr int32_t kLongStringReadBytes = 0x1FFFE;

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

// Reads a value as UTF-16 text from a zeroed buffer of bufferBytes, asking for
// readBytes (two less, so a terminator always remains).
int32_t ReadText(ORegistry& registry, const OString& name, int32_t bufferBytes, int32_t readBytes,
                 OString& text) {
    std::vector<wchar_t> buffer(static_cast<size_t>(bufferBytes) / sizeof(wchar_t), L'\0');
    int32_t result = registry.GetValue(name, buffer.data(), readBytes);
    if (result > 0) {
        text = OString(buffer.data());
    }
    return result;
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

int32_t ORegistry::GetValue(const OString& name, void* buffer, int32_t size) {
    OString key = m_keyPath;
    OString valueName = name;
    if (!ParsePath(key, valueName)) {
        return kBadPath;
    }
    ORegKey handle = OpenKey(key, false);
    if (!handle) {
        return kNoKey;
    }
    if (size < 0 || buffer == nullptr) {
        size = 0;
    }
    // The caller's buffer sees only a finished read: after ERROR_MORE_DATA the
    // registry may have left part of the data in the buffer it was given.
    std::vector<uint8_t> scratch(static_cast<size_t>(size) + 1, 0);
    int32_t bytes = size;
    int32_t result = QueryRaw(handle.Get(), valueName, scratch.data(), bytes);
    if (result > 0) {
        std::memcpy(buffer, scratch.data(), static_cast<size_t>(std::min(result, size)));
    }
    return result;
}

OString ORegistry::GetString(const OString& name, const OString& defaultValue) {
    OString text;
    int32_t result = ReadText(*this, name, kStringBufferBytes, kStringReadBytes, text);
    if (result > 0) {
        return text;
    }
    if (result == kMoreData &&
        ReadText(*this, name, kLongStringBufferBytes, kLongStringReadBytes, text) > 0) {
        return text;
    }
    return defaultValue;
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

int32_t ORegistry::QueryRaw(HKEY key, const OString& name, void* buffer, int32_t& size) {
    if (key == nullptr || size < 0 || (buffer == nullptr && size > 0)) {
        return kCallFailed;
    }
    // Never null data: with null data RegQueryValueExW reports success and the
    // size instead of ERROR_MORE_DATA.
    uint8_t spare = 0;
    DWORD bytes = static_cast<DWORD>(size);
    LONG status = ::RegQueryValueExW(key, name.GetWide(), nullptr, nullptr,
                                     size > 0 ? static_cast<BYTE*>(buffer) : &spare, &bytes);
    if (status == ERROR_MORE_DATA) {
        size = static_cast<int32_t>(std::min<DWORD>(bytes, INT32_MAX));
        return kMoreData;
    }
    if (status != ERROR_SUCCESS) {
        return kCallFailed;
    }
    size = static_cast<int32_t>(bytes);
    return size;
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
