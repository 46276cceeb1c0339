#include "fuzz.h"
#include "rfid/epc_decoder.h"
#include "rfid/epc_encoder.h"
#include "rfid/epc_layout.h"
#include "rfid/epc_schemes.h"
#include "rfid/rfid_exports.h"
#include "tests/rfid/epc_digits.h"

// A mode byte ('0' is mode 0), the values, '\n', the layout: both exports'
// entry logic, whose results must be upper-case hexadecimal, and the reader,
// which must give back what the encoder wrote. The values also go to the
// exports by name, as a tag and as a tag URI.
namespace {

std::wstring Encode(std::wstring_view values, std::wstring_view layout, int mode) {
    return EncodedEpc(values, layout, mode);
}

// Every tag the encoder writes reads back (unless its first field is a P1,
// whose partition it holds nowhere) or is refused as data; values read back
// encode to the same tag and read back unchanged (a single empty value
// excepted: its text is that of no value).
void CheckRoundTrip(const std::wstring& values, const std::wstring& layout, int mode) {
    const std::wstring hex = Encode(values, layout, mode);
    if (hex.empty()) {
        return;
    }
    EpcValueText text;
    const EpcDecodeResult result = DecodeEpc(hex, layout, mode, text);
    const std::wstring read(text.view());
    const bool firstIsP1 =
        ReadEpcEntry(layout.substr(0, layout.find(L';'))).kind == EpcKind::CompanyPrefix;
    FUZZ_CHECK(result.error != EpcDecodeError::kInvalidLayout || firstIsP1);
    // An empty text is no value at all to the encoder, not one empty value.
    if (result.error != EpcDecodeError::kNone || read.empty()) {
        return;
    }
    // A field the reader ends earlier (a 6-bit string with a zero code inside)
    // leaves zero bits after the layout, which it takes as a longer memory.
    const std::wstring written = Encode(read, layout, mode);
    FUZZ_CHECK(written.size() <= hex.size() && hex.compare(0, written.size(), written) == 0);
    FUZZ_CHECK(hex.find_first_not_of(L'0', written.size()) == std::wstring::npos);
    FUZZ_CHECK(DecodeEpc(hex, layout, mode, text).error == EpcDecodeError::kNone);
    FUZZ_CHECK(text.view() == read);
}

// A tag read by name encodes to the same tag: the same digits, up to the
// zero bits a longer memory leaves after it; and a tag URI that encodes
// reads back to a URI that encodes to the same tag.
void CheckByName(const std::wstring& text) {
    EpcValueText uri;
    if (DecodeEpcName(text, EpcNameKind::kTagUri, uri).error == EpcNameError::kNone) {
        std::wstring digits;
        for (size_t i = text.find_first_not_of(L" \t\r\n\v\f"); i < text.size(); ++i) {
            const wchar_t c = text[i];
            if (c == L'x' || c == L'X') {
                digits.clear();  // the "0x" in front
            } else if (c > L' ') {
                digits += c >= L'a' ? static_cast<wchar_t>(c - 32) : c;
            }
        }
        EpcDigits tag;
        FUZZ_CHECK(EncodeEpcTagUri(uri.view(), tag).error == EpcNameError::kNone);
        const size_t common = std::min(digits.size(), tag.text.size());
        FUZZ_CHECK(digits.compare(0, common, tag.text, 0, common) == 0);
        FUZZ_CHECK(digits.find_first_not_of(L'0', common) == std::wstring::npos);
        FUZZ_CHECK(tag.text.find_first_not_of(L'0', common) == std::wstring::npos);
    }
    EpcDigits tag;
    if (EncodeEpcTagUri(text, tag).error == EpcNameError::kNone) {
        EpcValueText back;
        FUZZ_CHECK(DecodeEpcName(tag.text, EpcNameKind::kTagUri, back).error ==
                   EpcNameError::kNone);
        EpcDigits again;
        FUZZ_CHECK(EncodeEpcTagUri(back.view(), again).error == EpcNameError::kNone);
        FUZZ_CHECK(again.text == tag.text);
    }
}

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
    CheckRoundTrip(values, layout, mode);
    SysFreeString(QVRFID_DecodeEPC(values.c_str(), layout.c_str(), mode));
    CheckByName(values);
    CheckHex(QVRFID_EncodeTagURI(values.c_str()), true);
    CheckHex(QVRFID_EncodeElementString(layout.c_str(), mode, 7, values.c_str()), true);
    SysFreeString(QVRFID_DecodeToElementString(values.c_str()));
    return 0;
}
