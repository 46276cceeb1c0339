#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A failed check is a finding: libFuzzer keeps the input that made it.
#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "failed: %s\n", #condition), std::abort()))

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
    // As Narrow, a unit a byte, but 0xFF and the two bytes after it are one unit.
    std::wstring Wide() {
        const std::string narrow = Narrow();
        const auto* bytes = reinterpret_cast<const uint8_t*>(narrow.data());
        std::wstring text;
        for (size_t i = 0; i < narrow.size(); ++i) {
            const bool pair = bytes[i] == 0xFF && i + 2 < narrow.size();
            text += static_cast<wchar_t>(pair ? bytes[i + 1] << 8 | bytes[i + 2] : bytes[i]);
            i += pair ? 2 : 0;
        }
        return text;
    }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};
