#include "core/streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every WriteRaw; can be told to accept fewer bytes than offered.
class RecordingStream : public OCore::OStream {
public:
    explicit RecordingStream(uint32_t bufferSize = kBufferSize) : OStream(bufferSize) {}
    uint32_t WriteRaw(const void* data, uint32_t count) override {
        calls.push_back(count);
        uint32_t accepted = count < acceptLimit ? count : acceptLimit;
        bytes.append(static_cast<const char*>(data), accepted);
        return accepted;
    }
    std::vector<uint32_t> calls;
    std::string bytes;
    uint32_t acceptLimit = UINT32_MAX;
};

std::string Pattern(size_t count) {
    std::string text(count, 'A');
    for (size_t i = 0; i < count; ++i) {
        text[i] = static_cast<char>('A' + i % 23);
    }
    return text;
}

struct BufferRow {
    std::vector<uint32_t> writes;
    std::vector<uint32_t> rawBeforeFlush;
    uint32_t flushed;  // what Flush then returns (and writes)
    const char* note;
};

const BufferRow kBufferRows[] = {
    {{2500}, {1024, 1024}, 452, "2500 = 2 * 1024 + 452"},
    {{1024}, {1024}, 0, "a full buffer goes out at once"},
    {{1000, 24}, {1024}, 0, "filled exactly by the second write"},
    {{1000, 100}, {1024}, 76, "the overflow waits"},
    {{1, 1, 1}, {}, 3, "small writes wait"},
    {{0}, {}, 0, "nothing to write"},
};

TEST(OStream, WriteHandsOverFullBuffersAndFlushTheRest) {
    for (const auto& row : kBufferRows) {
        SCOPED_TRACE(row.note);
        RecordingStream stream;
        std::string expected;
        for (uint32_t count : row.writes) {
            std::string chunk = Pattern(count);
            expected += chunk;
            EXPECT_EQ(stream.Write(chunk.data(), count), count);
        }
        EXPECT_EQ(stream.calls, row.rawBeforeFlush);
        EXPECT_EQ(stream.GetFill(), row.flushed);
        EXPECT_EQ(stream.Flush(), row.flushed);
        EXPECT_EQ(stream.bytes, expected) << "bytes in order, none lost or doubled";
        EXPECT_EQ(stream.GetFill(), 0u);
        size_t calls = stream.calls.size();
        EXPECT_EQ(stream.Flush(), 0u) << "an empty buffer writes nothing";
        EXPECT_EQ(stream.calls.size(), calls);
    }
}

TEST(OStream, ShortWritesShowInTheResults) {
    RecordingStream stream;
    stream.acceptLimit = 1000;
    std::string data = Pattern(1500);
    EXPECT_EQ(stream.Write(data.data(), 1500), 0u) << "a short flush makes Write report 0";
    ASSERT_EQ(stream.calls.size(), 1u) << "the write stops at the short flush";
    EXPECT_EQ(stream.bytes, data.substr(0, 1000)) << "what did get out stays written";
    RecordingStream flushed;
    flushed.acceptLimit = 5;
    flushed.Write("0123456789", 10);
    EXPECT_EQ(flushed.Flush(), 5u) << "Flush returns what WriteRaw returned";
    EXPECT_EQ(flushed.GetFill(), 0u) << "the buffer is emptied even after a short write";
    RecordingStream unbuffered(0);
    unbuffered.acceptLimit = 1;
    EXPECT_EQ(unbuffered.Write("xyz", 3), 1u) << "without a buffer WriteRaw's count comes back";
    EXPECT_EQ(unbuffered.calls, std::vector<uint32_t>{3});
}

struct TextRow {
    uint32_t codePage;
    const wchar_t* text;
    const char* bytes;
    const char* note;
};

// Expected bytes from the published code page tables (ANSI is 1252 here);
// 64999 keeps the low byte of each unit.
const TextRow kTextRows[] = {
    {0, L"caf\u00e9", "caf\xE9", "ANSI"},
    {1208, L"caf\u00e9", "caf\xC3\xA9", "UTF-8"},
    {64999, L"A\u0142", "A\x42", "low byte of U+0142"},
};

TEST(OStream, WriteTextUsesTheStreamCodePageWithoutTerminator) {
    for (const auto& row : kTextRows) {
        SCOPED_TRACE(row.note);
        RecordingStream stream;
        stream.SetCodePage(row.codePage);
        OString text(row.text);
        uint32_t length = static_cast<uint32_t>(std::string(row.bytes).size());
        EXPECT_EQ(stream.WriteText(text), length);
        stream.Flush();
        EXPECT_EQ(stream.bytes, row.bytes);
        EXPECT_EQ(text.GetCodePage(), 0u) << "the caller's text keeps its code page";
    }
    OString narrow("caf\xE9");  // narrow ANSI text converts from its own code page
    RecordingStream stream;
    stream.SetCodePage(1208);
    stream.WriteText(narrow);
    stream.WriteLineEnd();
    stream.Flush();
    EXPECT_EQ(stream.bytes, "caf\xC3\xA9\r\n");
    EXPECT_STREQ(narrow.GetNarrow(), "caf\xE9") << "the caller's text is untouched";
}

}  // namespace
