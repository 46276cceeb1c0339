#pragma once

// A fresh folder under the Wine prefix's temporary folder for one test,
// removed with everything in it afterwards.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace core_test {

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = path + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        DWORD length = ::GetTempPathW(MAX_PATH, temp);
        ASSERT_GT(length, 0u);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::wstring(temp) + L"qv_core_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                Widen(info->name());
        RemoveTree(m_dir);
        ASSERT_TRUE(::CreateDirectoryW(m_dir.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override { RemoveTree(m_dir); }

    std::wstring Path(const wchar_t* name) const { return m_dir + L"\\" + name; }

    static std::wstring Widen(const char* text) {
        std::wstring wide;
        for (; *text != '\0'; ++text) {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
        }
        return wide;
    }

    static bool IsDirectory(const std::wstring& path) {
        DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    static void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << ::GetLastError();
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        ASSERT_EQ(written, bytes.size());
    }

    // The file's bytes, read past any open OFile (others may read and write).
    static std::string ReadFileBytes(const std::wstring& path) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return "<missing>";
        }
        std::string bytes;
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            bytes.append(buffer, read);
        }
        ::CloseHandle(file);
        return bytes;
    }

    std::wstring m_dir;
};

}  // namespace core_test
