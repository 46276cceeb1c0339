#include "rfid/bit_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Expected digits worked out by hand from the bits each note lists.
TEST(BitWriter, WritesBitsMostSignificantFirst) {
    using Steps = void (*)(BitWriter&);
    const struct {
        Steps steps;
        std::wstring hex;
        const char* note;
    } rows[] = {
        {[](BitWriter& w) { w.Append(5, 3); }, L"A0", "101, padded to a byte"},
        {[](BitWriter& w) { w.Append(0x1F, 3); }, L"E0", "only the low 3 bits: 111"},
        {[](BitWriter& w) { w.Append(7, 0); }, L"", "no bits, no digits"},
        {[](BitWriter& w) { w.Append(0, 3), w.Append(~0ull, 64); }, L"1FFFFFFFFFFFFFFFE0",
         "000 and 64 ones, across two words"},
        {[](BitWriter& w) { w.AppendZeros(130), w.Append(1, 1); }, std::wstring(32, L'0') + L"20",
         "bit 130"},
        {[](BitWriter& w) { w.Append(~0ull, 64), w.Append(0x3F, 6), w.Overwrite(62, 4, 0xA); },
         L"FFFFFFFFFFFFFFFEBC", "1010 over bits 62..65, across the word boundary"},
        {[](BitWriter& w) { w.Append(0, 8), w.Overwrite(2, 3, 0xD); }, L"28",
         "1101 cut to its low 3 bits 101 at bit 2"},
        {[](BitWriter& w) { w.Append(1, 1), w.AppendZeros(2046), w.Append(3, 2), w.Append(5, 3); },
         L"8" + std::wstring(510, L'0') + L"1D0", "past the 2048 bits on the stack, 1 kept"},
        {[](BitWriter& w) { FieldWriter(w, 6, 12).Put(0xABC, 12); }, L"F0", "low 6 bits 111100"},
        {[](BitWriter& w) { FieldWriter(w, 10, 4).Put(0xF, 4); }, L"03C0", "0000001111"},
        {[](BitWriter& w) {
             FieldWriter f(w, 5, 12);
             f.Put(0xA, 4), f.Put(0xB, 4), f.Put(0xC, 4);
         },
         L"E0", "the cut falls inside a piece: 11100"},
        {[](BitWriter& w) {
             FieldWriter f(w, 7, 9);
             f.Put(3, 2), f.PutZeros(3), f.Put(0xF, 4);
         },
         L"1E", "11 000 1111 keeps 0001111"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        BitWriter out;
        row.steps(out);
        std::wstring hex(static_cast<size_t>(out.HexDigits()), L'?');
        out.WriteHex(hex.data());
        EXPECT_EQ(hex, row.hex);
    }
}

}  // namespace
