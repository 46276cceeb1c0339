#include "core/streams.h"

#include <cstring>

namespace OCore {

OStream::OStream(uint32_t bufferSize) : m_buffer(std::make_unique<OStreamBuffer>()) {
    if (bufferSize > 0) {
        m_buffer->data = std::make_unique<uint8_t[]>(bufferSize);
        m_buffer->size = bufferSize;
    }
}

OStream::~OStream() = default;

uint32_t OStream::Write(const void* data, uint32_t count) {
    if (count == 0 || data == nullptr) {
        return 0;
    }
    const uint32_t size = m_buffer->size;
    if (size == 0) {
        return WriteRaw(data, count);
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < count) {
        uint32_t room = size - m_fill;
        uint32_t chunk = count - done < room ? count - done : room;
        std::memcpy(m_buffer->data.get() + m_fill, bytes + done, chunk);
        m_fill += chunk;
        done += chunk;
        if (m_fill == size && Flush() < size) {
            return 0;
        }
    }
    return count;
}

uint32_t OStream::Flush() {
    if (m_fill == 0) {
        return 0;
    }
    uint32_t pending = m_fill;
    // Empty the buffer before writing: a WriteRaw that fails must not leave
    // bytes behind that a later Flush would write out of place.
    m_fill = 0;
    return WriteRaw(m_buffer->data.get(), pending);
}

uint32_t OStream::WriteText(const OString& text) {
    OString copy(text);
    copy.SetCodePage(m_codePage);
    const char* narrow = copy.GetNarrow();
    int32_t length = OString::StrLen(narrow);
    return length > 0 ? Write(narrow, static_cast<uint32_t>(length)) : 0;
}

uint32_t OStream::WriteLineEnd() {
    return Write("\r\n", 2);
}

}  // namespace OCore

OFile::~OFile() {
    Close();
}

bool OFile::Open(const OString& path, uint32_t flags) {
    Close();
    m_path = path;

    const DWORD access = (flags & kWrite) != 0 ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    DWORD share;
    switch (flags & kShareMask) {
        case kShareNone:
            share = 0;
            break;
        case kShareRead:
            share = FILE_SHARE_READ;
            break;
        case kShareWrite:
            share = FILE_SHARE_WRITE;
            break;
        default:
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
    }
    const DWORD disposition = (flags & kCreate) != 0 ? OPEN_ALWAYS : OPEN_EXISTING;

    OFileHandle handle(::CreateFileW(path.GetWide(), access, share, nullptr, disposition,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        return false;
    }
    if ((flags & kWrite) != 0) {
        if ((flags & kAppend) != 0) {
            LARGE_INTEGER zero{};
            if (!::SetFilePointerEx(handle.Get(), zero, nullptr, FILE_END)) {
                return false;
            }
        } else if (!::SetEndOfFile(handle.Get())) {
            // The position is 0 after opening, so this cuts the file to
            // nothing. Should it fail, writing over the old content would
            // leave its tail behind: refuse instead.
            DWORD error = ::GetLastError();
            handle.Reset();
            ::SetLastError(error);
            return false;
        }
    }
    m_handle = std::move(handle);
    return true;
}

void OFile::Close() {
    if (!m_handle) {
        return;
    }
    Flush();
    m_handle.Reset();
}

int64_t OFile::Seek(int64_t offset, uint32_t origin) {
    if (!m_handle) {
        return 0;
    }
    Flush();
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(m_handle.Get(), distance, &position, origin)) {
        return -1;
    }
    return position.QuadPart;
}

uint64_t OFile::GetSize() {
    if (!m_handle) {
        return 0;
    }
    // Bytes still buffered are not part of the file yet.
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_handle.Get(), &size)) {
        return 0;
    }
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t OFile::ReadRaw(void* buffer, uint32_t count) {
    if (!m_handle || buffer == nullptr || count == 0) {
        return 0;
    }
    Flush();
    DWORD read = 0;
    if (!::ReadFile(m_handle.Get(), buffer, count, &read, nullptr)) {
        return 0;
    }
    return read;
}

uint32_t OFile::WriteRaw(const void* data, uint32_t count) {
    if (!m_handle || data == nullptr || count == 0) {
        return 0;
    }
    DWORD written = 0;
    if (!::WriteFile(m_handle.Get(), data, count, &written, nullptr)) {
        return 0;
    }
    return written;
}

bool OGetFileCreationTime(const OString& path, FILETIME* creationTime) {
    if (creationTime == nullptr) {
        return false;
    }
    OFileHandle file(::CreateFileW(path.GetWide(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    return ::GetFileTime(file.Get(), creationTime, nullptr, nullptr) != FALSE;
}
