// The size-query helpers against a scripted call: what sizes they offer, when
// they stop, and what they hand back, in each dialect.
#include "core/win_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

enum class Dialect { Status, Bool, Sized, Text };

// One answer of the scripted call: a Win32 code (0: success) and a size (bytes
// or characters written on success, wanted otherwise; for Text the length of
// the whole text, of which the call writes what fits).
struct Step {
    DWORD code, size;
};
constexpr DWORD kMore = ERROR_MORE_DATA, kShort = ERROR_INSUFFICIENT_BUFFER, kMax = kOQueryMaxBytes;

struct Row {
    Dialect dialect;
    DWORD first, cap;          // first guess; cap (Status only)
    std::vector<Step> script;  // answered in turn, the last one again and again
    DWORD error;               // 0: the helper succeeds
    std::vector<DWORD> asked;  // buffer sizes offered, in order
    size_t length;             // bytes (characters for Text) handed back
    const char* note;
};

TEST(OQueryBuffer, DialectsFollowTheirScripts) {
    using enum Dialect;
    const Row rows[] = {
        {Status, 256, kMax, {{0, 10}}, 0, {256}, 10, "fits the first guess"},
        {Status, 256, kMax, {{kMore, 999}, {0, 999}}, 0, {256, 999}, 999, "grows as told"},
        {Status, 256, kMax, {{kMore, 0}, {kMore, 9}, {0, 7}}, 0, {256, 512, 1024}, 7, "doubles"},
        {Status, 256, kMax, {{kShort, 300}, {kMore, 900}, {0, 90}}, 0, {256, 300, 900}, 90, "grew"},
        {Status, 256, 600, {{kMore, 0}}, kShort, {256, 512}, 0, "doubling meets the cap"},
        {Status, 256, 600, {{kMore, 601}}, kShort, {256}, 0, "a told size past the cap"},
        {Status, 256, 16, {{kMore, 17}}, kShort, {16}, 0, "first guess cut to the cap"},
        {Status, 0, 0, {{kMore, 0}}, kShort, {0}, 0, "a zero cap asks for 0 bytes"},
        {Status, 0, 0, {{0, 0}}, 0, {0}, 0, "an empty answer fits 0 bytes"},
        {Status, 256, kMax, {{5, 0}}, 5, {256}, 0, "a failure ends it"},
        {Bool, 256, 0, {{0, 0}}, 0, {256}, 256, "success keeps the whole buffer"},
        {Bool, 256, 0, {{kShort, 700}, {0, 0}}, 0, {256, 700}, 700, "grows"},
        {Bool, 256, 0, {{kMore, 700}}, kMore, {256}, 0, "only 122 means short"},
        {Sized, 0, 0, {{0, 300}, {0, 0}}, 0, {300}, 300, "the size asked first"},
        {Sized, 0, 0, {{2, 0}}, 2, {}, 0, "asking the size fails"},
        {Sized, 0, 0, {{0, 30}, {kShort, 0}, {0, 50}, {0, 0}}, 0, {30, 50}, 50, "asked again"},
        {Text, 260, 0, {{0, 10}}, 0, {260}, 10, "fits"},
        {Text, 260, 0, {{0, 259}}, 0, {260, 520}, 259, "filled to the NUL: doubles"},
        {Text, 8192, 0, {{0, 70000}}, kShort, {8192, 16384, 32768, 65536}, 0, "past the cap"},
        {Text, 260, 0, {{5, 0}}, 5, {260}, 0, "a failure ends it"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::vector<uint8_t> out{1, 2, 3};
        std::vector<wchar_t> text{L'x'};
        std::vector<DWORD> asked;
        size_t next = 0;
        auto take = [&] {  // the next answer, its code left as the last error
            const Step step = row.script[std::min(next++, row.script.size() - 1)];
            ::SetLastError(step.code);
            return step;
        };
        // Each offer is the vector's own zeroed buffer with the guard tail past
        // the size told, which the call then overruns as Wine's spooler does.
        auto offer = [&](uint8_t* buffer, DWORD size, DWORD* needed) {
            asked.push_back(size);
            EXPECT_EQ(buffer, out.data());
            EXPECT_EQ(out.size(), size + kOQueryGuardBytes);
            EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
            std::fill(out.begin(), out.end(), 0xEE);
            const Step step = take();
            *needed = step.size;
            return step.code;
        };
        auto boolCall = [&](uint8_t* buffer, DWORD size, DWORD* needed) {
            return offer(buffer, size, needed) == 0;
        };
        DWORD error = 0, ignored = 0;
        bool ok = false;
        switch (row.dialect) {
            case Dialect::Status:
                ok = OQueryStatusBuffer(out, offer, &error, row.first, row.cap);
                break;
            case Dialect::Bool:
                ok = OQueryBoolBuffer(out, boolCall, &error, row.first);
                break;
            case Dialect::Sized:
                ok = OQuerySizedBuffer(
                    out, [&] { return take().size; },
                    [&](uint8_t* buffer, DWORD size) { return boolCall(buffer, size, &ignored); },
                    &error);
                break;
            case Dialect::Text:
                ok = OQueryTruncatingText(
                    text,
                    [&](wchar_t*, DWORD chars) {
                        asked.push_back(chars);
                        return std::min(take().size, chars);
                    },
                    &error, row.first);
                break;
        }
        EXPECT_EQ(ok, row.error == 0);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(asked, row.asked);
        EXPECT_EQ(row.dialect == Dialect::Text ? text.size() : out.size(), row.length);
    }
}

}  // namespace
