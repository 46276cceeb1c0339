#include "support/files.h"

#include <filesystem>
#include <fstream>

#include "support/scratch_registry.h"

namespace QvTest {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length < MAX_PATH ? length : 0);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
}

std::wstring TempFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetTempPathW(MAX_PATH, path);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    ::CloseHandle(file);
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

bool IsFolder(const std::wstring& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

ScratchFolder::ScratchFolder() : m_path(TempFolder() + UniqueTestName(L"qv-scratch-")) {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);  // left by an earlier run whose process had this id
    m_ok = ::CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
}

ScratchFolder::~ScratchFolder() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

std::wstring TakeBstr(BSTR text, const wchar_t* ifNull) {
    if (text == nullptr) {
        return ifNull;
    }
    std::wstring copy(text, ::SysStringLen(text));
    ::SysFreeString(text);
    return copy;
}

}  // namespace QvTest
