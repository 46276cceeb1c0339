#pragma once

#include <cstdint>

// The encoder behind the RFID_ exports. It gives exactly the results of
// EncodeEpcLayout and ConvertValueToHex (a differential test holds it to that)
// without their per-bit arrays and per-field texts: the tag is written into a
// bit buffer of 64-bit words, each field straight from the characters of its
// value, and a field keeps only the low-order bits that fit its width, so a long
// decimal in a narrow field costs time linear in its digits. Pure: no OS calls,
// no state between calls; any number of threads may run it at once.
//
// It takes 7-bit ASCII text only, whose bytes are the same in every ANSI code
// page. For any other character it returns false before reserving anything,
// and the caller uses the reference path, which converts the text to the
// system ANSI code page as OString does.

// Receives the hexadecimal digits of one result.
class EpcHexSink {
public:
    virtual ~EpcHexSink() = default;
    // Room for exactly count upper-case digits (count > 0); asked at most once,
    // and not at all for an empty result. Throws std::bad_alloc when there is
    // none.
    virtual wchar_t* Reserve(int64_t count) = 0;
};

// As EncodeEpcLayout (rfid/epc_layout.h). Null pointers count as empty text.
bool EncodeEpcFast(const wchar_t* values, const wchar_t* layout, int mode, EpcHexSink& sink);

// As ConvertValueToHex (rfid/epc_encoders.h). Null counts as empty text.
bool ConvertValueToHexFast(const wchar_t* value, int mode, EpcHexSink& sink);
