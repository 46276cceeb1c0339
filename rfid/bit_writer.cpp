#include "rfid/bit_writer.h"

#include <cstring>

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

}  // namespace

void BitWriter::Overwrite(int64_t offset, int64_t width, unsigned value) {
    for (int64_t i = 0; i < width; ++i) {
        int64_t fromLow = width - 1 - i;
        bool bit = fromLow < 32 && ((value >> fromLow) & 1U) != 0;
        uint64_t mask = uint64_t{1} << (63 - ((offset + i) & 63));
        uint64_t& word = m_words[(offset + i) >> 6];
        word = bit ? (word | mask) : (word & ~mask);
    }
}

void BitWriter::WriteHex(wchar_t* out) const {
    int64_t digits = HexDigits();
    for (int64_t i = 0; i < digits; ++i) {
        out[i] = kHexDigits[(m_words[i >> 4] >> (60 - 4 * (i & 15))) & 0xF];
    }
}

void BitWriter::MoveToHeap() {
    m_heap.assign(kCapacity / 64, 0);
    std::memcpy(m_heap.data(), m_inline, sizeof(m_inline));
    m_words = m_heap.data();
}
