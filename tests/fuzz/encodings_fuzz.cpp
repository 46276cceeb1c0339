#include <zlib.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/text_scan.h"
#include "fuzz.h"
#include "xpml/encodings.h"

// The input through every encoder, each result decoded independently.
namespace {

uint32_t LittleEndian32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Lz77(const std::vector<uint8_t>& bytes, size_t shortBy) {
    std::vector<uint8_t> out;
    FUZZ_CHECK(CompressLz77(bytes, out) && std::memcmp(out.data(), "ZLIB", 4) == 0);
    FUZZ_CHECK(LittleEndian32(&out[4]) == bytes.size() &&
               LittleEndian32(&out[8]) == out.size() - 12);
    std::vector<uint8_t> back(bytes.size() + 1);
    uLongf length = back.size();
    FUZZ_CHECK(uncompress(back.data(), &length, &out[12], out.size() - 12) == Z_OK);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), back.begin(), back.begin() + length));
    // Exactly the room may still be too little for a one-call deflate.
    size_t capacity = out.size() - shortBy;
    std::vector<uint8_t> into(capacity + 1);
    if (CompressLz77Into(bytes.data(), bytes.size(), into.data(), capacity)) {
        FUZZ_CHECK(shortBy == 0 && std::equal(out.begin(), out.end(), into.begin()));
    }
}

void Base64(const std::vector<uint8_t>& bytes) {
    constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    std::vector<uint8_t> text;
    FUZZ_CHECK(Base64EncodeInto(bytes, text) && text.size() == Base64Length(bytes.size()));
    std::vector<uint8_t> back;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        for (size_t k = i; k < i + 4; ++k) {
            const size_t digit = kDigits.find(static_cast<char>(text[k]));
            FUZZ_CHECK(digit < 64 || (digit == 64 && k >= i + 2 && text[i + 3] == '='));
            group = group << 6 | (digit & 63);
        }
        for (size_t k = 0; k < 3 && text[i + 1 + k] != '='; ++k) {
            back.push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
        }
    }
    FUZZ_CHECK(back == bytes);
}

void Xml(const char* text, uint32_t codePage) {
    OString source;
    source.SetCodePage(codePage);
    source = text;
    std::string back = XmlEscape(source).GetNarrow();
    FUZZ_CHECK(back.find_first_of("\"<>") == std::string::npos);
    for (const char* entity : {"\"&quot;", "<&lt;", ">&gt;", "&&amp;"}) {  // &amp; last
        OText::ReplaceAll<char>(back, entity + 1, std::string(entity, 1));
    }
    FUZZ_CHECK(back == source.GetNarrow());
}

void Hex(const char* text, uint32_t value) {
    FUZZ_CHECK(Hex8ToUInt32(OString::ToHex(value).GetNarrow()) == value);
    const std::string digits = std::string(text).substr(0, 8);
    if (digits.size() == 8 &&
        digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        FUZZ_CHECK(Hex8ToUInt32(text) == std::stoul(digits, nullptr, 16));
        FUZZ_CHECK(HexPairToByte(text) == std::stoul(digits.substr(0, 2), nullptr, 16));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const uint8_t first = size > 0 ? data[0] : 0;
    Lz77(bytes, first % 3);
    Base64(bytes);
    const std::string text(bytes.begin(), bytes.end());
    Xml(text.c_str(), first & 1 ? OString::kCodePageUtf8 : OString::kCodePageAnsi);
    Hex(text.c_str(), size >= 4 ? LittleEndian32(data) : first);
    return 0;
}
