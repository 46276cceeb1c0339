#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

// The EPC encoder read backwards: a tag's hexadecimal text and the layout it
// was written with give back the values, in the order the encoder takes them.
// Pure: no OS calls, no state between calls.
//
// The tag: hexadecimal digits in either case, an optional "0x" in front, white
// space anywhere; at most 65536 bits. Bits after the layout's last field must
// be zero (the encoder's padding to a byte, or the rest of a longer memory).
//
// Each field that consumes a value gives one, as units (0..255) ready to be
// joined with ";":
// - plain fields, P1 and P2 in the call's mode (0 text, 1 hexadecimal,
//   2 decimal, 3 binary, any other as 1), H, A, D and B fields in theirs.
//   Numbers come without leading zeros ("0" for a field of zeros), text
//   without the zero bytes the encoder puts in front. A decimal P1 keeps the
//   12 - partition digits the partition says, leading zeros included; P2 is a
//   plain number, since the tag holds no digit count for it.
// - character fields as characters: a 6-bit code c gives c + 64 below 32 and
//   c itself from 32 (the 6-bit table of the tag data standard), a 7-bit code
//   the ASCII character. A CAGE6 field gives 5 characters when the encoder
//   put a space in front.
// - a serial with a leading digit 1 gives the digits after that 1.
// Literal fields consume nothing and must hold their literal, except one that
// a P1 after it overwrote with its partition. A company prefix must give the
// partition before it as the encoder takes it (in mode 2 at most 12 - p
// digits, in the others the smallest partition its bits fit).
//
// The values always encode to the same tag (up to zero bits after it), with
// one exception the value list cannot help: a single empty value is the
// empty text, which the encoder reads as no value at all.
//
// What reading cannot give back: the leading zeros of a plain or P2 number,
// and whatever the encoder cut (a value wider than its field keeps its low
// bits), dropped (characters a mode does not take) or overwrote (the field
// before a P1 holds the partition, not its value).

enum class EpcDecodeError {
    kNone,
    kInvalidData,    // the bits do not fit the layout
    kInvalidLayout,  // a layout the encoder rejects too, or one that cannot be read back
};

struct EpcDecodeResult {
    EpcDecodeError error = EpcDecodeError::kNone;
    int64_t field = 0;        // 1-based layout field of the error; 0 for the tag as a whole
    const char* reason = "";  // for the log: "a literal does not match", ...
};

// The values read back: in place up to 256 units, so that the tags of the
// usual schemes cost no allocation; on the heap beyond.
class EpcValueText {
public:
    EpcValueText() = default;
    EpcValueText(const EpcValueText&) = delete;
    EpcValueText& operator=(const EpcValueText&) = delete;

    void clear() {
        m_size = 0;
        m_ascii = true;
    }
    size_t size() const { return m_size; }
    // Whether every unit is 7-bit ASCII, which text as it stands already is;
    // only text fields may hold other bytes, and they say so (NoteByte).
    bool ascii() const { return m_ascii; }
    void NoteByte(wchar_t unit) { m_ascii = m_ascii && unit < 0x80; }
    std::wstring_view view() const { return {m_data, m_size}; }

    void push_back(wchar_t c) {
        if (m_size == m_capacity) {
            Reserve(m_size + 1);
        }
        m_data[m_size++] = c;
    }
    void append(size_t count, wchar_t c) {
        Reserve(m_size + count);
        std::fill_n(m_data + m_size, count, c);
        m_size += count;
    }
    EpcValueText& operator+=(wchar_t c) {
        push_back(c);
        return *this;
    }
    EpcValueText& operator+=(std::wstring_view text) {
        Reserve(m_size + text.size());
        for (wchar_t c : text) {  // a few digits: a call to memmove would cost more
            m_data[m_size++] = c;
        }
        return *this;
    }

private:
    static constexpr size_t kInline = 256;
    void Reserve(size_t size) {
        if (size <= m_capacity) {
            return;
        }
        std::vector<wchar_t> bigger(size > 2 * m_capacity ? size : 2 * m_capacity);
        std::copy(m_data, m_data + m_size, bigger.begin());
        m_heap.swap(bigger);
        m_data = m_heap.data();
        m_capacity = m_heap.size();
    }

    wchar_t m_inline[kInline];
    std::vector<wchar_t> m_heap;
    wchar_t* m_data = m_inline;
    size_t m_capacity = kInline;
    size_t m_size = 0;
    bool m_ascii = true;
};

// Appends the values, joined by ";", to values (cleared first); on an error
// values holds what was read before it.
EpcDecodeResult DecodeEpc(std::wstring_view hex, std::wstring_view layout, int mode,
                          EpcValueText& values);
