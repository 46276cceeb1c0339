#pragma once

// Files and folders for conformance tests, without the code under test.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace QvTest {

// The folder of the running test program, without a trailing backslash.
std::wstring ProgramFolder();

// GetTempPathW, with its trailing backslash.
std::wstring TempFolder();

// The file's bytes, whoever else has it open; nothing when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// Creates or replaces the file with exactly these bytes.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// Whether path names an existing folder.
bool IsFolder(const std::wstring& path);

// A fresh folder under the temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool Ok() const { return m_ok; }
    const std::wstring& Path() const { return m_path; }
    // A path inside the folder: Path() + "\" + name.
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
    bool m_ok = false;
};

// A test with a scratch folder of its own.
class ScratchFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_scratch.Ok()) << "cannot create " << m_scratch.Path(); }
    std::wstring Path(const std::wstring& name) const { return m_scratch.File(name); }

    ScratchFolder m_scratch;
};

// The text of a BSTR the library handed over, then freed; ifNull for null.
std::wstring TakeBstr(BSTR text, const wchar_t* ifNull = L"(null)");

}  // namespace QvTest
