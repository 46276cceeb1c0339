#include <algorithm>
#include <vector>

#include "fuzz.h"
#include "xpml/http.h"

namespace {

// Fed whole, and again in pieces as a reader receives them, parsing from the
// start after each: a prefix judged Invalid or Complete stays so, and the
// pieces agree with the whole.
void ParseResponse(const uint8_t* data, size_t size, uint32_t seed) {
    HttpResponse whole;
    const HttpParseResult result = whole.TryParse(data, size);
    HttpResponse pieced;
    HttpParseResult last = HttpParseResult::Incomplete;
    for (size_t n = 0; n < size && last == HttpParseResult::Incomplete;) {
        seed = seed * 1103515245 + 12345;
        n = std::min(size, n + 1 + (seed >> 16) % 64);
        last = pieced.TryParse(data, n);
    }
    FUZZ_CHECK(last == result);
    if (last == HttpParseResult::Complete) {
        // A complete answer has a three-digit status and takes no byte it was
        // not given.
        FUZZ_CHECK(whole.GetStatusCode() >= 0 && whole.GetStatusCode() <= 999 &&
                   whole.MessageBytes() <= size);
        FUZZ_CHECK(pieced.GetStatusCode() == whole.GetStatusCode());
        FUZZ_CHECK(pieced.GetStartLine() == whole.GetStartLine() &&
                   pieced.GetVersion() == whole.GetVersion());
        const auto& body = pieced.Body();
        FUZZ_CHECK(body.size() <= whole.Body().size() &&
                   std::equal(body.begin(), body.end(), whole.Body().begin()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0) {
        ParseResponse(data + 1, size - 1, data[0]);
    }
    return 0;
}
