#include "support/scratch_registry.h"

#include <atomic>
#include <cstring>

#include "core/handles.h"

namespace {

bool KeyPresent(HKEY hive, const std::wstring& subkey) {
    ORegKey key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

ORegKey CreateOrOpen(HKEY hive, const std::wstring& subkey) {
    ORegKey key;
    if (::RegCreateKeyExW(hive, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        key.Reset();
    }
    return key;
}

}  // namespace

std::wstring UniqueTestName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

ScratchRegistryKey::ScratchRegistryKey(HKEY hive, const std::wstring& parent,
                                       const std::wstring& name)
    : m_hive(hive) {
    // Note which parent levels must be created, so they can be pruned later.
    for (size_t end = parent.find(L'\\');; end = parent.find(L'\\', end + 1)) {
        std::wstring level = parent.substr(0, end);
        if (!KeyPresent(hive, level)) {
            m_createdParents.insert(m_createdParents.begin(), level);
        }
        if (end == std::wstring::npos) {
            break;
        }
    }
    m_name = name.empty() ? UniqueTestName(L"QuorvelTest-") : name;
    m_subkey = parent + L"\\" + m_name;
    // Another test program may prune a shared parent at the moment this one
    // creates a key under it (Wine then fails the creation); a retry creates
    // the parent afresh.
    for (int attempt = 0; attempt < 5 && !m_valid; ++attempt) {
        if (attempt > 0) {
            ::Sleep(20);
        }
        m_valid = static_cast<bool>(CreateOrOpen(hive, m_subkey));
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
    std::wstring path =
        m_hive == HKEY_LOCAL_MACHINE ? L"2:" : (m_hive == HKEY_USERS ? L"3:" : L"1:");
    for (wchar_t c : m_subkey) {
        path += c == L'\\' ? L'/' : c;
    }
    return path;
}

std::wstring ScratchRegistryKey::Full(const std::wstring& relativeKey) const {
    return relativeKey.empty() ? m_subkey : m_subkey + L"\\" + relativeKey;
}

bool ScratchRegistryKey::SetRaw(const std::wstring& relativeKey, const std::wstring& value,
                                DWORD type, const void* data, DWORD bytes) const {
    ORegKey key = CreateOrOpen(m_hive, Full(relativeKey));
    return key && ::RegSetValueExW(key.Get(), value.c_str(), 0, type,
                                   static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool ScratchRegistryKey::SetDword(const std::wstring& relativeKey, const std::wstring& value,
                                  DWORD data) const {
    return SetRaw(relativeKey, value, REG_DWORD, &data, sizeof(data));
}

bool ScratchRegistryKey::GetRaw(const std::wstring& relativeKey, const std::wstring& value,
                                std::vector<BYTE>& data, DWORD* type) const {
    ORegKey key;
    if (::RegOpenKeyExW(m_hive, Full(relativeKey).c_str(), 0, KEY_READ, key.Put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = 0;
    DWORD kind = 0;
    LONG status = ::RegQueryValueExW(key.Get(), value.c_str(), nullptr, &kind, nullptr, &bytes);
    if (status == ERROR_SUCCESS) {
        data.assign(bytes, 0);
        status = ::RegQueryValueExW(key.Get(), value.c_str(), nullptr, &kind, data.data(), &bytes);
        data.resize(bytes);
    }
    if (type != nullptr) {
        *type = kind;
    }
    return status == ERROR_SUCCESS;
}

::testing::AssertionResult ScratchRegistryKey::HasDword(const std::wstring& relativeKey,
                                                        const std::wstring& value,
                                                        DWORD expected) const {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (!GetRaw(relativeKey, value, data, &type)) {
        return ::testing::AssertionFailure() << "no such value";
    }
    DWORD stored = 0;
    if (data.size() == sizeof(stored)) {
        std::memcpy(&stored, data.data(), sizeof(stored));
    }
    if (type != REG_DWORD || data.size() != sizeof(stored) || stored != expected) {
        return ::testing::AssertionFailure()
               << "type " << type << ", " << data.size() << " bytes, value 0x" << std::hex << stored
               << " instead of 0x" << expected;
    }
    return ::testing::AssertionSuccess();
}

bool ScratchRegistryKey::KeyExists(const std::wstring& relativeKey) const {
    return KeyPresent(m_hive, Full(relativeKey));
}

bool ScratchRegistryKey::CreateKey(const std::wstring& relativeKey) const {
    return static_cast<bool>(CreateOrOpen(m_hive, Full(relativeKey)));
}

bool ScratchRegistryKey::ValueExists(const std::wstring& relativeKey,
                                     const std::wstring& value) const {
    std::vector<BYTE> data;
    return GetRaw(relativeKey, value, data);
}
