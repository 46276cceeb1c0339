#include "rfid/rfid_exports.h"

#include <climits>
#include <new>

#include "core/bstr.h"
#include "rfid/epc_encoders.h"
#include "rfid/epc_fast_encoder.h"
#include "rfid/epc_layout.h"

// Each export is a shell: the fast encoder writes the digits straight into the
// BSTR; text beyond 7-bit ASCII, whose bytes depend on the ANSI code page, goes
// through OString and the reference encoders instead. Whatever is thrown,
// std::bad_alloc included, becomes a null result and never reaches the host.

namespace {

// Owns the result until it is handed to the host, so that nothing leaks when an
// exception follows the allocation.
class BstrSink final : public EpcHexSink {
public:
    BstrSink() = default;
    BstrSink(const BstrSink&) = delete;
    BstrSink& operator=(const BstrSink&) = delete;
    ~BstrSink() override { ::SysFreeString(m_text); }

    wchar_t* Reserve(int64_t count) override {
        if (count <= 0 || count >= INT_MAX / 2) {  // the byte count must fit the BSTR prefix
            throw std::bad_alloc();
        }
        ::SysFreeString(m_text);
        // With no source text SysAllocStringLen leaves the characters to us and
        // writes the terminating NUL itself.
        m_text = ::SysAllocStringLen(nullptr, static_cast<UINT>(count));
        if (m_text == nullptr) {
            throw std::bad_alloc();
        }
        return m_text;
    }

    BSTR Release() {
        BSTR text = m_text;
        m_text = nullptr;
        return text;
    }

private:
    BSTR m_text = nullptr;
};

const wchar_t* OrEmpty(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

}  // namespace

extern "C" {

BSTR RFID_EncodeEPC_impl(const wchar_t* values, const wchar_t* layout, int mode) {
    try {
        values = OrEmpty(values);
        layout = OrEmpty(layout);
        BstrSink result;
        if (EncodeEpcFast(values, layout, mode, result)) {
            return result.Release();
        }
        return OStringToBstr(EncodeEpcLayout(OString(values), OString(layout), mode));
    } catch (...) {
        return nullptr;
    }
}

BSTR RFID_EncodeRaw_impl(const wchar_t* value, int mode) {
    try {
        value = OrEmpty(value);
        BstrSink result;
        if (ConvertValueToHexFast(value, mode, result)) {
            return result.Release();
        }
        return OStringToBstr(ConvertValueToHex(mode, OString(value)));
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
