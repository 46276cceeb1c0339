#include <zlib.h>

#include <cstring>
#include <vector>

#include "fuzz.h"
#include "xpml/encodings.h"

// The input through the lz77 encoder, its result inflated by zlib.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const uint8_t first = size > 0 ? data[0] : 0;
    Lz77(bytes, first % 3);
    return 0;
}
