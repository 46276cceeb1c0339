#include <algorithm>
#include <cstring>

#include "dal/dal_text.h"
#include "fuzz.h"

// Arbitrary bytes read as a text's two messages and as a number, then a text
// from the input written and read back (now and then one past 16 bits long).
// The expected bytes are the host's own: little-endian, 16-bit wchar_t.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    if (DecodePipeText({data, size}, text)) {
        FUZZ_CHECK(EncodePipeText(text) == std::vector<uint8_t>(data, data + size));
    }
    std::array<uint8_t, 8> bytes = {};
    std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
    int64_t number = 0;
    std::memcpy(&number, bytes.data(), sizeof number);
    FUZZ_CHECK(EncodePipeNumber(number) == bytes && DecodePipeNumber(bytes) == number);

    FuzzInput in(data, size);
    std::wstring sent = in.Wide();
    const size_t units = sent.size();
    sent.append(in.Byte() == 'L' ? 65536 : 0, L'q');
    const std::vector<uint8_t> messages = EncodePipeText(sent);
    FUZZ_CHECK(messages.size() == 2 + 2 * units && messages[0] + messages[1] * 256u == units &&
               std::memcmp(messages.data() + 2, sent.data(), 2 * units) == 0);
    FUZZ_CHECK(DecodePipeText(messages, text) && text == sent.substr(0, units));
    return 0;
}
