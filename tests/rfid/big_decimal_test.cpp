#include "rfid/big_decimal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Expected words from the powers of two each note names.
TEST(DecimalModulo, KeepsTheLowWordsOfTheNumber) {
    static const struct {
        const wchar_t* text;
        bool leadingOne;
        std::vector<uint64_t> words;  // least significant first; as many as kept
        const char* note;
    } kRows[] = {
        {L"18446744073709551617", false, {1}, "2^64 + 1 modulo 2^64"},
        {L"18446744073709551617", false, {1, 1}, "2^64 + 1"},
        {L"99999999999999999999", false, {0x6BC75E2D630FFFFF, 5}, "10^20 - 1: two chunks"},
        {L"340282366920938463463374607431768211461", false, {5, 0}, "2^128 + 5 modulo 2^128"},
        {L"3-4 0", false, {340}, "other units skipped"},
        {L"006847", true, {1006847}, "a leading 1 keeps the zeros"},
        {L"", true, {1, 0}, "the leading 1 alone"},
        {L"", false, {0, 0, 0}, "zero"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.note);
        std::vector<uint64_t> words(row.words.size(), 0xDEADBEEF);
        DecimalModulo(row.text, row.leadingOne, words);
        EXPECT_EQ(words, row.words);
        EXPECT_EQ(DecimalLow64(row.text, row.leadingOne), row.words[0]);
    }
}

}  // namespace
