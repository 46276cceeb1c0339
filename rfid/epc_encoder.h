#pragma once

#include <cstdint>
#include <string_view>

// The EPC encoder behind the RFID_ exports: the partition rule and field
// encodings of the GS1 EPC Tag Data Standard applied to a caller's layout. The
// library holds no table of schemes; the header, filter, partition and every
// width come from the layout.
//
// Text is taken one unit per byte of the system ANSI code page, each unit
// 0..255: 7-bit ASCII text is that as it stands, other text the caller converts
// first (the exports do). The tag is written into a bit buffer of words, each
// field straight from the units of its value, and a field keeps only the
// low-order bits that fit its width, so a long decimal in a narrow field costs
// time linear in its digits. Pure: no OS calls, no state between calls; any
// number of threads may run it at once.
//
// Values and layout are both cut at every ";", empty pieces included. A layout
// entry is "width" (a plain field in the call's mode), "width:type" (partition
// types P1, P2, P2VAR6, else a literal) or "width#type" (H, A, D, B, the E...
// encodings UID64, ASC7, SN_GDTI113, SN_SGCN96, CAGE6, VAR6, else a literal).
// An SGTIN-96 reads "8#30;3;3#X;20:P1;44:P2;38" with the values
// "filter;company prefix;item reference;serial" in mode 2.
//
// mode: 0 text, 1 hexadecimal, 2 decimal, 3 binary, any other as 1. Characters
// a mode does not accept are dropped from a value before it is converted.

// A tag wider than this gives no result instead of being built.
constexpr int64_t kEpcMaxTagBits = 65536;

// Receives the hexadecimal digits of one result.
class EpcHexSink {
public:
    virtual ~EpcHexSink() = default;
    // Room for exactly count upper-case digits (count > 0); asked at most once,
    // and not at all for an empty result. Throws std::bad_alloc when there is
    // none.
    virtual wchar_t* Reserve(int64_t count) = 0;
};

// The tag as upper-case hexadecimal, two digits per byte after zero bits up to
// a byte; nothing when the layout has no bits or more than kEpcMaxTagBits.
//
// Beyond the plain reading of the rules:
// - a width below 0 (written so, or after the pending company-prefix width is
//   taken off) counts as 0;
// - a P1 entry in first position writes its partition nowhere;
// - P1, VAR6 and P2VAR6 fields without a value encode the empty value (P1 gets
//   partition 6, a 20-bit zero prefix; the 6-bit fields their terminator only);
// - in mode 2 a P1 value's partition counts its decimal digits, characters the
//   filter drops not included.
//
// The result says which layout field stopped the tag, for the caller's log,
// and which was the first whose value the tag built all the same does not hold
// (a field keeps its low-order bits; leading zero bits are no loss):
// - kCut: a bit 1 of the value did not fit the field's width;
// - kCharacters: a 6-bit field (UID64, CAGE6, VAR6, P2VAR6) was given a
//   character outside ' ' to '_' or an '@' (the code's terminator), or a 7-bit
//   field (ASC7) one outside ' ' to '~'.
enum class EpcValueLoss { kNone, kCut, kCharacters };
struct EpcLayoutFault {
    int64_t field = 0;        // 1-based: the field that made the tag too wide; 0: none did
    std::wstring_view entry;  // that field's text, a view into layout
    EpcValueLoss loss = EpcValueLoss::kNone;
    int64_t lossField = 0;        // 1-based, with loss
    std::wstring_view lossEntry;  // that field's text, a view into layout
};
EpcLayoutFault EncodeEpc(std::wstring_view values, std::wstring_view layout, int mode,
                         EpcHexSink& sink);

// One value as hexadecimal: mode 0 two digits per unit; mode 2 the exact
// number, no leading zero digit; mode 3 the binary digits after '0's in front
// up to a multiple of eight; mode 1 and any other the hexadecimal digits
// upper-cased, a "0" in front of an odd number of them. Nothing when no digit
// results (the decimal 0 included).
void ConvertValueToHex(std::wstring_view value, int mode, EpcHexSink& sink);
