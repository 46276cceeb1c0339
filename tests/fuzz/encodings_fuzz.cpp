#include <zlib.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"
#include "xpml/encodings.h"

namespace {

uint32_t LittleEndian32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Lz77(const std::vector<uint8_t>& bytes, size_t shortBy) {
    std::vector<uint8_t> container;
    FUZZ_CHECK(CompressLz77(bytes, container) && container.size() >= kLz77HeaderBytes);
    FUZZ_CHECK(std::memcmp(container.data(), "ZLIB", 4) == 0);
    FUZZ_CHECK(LittleEndian32(&container[4]) == bytes.size());
    FUZZ_CHECK(LittleEndian32(&container[8]) == container.size() - kLz77HeaderBytes);
    std::vector<uint8_t> back(bytes.size() + 1);
    uLongf length = back.size();
    FUZZ_CHECK(uncompress(back.data(), &length, &container[kLz77HeaderBytes],
                          container.size() - kLz77HeaderBytes) == Z_OK);
    back.resize(length);
    FUZZ_CHECK(back == bytes);

    size_t capacity = container.size() - std::min(shortBy, container.size());
    std::vector<uint8_t> into(capacity + 1);
    const bool fits = CompressLz77Into(bytes.data(), bytes.size(), into.data(), capacity);
    // Exactly the room may still be too little for a one-call deflate.
    FUZZ_CHECK(!fits ||
               (shortBy == 0 && std::equal(container.begin(), container.end(), into.begin())));
}

void Base64(const std::vector<uint8_t>& bytes) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> text;
    FUZZ_CHECK(Base64EncodeInto(bytes, text) && text.size() == Base64Length(bytes.size()));
    std::vector<uint8_t> back;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int pads = 0;
        for (size_t k = i; k < i + 4; ++k) {
            pads += text[k] == '=';
            const size_t digit = text[k] == '=' ? 0 : kAlphabet.find(static_cast<char>(text[k]));
            FUZZ_CHECK(digit < 64 && (text[k] == '=' || pads == 0));
            group = group << 6 | static_cast<uint32_t>(digit);
        }
        for (int k = 0; k < 3 - pads; ++k) {
            back.push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
        }
    }
    FUZZ_CHECK(back == bytes);
}

void Xml(const std::string& text, uint32_t codePage) {
    OString source;
    source.SetCodePage(codePage);
    source = text.c_str();
    const std::string escaped = XmlEscape(source).GetNarrow();
    FUZZ_CHECK(escaped.find_first_of("\"<>") == std::string::npos);
    std::string back;
    for (size_t i = 0; i < escaped.size(); ++i) {
        back += escaped[i];
        for (const char* entity : {"&quot;", "&amp;", "&lt;", "&gt;"}) {
            if (escaped.compare(i, std::strlen(entity), entity) == 0) {
                back.back() = entity[1] == 'q'   ? '"'
                              : entity[1] == 'a' ? '&'
                              : entity[1] == 'l' ? '<'
                                                 : '>';
                i += std::strlen(entity) - 1;
                break;
            }
        }
    }
    FUZZ_CHECK(back == source.GetNarrow());
}

void Hex(const std::string& text, uint32_t value) {
    FUZZ_CHECK(Hex8ToUInt32(OString::ToHex(value).GetNarrow()) == value);
    const std::string digits = text.substr(0, 8);
    if (digits.size() == 8 &&
        digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        FUZZ_CHECK(Hex8ToUInt32(text.c_str()) == std::stoul(digits, nullptr, 16));
        FUZZ_CHECK(HexPairToByte(text.c_str()) == std::stoul(digits.substr(0, 2), nullptr, 16));
    }
    (void)HexPairToByte(text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const uint8_t first = size > 0 ? data[0] : 0;
    Lz77(bytes, first % 3);
    Base64(bytes);
    const std::string text(reinterpret_cast<const char*>(data), size);
    Xml(text, first & 1 ? OString::kCodePageUtf8 : OString::kCodePageAnsi);
    Hex(text, size >= 4 ? LittleEndian32(data) : first);
    return 0;
}
