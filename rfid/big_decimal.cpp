#include "rfid/big_decimal.h"

#include <algorithm>

namespace {

// Digits are gathered in chunks of 19, since 10^19 < 2^64.
constexpr int kChunkDigits = 19;

uint64_t PowerOfTen(int exponent) {
    uint64_t p = 1;
    while (exponent-- > 0) {
        p *= 10;
    }
    return p;
}

// words = words * m + a, modulo the words' range.
void MultiplyAdd(std::span<uint64_t> words, uint64_t m, uint64_t a) {
    uint64_t carry = a;
    for (uint64_t& word : words) {
        unsigned __int128 t = static_cast<unsigned __int128>(word) * m + carry;
        word = static_cast<uint64_t>(t);
        carry = static_cast<uint64_t>(t >> 64);
    }
}

}  // namespace

void DecimalModulo(std::wstring_view text, bool leadingOne, std::span<uint64_t> words) {
    std::fill(words.begin(), words.end(), 0);
    words[0] = leadingOne ? 1 : 0;
    uint64_t chunk = 0;
    int chunkDigits = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            continue;
        }
        chunk = chunk * 10 + static_cast<uint64_t>(c - L'0');
        if (++chunkDigits == kChunkDigits) {
            MultiplyAdd(words, PowerOfTen(kChunkDigits), chunk);
            chunk = 0;
            chunkDigits = 0;
        }
    }
    if (chunkDigits > 0) {
        MultiplyAdd(words, PowerOfTen(chunkDigits), chunk);
    }
}

bool DecimalBelowPowerOfTwo(std::wstring_view text, bool leadingOne, int64_t bits) {
    // The digits from the first that is not 0: a number of d of them lies in
    // [10^(d-1), 10^d), and 2^(3(d-1)) <= 10^(d-1) while 10^d <= 2^(10d/3).
    int64_t digits = leadingOne ? 1 : 0;
    for (wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            digits += (digits > 0 || c != L'0') ? 1 : 0;
        }
    }
    if (digits == 0 || digits * 10 <= bits * 3) {
        return true;
    }
    if ((digits - 1) * 3 >= bits) {
        return false;
    }
    // Near the border: the exact number, in words enough to hold it whole.
    std::vector<uint64_t> words(static_cast<size_t>((digits * 10 / 3 + 1) / 64 + 1));
    DecimalModulo(text, leadingOne, words);
    for (size_t i = 0; i < words.size(); ++i) {
        const int64_t low = 64 * static_cast<int64_t>(i);  // the word's lowest bit
        if (low + 64 <= bits) {
            continue;
        }
        const uint64_t above = low >= bits ? words[i] : words[i] >> (bits - low);
        if (above != 0) {
            return false;
        }
    }
    return true;
}

std::vector<uint64_t> DecimalValue(std::wstring_view text) {
    // Leading zeros add nothing; without them the words needed follow from the
    // digits, log2(10) < 3.33 bits each.
    size_t first = text.find_first_of(L"123456789");
    if (first == std::wstring_view::npos) {
        return {};
    }
    text.remove_prefix(first);
    int64_t digits = 0;
    for (wchar_t c : text) {
        digits += (c >= L'0' && c <= L'9') ? 1 : 0;
    }
    std::vector<uint64_t> words(static_cast<size_t>(digits * 10 / 3 / 64 + 1));
    DecimalModulo(text, false, words);
    while (words.back() == 0) {
        words.pop_back();
    }
    return words;
}

std::wstring DecimalText(std::vector<uint64_t> words) {
    // Nineteen digits at a time: 10^19 is the largest power of ten below 2^64.
    constexpr uint64_t kChunk = 10000000000000000000ull;
    std::wstring reversed;
    while (!words.empty() && words.back() == 0) {
        words.pop_back();
    }
    while (!words.empty()) {
        unsigned __int128 rest = 0;
        for (size_t i = words.size(); i-- > 0;) {
            unsigned __int128 part = (rest << 64) | words[i];
            words[i] = static_cast<uint64_t>(part / kChunk);
            rest = part % kChunk;
        }
        while (!words.empty() && words.back() == 0) {
            words.pop_back();
        }
        auto chunk = static_cast<uint64_t>(rest);
        for (int d = 0; d < 19 && (chunk != 0 || !words.empty()); ++d) {
            reversed.push_back(static_cast<wchar_t>(L'0' + chunk % 10));
            chunk /= 10;
        }
    }
    if (reversed.empty()) {
        return L"0";
    }
    return std::wstring(reversed.rbegin(), reversed.rend());
}
