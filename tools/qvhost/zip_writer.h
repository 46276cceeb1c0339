#pragma once

// A zip archive written entry by entry: local header, data, and at the end
// the central directory and its end record, as every unzip tool reads them.
// Data is raw deflate (zlib), or stored when deflate would not shrink it;
// names are UTF-8 (general purpose bit 11). There is no ZIP64: an entry, the
// archive or the entry count beyond the classic limits is refused, so callers
// cap what they add.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class QvZipWriter {
public:
    // The archive is written to path + ".partial" and takes path's name only
    // in Finish, so a run that fails half-way never leaves a zip that looks
    // whole. Throws QvCommandError (kQvExitFailure) when the file cannot be made.
    explicit QvZipWriter(const std::wstring& path);
    // An archive never finished is deleted.
    ~QvZipWriter();
    QvZipWriter(const QvZipWriter&) = delete;
    QvZipWriter& operator=(const QvZipWriter&) = delete;

    // Largest entry the writer takes (a size field of the classic format is
    // 32 bits, and the deflated form may be a little larger than its input).
    static constexpr uint64_t kMaxEntryBytes = 0xF0000000ull;

    // Adds one file: name uses '/' between folders; modified is shown by the
    // unzip tool (local time, two-second steps, 1980 at the earliest). Throws
    // QvCommandError when writing fails or a limit would be passed.
    void Add(const std::string& name, const std::string& bytes, const FILETIME& modified);
    // The same, stamped with the current time.
    void Add(const std::string& name, const std::string& bytes);
    // Writes the central directory and renames the file to its path. Throws
    // QvCommandError on failure (the partial file is then deleted).
    void Finish();

    // Bytes written so far (the archive's size once finished).
    uint64_t Size() const { return m_offset; }
    size_t Count() const { return m_entries.size(); }

private:
    struct Entry {
        std::string name;
        uint16_t method;
        uint16_t time;
        uint16_t date;
        uint32_t crc;
        uint32_t packed;
        uint32_t size;
        uint32_t offset;
    };
    static void PutCommon(std::string& out, const Entry& entry);
    void Write(const std::string& bytes);
    [[noreturn]] void Fail(const std::string& what, DWORD error) const;

    std::wstring m_path;
    std::wstring m_partial;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    uint64_t m_offset = 0;
    std::vector<Entry> m_entries;
};
