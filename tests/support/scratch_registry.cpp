#include "support/scratch_registry.h"

#include <atomic>

namespace {

bool KeyPresent(HKEY hive, const std::wstring& subkey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

}  // namespace

std::wstring UniqueTestName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

ScratchRegistryKey::ScratchRegistryKey(HKEY hive, const std::wstring& parent, const std::wstring& name)
    : m_hive(hive) {
    // Note which parent levels must be created, so they can be pruned later.
    std::wstring level;
    std::vector<std::wstring> levels;
    size_t start = 0;
    while (start <= parent.size()) {
        size_t end = parent.find(L'\\', start);
        level = parent.substr(0, end == std::wstring::npos ? parent.size() : end);
        levels.push_back(level);
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    for (const std::wstring& each : levels) {
        if (!KeyPresent(hive, each)) {
            m_createdParents.insert(m_createdParents.begin(), each);
        }
    }
    m_name = name.empty() ? UniqueTestName(L"QuorvelTest-") : name;
    m_subkey = parent + L"\\" + m_name;
    HKEY key = nullptr;
    m_valid = ::RegCreateKeyExW(hive, m_subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                &key, nullptr) == ERROR_SUCCESS;
    if (m_valid) {
        ::RegCloseKey(key);
    }
}

ScratchRegistryKey::~ScratchRegistryKey() {
    ::RegDeleteTreeW(m_hive, m_subkey.c_str());
    ::RegDeleteKeyW(m_hive, m_subkey.c_str());
    for (const std::wstring& parent : m_createdParents) {
        ::RegDeleteKeyW(m_hive, parent.c_str());  // fails, as it should, while others still use it
    }
}

std::wstring ScratchRegistryKey::Path() const {
    std::wstring path = m_hive == HKEY_LOCAL_MACHINE ? L"2:" : (m_hive == HKEY_USERS ? L"3:" : L"1:");
    for (wchar_t c : m_subkey) {
        path += c == L'\\' ? L'/' : c;
    }
    return path;
}

std::wstring ScratchRegistryKey::Full(const std::wstring& relativeKey) const {
    return relativeKey.empty() ? m_subkey : m_subkey + L"\\" + relativeKey;
}

bool ScratchRegistryKey::SetRaw(const std::wstring& relativeKey, const std::wstring& value, DWORD type,
                                const void* data, DWORD bytes) const {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(m_hive, Full(relativeKey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG status = ::RegSetValueExW(key, value.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool ScratchRegistryKey::SetDword(const std::wstring& relativeKey, const std::wstring& value, DWORD data) const {
    return SetRaw(relativeKey, value, REG_DWORD, &data, sizeof(data));
}

bool ScratchRegistryKey::SetString(const std::wstring& relativeKey, const std::wstring& value,
                                   const std::wstring& text) const {
    return SetRaw(relativeKey, value, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ScratchRegistryKey::GetRaw(const std::wstring& relativeKey, const std::wstring& value, std::vector<BYTE>& data,
                                DWORD* type) const {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(m_hive, Full(relativeKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = 0;
    DWORD kind = 0;
    LONG status = ::RegQueryValueExW(key, value.c_str(), nullptr, &kind, nullptr, &bytes);
    if (status == ERROR_SUCCESS) {
        data.assign(bytes, 0);
        status = ::RegQueryValueExW(key, value.c_str(), nullptr, &kind, data.data(), &bytes);
        data.resize(bytes);
    }
    ::RegCloseKey(key);
    if (type != nullptr) {
        *type = kind;
    }
    return status == ERROR_SUCCESS;
}

bool ScratchRegistryKey::KeyExists(const std::wstring& relativeKey) const {
    return KeyPresent(m_hive, Full(relativeKey));
}

bool ScratchRegistryKey::CreateKey(const std::wstring& relativeKey) const {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(m_hive, Full(relativeKey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

bool ScratchRegistryKey::ValueExists(const std::wstring& relativeKey, const std::wstring& value) const {
    std::vector<BYTE> data;
    return GetRaw(relativeKey, value, data);
}
