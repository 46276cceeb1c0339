#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/handles.h"
#include "core/ostring.h"

namespace OCore {

// The write buffer of a stream.
struct OStreamBuffer {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
};

// Buffered output stream. Write collects bytes in a 1024-byte buffer and hands
// each full buffer to WriteRaw; Flush hands over the rest. Text is written in
// the stream's code page (0, the ANSI code page, until changed).
//
// The destructor only frees the buffer: it cannot flush, because WriteRaw
// belongs to the derived class, so a derived class flushes in its own
// destructor. Not thread-safe; only allocation failure throws.
class OStream {
public:
    static constexpr uint32_t kBufferSize = 1024;

    // bufferSize 0 makes an unbuffered stream: Write goes straight to WriteRaw.
    explicit OStream(uint32_t bufferSize = kBufferSize);
    OStream(const OStream&) = delete;
    OStream& operator=(const OStream&) = delete;
    virtual ~OStream();

    // Writes count bytes where they go; returns the bytes written.
    virtual uint32_t WriteRaw(const void* data, uint32_t count) = 0;

    // Buffers count bytes, flushing each time the buffer fills. Returns count,
    // or 0 when a flush wrote less than a full buffer (the bytes that did get
    // out stay written; the rest of that buffer is dropped).
    virtual uint32_t Write(const void* data, uint32_t count);

    // Writes the buffered bytes and empties the buffer; returns what WriteRaw
    // returned, 0 when nothing was waiting.
    virtual uint32_t Flush();

    // The narrow bytes of the text in the stream's code page, no terminator;
    // returns as Write.
    uint32_t WriteText(const OString& text);
    // "\r\n".
    uint32_t WriteLineEnd();

    void SetCodePage(uint32_t codePage) noexcept { m_codePage = codePage; }
    uint32_t GetCodePage() const noexcept { return m_codePage; }
    uint32_t GetBufferSize() const noexcept { return m_buffer->size; }
    // Bytes waiting in the buffer.
    uint32_t GetFill() const noexcept { return m_fill; }

private:
    std::unique_ptr<OStreamBuffer> m_buffer;
    uint32_t m_fill = 0;
    uint32_t m_codePage = 0;
};

}  // namespace OCore

// A stream on a Windows file. Operations report failure through their results
// (false, 0, -1) and never throw; a failed Open leaves the object closed and
// reusable. Destruction flushes and closes.
class OFile : public OCore::OStream {
public:
    // Open flags.
    static constexpr uint32_t kWrite = 0x1;  // read and write access; else read only
    static constexpr uint32_t kShareMask = 0xF0;
    static constexpr uint32_t kShareNone = 0x10;   // exclusive
    static constexpr uint32_t kShareRead = 0x20;   // others may read
    static constexpr uint32_t kShareWrite = 0x30;  // others may write
    // Any other value under kShareMask, 0 included: others may read and write.
    static constexpr uint32_t kCreate = 0x1000;  // create when missing; else it must exist
    static constexpr uint32_t kAppend = 0x2000;  // with kWrite: keep the content, write at the end

    // Seek origins, as SetFilePointer takes them.
    static constexpr uint32_t kFromStart = FILE_BEGIN;
    static constexpr uint32_t kFromCurrent = FILE_CURRENT;
    static constexpr uint32_t kFromEnd = FILE_END;

    OFile() = default;
    ~OFile() override;

    // Opens the file (normal attributes, default security). Opened for writing
    // without kAppend, the file is emptied; with kAppend the position moves to
    // the end. A file already open is closed (and flushed) first. False on
    // failure, with GetLastError telling why.
    virtual bool Open(const OString& path, uint32_t flags);
    // Flushes and closes; nothing when closed.
    virtual void Close();
    // Flushes, then moves the position by offset from the origin. Returns the
    // new position, 0 when closed, -1 when the move fails.
    virtual int64_t Seek(int64_t offset, uint32_t origin);
    // The size in bytes; 0 when closed or unknown.
    virtual uint64_t GetSize();
    // Reads at the current position; returns the bytes read, 0 on failure or
    // when closed. Bytes still in the write buffer are flushed first, so they
    // land where they were written and a read sees them.
    virtual uint32_t ReadRaw(void* buffer, uint32_t count);

    uint32_t WriteRaw(const void* data, uint32_t count) override;

    bool IsOpen() const noexcept { return static_cast<bool>(m_handle); }
    HANDLE GetHandle() const noexcept { return m_handle.Get(); }
    const OString& GetPath() const noexcept { return m_path; }

private:
    OFileHandle m_handle;
    OString m_path;
};

// Reads a file's creation time: opens it for reading (others may read and
// write), asks GetFileTime for the creation time only and closes it. False when
// the file cannot be opened or the time cannot be read.
bool OGetFileCreationTime(const OString& path, FILETIME* creationTime);
