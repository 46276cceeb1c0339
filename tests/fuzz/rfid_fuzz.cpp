#include "fuzz.h"
#include "rfid/epc_encoder.h"
#include "rfid/rfid_exports.h"

// A mode byte ('0' is mode 0), the values, '\n', the layout: both exports'
// entry logic, whose results must be upper-case hexadecimal.
namespace {

void CheckHex(BSTR text, bool wholeBytes) {
    size_t n = 0;
    for (; text != nullptr && text[n] != L'\0'; ++n) {
        FUZZ_CHECK((text[n] >= L'0' && text[n] <= L'9') || (text[n] >= L'A' && text[n] <= L'F'));
    }
    FUZZ_CHECK(text == nullptr || n > 0);
    FUZZ_CHECK(!wholeBytes || (n % 2 == 0 && n * 4 <= kEpcMaxTagBits + 7));
    SysFreeString(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int mode = in.Byte() - '0';
    const std::wstring values = in.Wide();
    const std::wstring layout = in.Wide();
    CheckHex(RFID_EncodeEPC_impl(values.c_str(), layout.c_str(), mode), true);
    CheckHex(RFID_EncodeRaw_impl(values.c_str(), mode), false);
    return 0;
}
