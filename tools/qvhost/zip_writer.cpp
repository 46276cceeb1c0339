#include "tools/qvhost/zip_writer.h"

#include <zlib.h>

#include "tools/qvhost/qvhost.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint16_t kVersion = 20;        // 2.0: deflate, folders
constexpr uint16_t kUtf8Names = 0x0800;  // general purpose bit 11
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint64_t kMaxOffset = 0xFFFFFFFFull;
constexpr size_t kMaxEntries = 0xFFFF;

void Put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value & 0xFFFF));
    Put16(out, static_cast<uint16_t>(value >> 16));
}

// Raw deflate (no zlib header: negative window bits), as zip's method 8 wants.
// Empty when deflate fails or would not shrink the bytes: they are stored.
std::string Deflate(const std::string& bytes) {
    z_stream stream{};
    if (bytes.empty() || deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                                      Z_DEFAULT_STRATEGY) != Z_OK) {
        return std::string();
    }
    std::string packed(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END && packed.size() < bytes.size() ? packed : std::string();
}

}  // namespace

QvZipWriter::QvZipWriter(const std::wstring& path) : m_path(path), m_partial(path + L".partial") {
    m_file = CreateFileW(m_partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        Fail("cannot create", GetLastError());
    }
}

QvZipWriter::~QvZipWriter() {
    if (m_file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_file);
        DeleteFileW(m_partial.c_str());
    }
}

void QvZipWriter::Fail(const std::string& what, DWORD error) const {
    throw QvCommandError(kQvExitFailure, what + " " + QvToUtf8(m_partial) + " (error " +
                                             std::to_string(error) + ")");
}

// The fields a local header and its central directory record share, from
// "version needed" to the name's length.
void QvZipWriter::PutCommon(std::string& out, const Entry& entry) {
    Put16(out, kVersion);
    Put16(out, kUtf8Names);
    Put16(out, entry.method);
    Put16(out, entry.time);
    Put16(out, entry.date);
    Put32(out, entry.crc);
    Put32(out, entry.packed);
    Put32(out, entry.size);
    Put16(out, static_cast<uint16_t>(entry.name.size()));
}

void QvZipWriter::Write(const std::string& bytes) {
    DWORD written = 0;
    if (!WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        Fail("cannot write", GetLastError());
    }
    m_offset += bytes.size();
}

void QvZipWriter::Add(const std::string& name, const std::string& bytes) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    Add(name, bytes, now);
}

void QvZipWriter::Add(const std::string& name, const std::string& bytes, const FILETIME& modified) {
    if (bytes.size() > kMaxEntryBytes || name.empty() || name.size() > 0xFFFF ||
        m_entries.size() >= kMaxEntries) {
        throw QvCommandError(kQvExitFailure, "the archive cannot hold " + name + " (" +
                                                 std::to_string(bytes.size()) + " bytes)");
    }
    Entry entry{};
    entry.name = name;
    const std::string packed = Deflate(bytes);
    const std::string& data = packed.empty() ? bytes : packed;
    entry.method = packed.empty() ? kStored : kDeflated;
    entry.crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    entry.packed = static_cast<uint32_t>(data.size());
    entry.size = static_cast<uint32_t>(bytes.size());
    entry.offset = static_cast<uint32_t>(m_offset);
    // Without ZIP64 every offset, the central directory's included, is 32 bits.
    if (m_offset + 30 + name.size() + data.size() + 46 * (m_entries.size() + 1) > kMaxOffset) {
        throw QvCommandError(kQvExitFailure, "the archive would pass 4 GiB with " + name);
    }
    // Zip keeps local time at two-second steps from 1980; earlier stamps show as 1980.
    FILETIME local{};
    entry.date = (1 << 5) | 1;  // 1980-01-01
    if (!FileTimeToLocalFileTime(&modified, &local) ||
        !FileTimeToDosDateTime(&local, &entry.date, &entry.time)) {
        entry.date = (1 << 5) | 1;
        entry.time = 0;
    }
    std::string header;
    Put32(header, kLocalSignature);
    PutCommon(header, entry);
    Put16(header, 0);  // no extra field
    Write(header + name);
    Write(data);
    m_entries.push_back(entry);
}

void QvZipWriter::Finish() {
    const uint64_t start = m_offset;
    std::string directory;
    for (const Entry& entry : m_entries) {
        Put32(directory, kCentralSignature);
        Put16(directory, kVersion);  // made by: MS-DOS attributes, 2.0
        PutCommon(directory, entry);
        Put16(directory, 0);  // extra field
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, 0);  // external attributes
        Put32(directory, entry.offset);
        directory += entry.name;
    }
    const uint32_t directoryBytes = static_cast<uint32_t>(directory.size());
    Put32(directory, kEndSignature);
    Put16(directory, 0);  // this disk
    Put16(directory, 0);  // the directory's disk
    Put16(directory, static_cast<uint16_t>(m_entries.size()));
    Put16(directory, static_cast<uint16_t>(m_entries.size()));
    Put32(directory, directoryBytes);
    Put32(directory, static_cast<uint32_t>(start));
    Put16(directory, 0);  // no comment
    Write(directory);
    if (!FlushFileBuffers(m_file)) {
        Fail("cannot flush", GetLastError());
    }
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    if (!MoveFileExW(m_partial.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(m_partial.c_str());
        throw QvCommandError(kQvExitFailure, "cannot name the archive " + QvToUtf8(m_path) +
                                                 " (error " + std::to_string(error) + ")");
    }
}
