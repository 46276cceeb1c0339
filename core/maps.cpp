#include "core/maps.h"

#include <zlib.h>

uint32_t OStringHash(const OString& key) {
    const char* text = key.GetNarrow();
    auto length = static_cast<uInt>(OString::StrLen(text)) + 1;  // the NUL counts
    return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(text), length));
}

int32_t OHashPosition(const unsigned long* hashes, int32_t count, uint32_t h) {
    if (count <= 0) {
        return 0;
    }
    // Rounded h * count / (2^32 - 1); the product needs more than 64 bits.
    unsigned __int128 scaled =
        static_cast<unsigned __int128>(h) * static_cast<uint32_t>(count) * 2 + 0xFFFFFFFFull;
    auto index = static_cast<int64_t>(scaled / (2 * static_cast<unsigned __int128>(0xFFFFFFFFull)));
    // A start at count would skip the last entries and break the order when they
    // hold smaller hashes, so the walk starts at the last entry at most.
    if (index > count - 1) {
        index = count - 1;
    }
    while (index >= 0 && hashes[index] <= h) {
        --index;
    }
    if (index < 0) {
        return 0;
    }
    while (index < count && hashes[index] > h) {
        ++index;
    }
    return static_cast<int32_t>(index);
}
