#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/ostring.h"
#include "rfid/epc_fast_encoder.h"
#include "rfid/epc_layout.h"

// Collects what a fast encoder writes, and how often it asked for room.
class StringSink final : public EpcHexSink {
public:
    wchar_t* Reserve(int64_t count) override {
        ++reserves;
        text.assign(static_cast<size_t>(count), L'?');  // a digit left unwritten shows
        return text.data();
    }

    std::wstring text;
    int reserves = 0;
};

inline std::wstring ReferenceEpc(const std::wstring& values, const std::wstring& layout, int mode) {
    return EncodeEpcLayout(OString(values.c_str()), OString(layout.c_str()), mode).GetWide();
}

// Both encoders, the reference and the fast one the exports run, give
// expected; the fast one is asked only for 7-bit text and must decline the
// rest without writing.
inline ::testing::AssertionResult EpcIs(const std::wstring& values, const std::wstring& layout,
                                        int mode, const std::wstring& expected) {
    std::wstring reference = ReferenceEpc(values, layout, mode);
    if (reference != expected) {
        return ::testing::AssertionFailure()
               << "reference gives \"" << ::testing::PrintToString(reference) << "\", expected "
               << ::testing::PrintToString(expected);
    }
    StringSink sink;
    bool ascii = true;
    for (wchar_t c : values + layout) {
        ascii = ascii && static_cast<unsigned>(c) < 0x80;
    }
    bool handled = EncodeEpcFast(values.c_str(), layout.c_str(), mode, sink);
    if (handled != ascii) {
        return ::testing::AssertionFailure()
               << "fast encoder handled=" << handled << " for ascii=" << ascii;
    }
    if (handled && (sink.text != expected || sink.reserves > 1)) {
        return ::testing::AssertionFailure()
               << "fast encoder gives " << ::testing::PrintToString(sink.text) << " after "
               << sink.reserves << " reserves, expected " << ::testing::PrintToString(expected);
    }
    if (!handled && sink.reserves != 0) {
        return ::testing::AssertionFailure() << "fast encoder declined after reserving";
    }
    return ::testing::AssertionSuccess();
}
