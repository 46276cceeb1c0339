#include "xpml/encodings.h"

#include <zlib.h>

#include <string>

#include "core/hex.h"

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The DAL module inflates with these exact settings in mind; they are zlib's
// defaults, spelled out so a change of library defaults cannot alter the bytes.
constexpr int kLevel = 6;
constexpr int kWindowBits = 15;  // 32 KB window, zlib wrapper (not raw, not gzip)
constexpr int kMemLevel = 8;

void PutLittleEndian32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

OString XmlEscape(const OString& text) {
    std::string escaped;
    for (const char* p = text.GetNarrow(); *p != '\0'; ++p) {
        switch (*p) {
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += *p;
                break;
        }
    }
    OString result;
    result.SetCodePage(text.GetCodePage());
    result = escaped.c_str();
    return result;
}

bool CompressLz77Into(const uint8_t* in, size_t inLength, uint8_t* out, size_t& capacity) {
    if (out == nullptr || capacity < kLz77HeaderBytes || inLength > UINT32_MAX ||
        (in == nullptr && inLength != 0)) {
        return false;
    }
    // zlib counts output in 32 bits, and so does the container's length field.
    const size_t room = capacity - kLz77HeaderBytes;
    z_stream stream{};
    if (deflateInit2(&stream, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = static_cast<uInt>(inLength);
    stream.next_out = out + kLz77HeaderBytes;
    stream.avail_out = static_cast<uInt>(room > UINT32_MAX ? UINT32_MAX : room);
    // One finishing call: anything but the stream's end means the output was
    // too small, and the half-made stream is useless.
    const int finished = deflate(&stream, Z_FINISH);
    const auto produced = static_cast<uint32_t>(stream.total_out);
    const int ended = deflateEnd(&stream);
    if (finished != Z_STREAM_END || ended != Z_OK) {
        return false;
    }
    out[0] = 'Z';
    out[1] = 'L';
    out[2] = 'I';
    out[3] = 'B';
    PutLittleEndian32(out + 4, static_cast<uint32_t>(inLength));
    PutLittleEndian32(out + 8, produced);
    capacity = kLz77HeaderBytes + produced;
    return true;
}

bool CompressLz77(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    const size_t n = in.size();
    out.clear();
    if (n > UINT32_MAX) {
        return false;
    }
    // Header, zlib wrapper and deflate's growth on data it cannot shrink (a few
    // bytes per stored block) all fit in this margin; sized once, shrunk once.
    out.resize(n + 24 + (n + 999) / 1000);
    size_t size = out.size();
    if (!CompressLz77Into(in.data(), n, out.data(), size)) {
        out.clear();
        return false;
    }
    out.resize(size);
    return true;
}

bool CompressLz77InPlace(std::vector<uint8_t>& buffer) {
    std::vector<uint8_t> container;
    if (!CompressLz77(buffer, container)) {
        return false;
    }
    buffer.swap(container);
    return true;
}

void Base64Encode(const uint8_t* in, size_t inLength, char* out, size_t& outLength) {
    size_t o = 0;
    for (size_t i = 0; i < inLength; i += 3) {
        const bool has1 = i + 1 < inLength;
        const bool has2 = i + 2 < inLength;
        const uint32_t b0 = in[i];
        const uint32_t b1 = has1 ? in[i + 1] : 0;
        const uint32_t b2 = has2 ? in[i + 2] : 0;
        out[o++] = kBase64Alphabet[b0 >> 2];
        out[o++] = kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out[o++] = has1 ? kBase64Alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out[o++] = has2 ? kBase64Alphabet[b2 & 63] : '=';
    }
    outLength = o;
}

bool Base64EncodeInto(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    out.resize(Base64Length(in.size()));
    size_t written = 0;
    Base64Encode(in.data(), in.size(), reinterpret_cast<char*>(out.data()), written);
    return true;
}

bool Base64EncodeInPlace(std::vector<uint8_t>& buffer) {
    std::vector<uint8_t> text;
    Base64EncodeInto(buffer, text);
    buffer.swap(text);
    return true;
}

uint8_t HexPairToByte(const char* text) {
    if (text == nullptr || text[0] == '\0' || text[1] == '\0') {
        return 0;
    }
    return static_cast<uint8_t>(OHex::LenientPositiveValue(text[0]) * 16 +
                                OHex::LenientPositiveValue(text[1]));
}

uint32_t Hex8ToUInt32(const char* text) {
    uint32_t value = 0;
    int pairs = 0;
    for (; text != nullptr && pairs < 4; ++pairs) {
        const char* pair = text + 2 * pairs;
        if (pair[0] == '\0' || pair[1] == '\0') {
            break;
        }
        value = (value << 8) | HexPairToByte(pair);
    }
    // The missing pairs are the low bytes.
    return pairs == 0 ? 0 : value << (8 * (4 - pairs));
}
