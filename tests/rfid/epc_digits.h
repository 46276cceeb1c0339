#pragma once

// The digits of one encoding, for the RFID tests and the fuzz target: a digit
// the encoder leaves unwritten shows as '?', and asking for room twice, or
// for none, is noted as misuse.

#include <string>
#include <string_view>

#include "rfid/epc_encoder.h"

struct EpcDigits final : EpcHexSink {
    wchar_t* Reserve(int64_t count) override {
        misused = misused || count <= 0 || !text.empty();
        text.assign(static_cast<size_t>(count), L'?');
        return text.data();
    }
    std::wstring text;
    bool misused = false;
};

inline std::wstring EncodedEpc(std::wstring_view values, std::wstring_view layout, int mode) {
    EpcDigits digits;
    EncodeEpc(values, layout, mode, digits);
    return digits.misused ? L"(room misused)" : digits.text;
}
