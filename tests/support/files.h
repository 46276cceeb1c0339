#pragma once

// Files and folders for conformance tests: where the test program lives, a
// scratch folder that is gone after the test, and whole-file reads and writes
// that do not go through the code under test.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace QvTest {

// The folder of the running test program, without a trailing backslash; the
// DLL, resource libraries and helper programs are built beside it.
std::wstring ProgramFolder();

// GetTempPathW, with its trailing backslash.
std::wstring TempFolder();

// The file's bytes, read while others may still have it open for reading,
// writing or deleting; nothing when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// Creates or replaces the file with exactly these bytes.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// Whether path names an existing folder.
bool IsFolder(const std::wstring& path);

// A fresh, uniquely named folder under the temporary folder, removed with
// everything below it when the object goes.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // False when the folder could not be created.
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

// A BSTR result taken over from the library: its text, the BSTR freed;
// ifNull for a null BSTR.
std::wstring TakeBstr(BSTR text, const wchar_t* ifNull = L"(null)");

}  // namespace QvTest
