#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A failed check is a finding: libFuzzer keeps the input that made it.
#define FUZZ_CHECK(condition) \
    ((condition)              \
         ? (void)0            \
         : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition), std::abort()))

// Arguments read from the front of an input; past its end, zeros and empty text.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}

    bool More() const { return m_p < m_end; }
    uint8_t Byte() { return More() ? *m_p++ : 0; }
    int32_t Small() { return static_cast<int8_t>(Byte()); }
    // Bytes up to the next '\n'.
    std::string Narrow() {
        std::string text;
        while (More() && *m_p != '\n') {
            text += static_cast<char>(*m_p++);
        }
        Byte();
        return text;
    }
    // As Narrow, one unit a byte, except that 0xFF and the two bytes after it
    // make one unit of any value.
    std::wstring Wide() {
        const std::string bytes = Narrow();
        std::wstring text;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto b = static_cast<uint8_t>(bytes[i]);
            if (b == 0xFF && i + 2 < bytes.size()) {
                text += static_cast<wchar_t>(static_cast<uint8_t>(bytes[i + 1]) << 8 |
                                             static_cast<uint8_t>(bytes[i + 2]));
                i += 2;
            } else {
                text += static_cast<wchar_t>(b);
            }
        }
        return text;
    }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};
