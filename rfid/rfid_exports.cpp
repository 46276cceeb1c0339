#include "rfid/rfid_exports.h"

#include "core/bstr.h"
#include "rfid/epc_encoders.h"
#include "rfid/epc_layout.h"

namespace {

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

}  // namespace

extern "C" {

BSTR RFID_EncodeEPC_impl(const wchar_t* values, const wchar_t* layout, int mode) {
    try {
        return OStringToBstr(EncodeEpcLayout(OString(OrEmpty(values)), OString(OrEmpty(layout)), mode));
    } catch (...) {
        return nullptr;
    }
}

BSTR RFID_EncodeRaw_impl(const wchar_t* value, int mode) {
    try {
        return OStringToBstr(ConvertValueToHex(mode, OString(OrEmpty(value))));
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
