#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A registry key for one test, deleted with its tree when the object goes;
// parent levels it had to create are removed again once empty. parent uses
// '\'; an empty name makes a unique one ("QuorvelTest-<pid>-<n>").
class ScratchRegistryKey {
public:
    explicit ScratchRegistryKey(HKEY hive = HKEY_CURRENT_USER,
                                const std::wstring& parent = L"Software\\QuorvelTest",
                                const std::wstring& name = L"");
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;
    ~ScratchRegistryKey();

    bool IsValid() const { return m_valid; }
    // Subkey of the scratch key under its hive, with '\' separators.
    const std::wstring& Subkey() const { return m_subkey; }
    // The unique last name alone.
    const std::wstring& Name() const { return m_name; }
    // The scratch key in resolved path form: "1:Software/QuorvelTest/<name>".
    std::wstring Path() const;

    // Plain registry calls for expectations; relativeKey uses '\' and may be empty.
    bool SetRaw(const std::wstring& relativeKey, const std::wstring& value, DWORD type,
                const void* data, DWORD bytes) const;
    bool SetDword(const std::wstring& relativeKey, const std::wstring& value, DWORD data) const;
    // Reads a value; false when missing. type may be null.
    bool GetRaw(const std::wstring& relativeKey, const std::wstring& value, std::vector<BYTE>& data,
                DWORD* type = nullptr) const;
    // Whether the value is a 4-byte REG_DWORD holding expected.
    ::testing::AssertionResult HasDword(const std::wstring& relativeKey, const std::wstring& value,
                                        DWORD expected) const;
    bool KeyExists(const std::wstring& relativeKey) const;
    bool CreateKey(const std::wstring& relativeKey) const;
    bool ValueExists(const std::wstring& relativeKey, const std::wstring& value) const;

private:
    std::wstring Full(const std::wstring& relativeKey) const;

    HKEY m_hive;
    std::wstring m_name;
    std::wstring m_subkey;
    std::vector<std::wstring> m_createdParents;  // deepest first
    bool m_valid = false;
};

// A name unique in this test run: prefix, process id and a counter.
std::wstring UniqueTestName(const std::wstring& prefix);
