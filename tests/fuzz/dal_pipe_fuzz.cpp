#include <bit>
#include <cstring>

#include "dal/dal_text.h"
#include "fuzz.h"

// Arbitrary bytes as a text's two messages and as a number; a text from the input
// (now and then past 16 bits long) there and back, in the host's own bytes. The
// same bytes as a module file whose export names the proxy reads: a driver's
// file is read, never trusted.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    FUZZ_CHECK(!DecodePipeText({data, size}, text) ||
               EncodePipeText(text) == std::vector<uint8_t>(data, data + size));
    std::array<uint8_t, 8> bytes = {};
    std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    const auto number = std::bit_cast<int64_t>(bytes);
    FUZZ_CHECK(EncodePipeNumber(number) == bytes && DecodePipeNumber(bytes) == number);
    std::vector<std::string> names;
    const char* const wanted[] = {"DAL_Printer_Close", "DAL_Printer_Action"};
    DalImageExportNames({data, size}, wanted, names);
    FUZZ_CHECK(names.size() <= 2);
    FuzzInput in(data, size);
    std::wstring sent = in.Wide();
    const size_t units = sent.size();
    sent.append(in.Byte() == 'L' ? 65536 : 0, L'q');
    const std::vector<uint8_t> messages = EncodePipeText(sent);
    FUZZ_CHECK(messages.size() == 2 + 2 * units &&
               std::memcmp(messages.data() + 2, sent.data(), 2 * units) == 0);
    FUZZ_CHECK(DecodePipeText(messages, text) && text == sent.substr(0, units));
    return 0;
}
