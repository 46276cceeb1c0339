#pragma once

#include <cstdint>
#include <vector>

// A tag's bits, most significant first, packed into 64-bit words: the first
// 2048 bits on the stack, beyond that one heap block of the whole capacity,
// taken once, so that no word is copied twice. Bits past the last one written
// are zero. Pure; one writer belongs to one thread.
class BitWriter {
public:
    // Callers keep Size() within this many bits.
    static constexpr int64_t kCapacity = 65536;

    BitWriter() : m_words(m_inline) {}
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    int64_t Size() const { return m_bits; }

    // Appends the low count bits of value (0 <= count <= 64).
    void Append(uint64_t value, int count) {
        if (count <= 0) {
            return;
        }
        if (m_bits + count > kInlineWords * 64 && m_heap.empty()) {
            MoveToHeap();
        }
        if (count < 64) {
            value &= (uint64_t{1} << count) - 1;
        }
        int offset = static_cast<int>(m_bits & 63);
        uint64_t* word = m_words + (m_bits >> 6);
        if (offset == 0) {
            *word = 0;
        }
        int space = 64 - offset;
        if (count <= space) {
            *word |= value << (space - count);
        } else {
            int rest = count - space;
            *word |= value >> rest;
            word[1] = value << (64 - rest);
        }
        m_bits += count;
    }

    void AppendZeros(int64_t count) {
        while (count > 0) {
            int chunk = count > 64 ? 64 : static_cast<int>(count);
            Append(0, chunk);
            count -= chunk;
        }
    }

    // Rewrites the width bits at offset, already written, as value, zero-extended
    // or cut to its low-order width bits.
    void Overwrite(int64_t offset, int64_t width, unsigned value);

    // The count bits at offset (0 <= count <= 64, all written), as the low bits
    // of the result.
    uint64_t Read(int64_t offset, int count) const {
        if (count <= 0) {
            return 0;
        }
        const int shift = static_cast<int>(offset & 63);
        const uint64_t* word = m_words + (offset >> 6);
        uint64_t high = word[0] << shift;
        if (shift + count > 64) {
            high |= word[1] >> (64 - shift);
        }
        return high >> (64 - count);
    }

    // The number of hexadecimal digits of the bits padded with zero bits to a
    // multiple of eight: two per byte, none for no bits.
    int64_t HexDigits() const { return (m_bits + 7) / 8 * 2; }

    // Writes HexDigits() upper-case digits to out.
    void WriteHex(wchar_t* out) const;

private:
    void MoveToHeap();

    static constexpr int64_t kInlineWords = 32;
    uint64_t m_inline[kInlineWords];
    std::vector<uint64_t> m_heap;
    uint64_t* m_words;
    int64_t m_bits = 0;
};

// Writes the last width bits of a sequence of total bits given piece by piece,
// after zero bits in front when the sequence is shorter: a field that keeps its
// low-order bits, without building the bits it drops.
class FieldWriter {
public:
    FieldWriter(BitWriter& out, int64_t width, int64_t total)
        : m_out(out), m_skip(total > width ? total - width : 0) {
        if (total < width) {
            out.AppendZeros(width - total);
        }
    }

    // The low count bits of value (0 <= count <= 64).
    void Put(uint64_t value, int count) {
        if (m_skip > 0) {
            // Only the bits a field drops are looked at, so a field that fits
            // pays nothing for knowing whether one was cut.
            if (count < 64) {
                value &= (uint64_t{1} << count) - 1;
            }
            if (m_skip >= count) {
                m_skip -= count;
                m_dropped |= value;
                return;
            }
            count -= static_cast<int>(m_skip);  // Append keeps the low bits
            m_dropped |= value >> count;
            m_skip = 0;
        }
        m_out.Append(value, count);
    }

    void PutZeros(int64_t count) {
        if (m_skip >= count) {
            m_skip -= count;
            return;
        }
        count -= m_skip;
        m_skip = 0;
        m_out.AppendZeros(count);
    }

    // Whether a bit left out in front was 1: the field holds another number.
    bool Cut() const { return m_dropped != 0; }

private:
    BitWriter& m_out;
    int64_t m_skip;
    uint64_t m_dropped = 0;
};
