#include "rfid/rfid_exports.h"

#include <climits>
#include <new>
#include <string>
#include <string_view>

#include "core/ostring.h"
#include "rfid/epc_decoder.h"
#include "rfid/epc_encoder.h"
#include "rfid/epc_schemes.h"

// Each export is a shell: the caller's text becomes ANSI units, the encoder
// writes the digits straight into the BSTR. Whatever is thrown, std::bad_alloc
// included, becomes a null result and never reaches the host. The thread's last
// error says why a result is null (the public header lists the codes) and is 0
// after a result.

namespace {

// The caller's text as the encoder takes it, one unit per byte of the ANSI
// code page. 7-bit ASCII is the same in every code page and is taken as it
// stands; other text is converted once, through OString, as the narrow form of
// any text of the library is. Null counts as empty text.
class AnsiUnits {
public:
    explicit AnsiUnits(const wchar_t* text) {
        text = text != nullptr ? text : L"";
        size_t length = 0;
        bool ascii = true;
        for (; text[length] != L'\0'; ++length) {
            ascii = ascii && static_cast<unsigned>(text[length]) < 0x80;
        }
        if (ascii) {
            m_units = std::wstring_view(text, length);
            return;
        }
        OString converted(text);
        for (const char* p = converted.GetNarrow(); *p != '\0'; ++p) {
            m_converted.push_back(static_cast<unsigned char>(*p));
        }
        m_units = m_converted;
    }
    AnsiUnits(const AnsiUnits&) = delete;
    AnsiUnits& operator=(const AnsiUnits&) = delete;

    std::wstring_view Units() const { return m_units; }

private:
    std::wstring m_converted;
    std::wstring_view m_units;
};

// Owns the result until it is handed to the host, so that nothing leaks when an
// exception follows the allocation.
class BstrSink final : public EpcHexSink {
public:
    BstrSink() = default;
    BstrSink(const BstrSink&) = delete;
    BstrSink& operator=(const BstrSink&) = delete;
    // Null is tested here: every call into the system's BSTR functions counts
    // at millions of tags a second, and a sink usually ends released.
    ~BstrSink() override { Free(); }

    wchar_t* Reserve(int64_t count) override {
        if (count <= 0 || count >= INT_MAX / 2) {  // the byte count must fit the BSTR prefix
            throw std::bad_alloc();
        }
        Free();
        // With no source text SysAllocStringLen leaves the characters to us and
        // writes the terminating NUL itself.
        m_text = ::SysAllocStringLen(nullptr, static_cast<UINT>(count));
        if (m_text == nullptr) {
            throw std::bad_alloc();
        }
        return m_text;
    }

    bool Reserved() const { return m_text != nullptr; }

    BSTR Release() {
        BSTR text = m_text;
        m_text = nullptr;
        return text;
    }

private:
    void Free() {
        if (m_text != nullptr) {
            ::SysFreeString(m_text);
            m_text = nullptr;
        }
    }

    BSTR m_text = nullptr;
};

// Units as the caller's text: 7-bit ASCII as it stands, other units as the
// bytes of the ANSI code page they are. Null for no text.
BSTR UnitsToBstr(std::wstring_view units, bool ascii) {
    if (units.empty()) {
        return nullptr;
    }
    std::wstring converted;
    if (!ascii) {
        std::string bytes(units.begin(), units.end());  // units are 0..255
        converted = OString(bytes.c_str()).GetWide();
    }
    const std::wstring_view text = ascii ? units : std::wstring_view(converted);
    BSTR result = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    return result;
}

// Runs body(error), which gives the result and sets error, and makes error
// the last error: ERROR_NOT_ENOUGH_MEMORY when an allocation failed,
// ERROR_INTERNAL_ERROR for anything else thrown, with a null result.
template <typename Body>
BSTR Guarded(Body&& body) {
    DWORD error = ERROR_INTERNAL_ERROR;
    BSTR text = nullptr;
    try {
        text = body(error);
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
    }
    ::SetLastError(error);
    return text;
}

// Runs encode(sink): emptyError when the encoder asked for no room (it found
// nothing to write).
template <typename Encode>
BSTR EncodeToBstr(DWORD emptyError, Encode&& encode) {
    return Guarded([&](DWORD& error) {
        BstrSink result;
        encode(result);
        error = result.Reserved() ? ERROR_SUCCESS : emptyError;
        return result.Release();
    });
}

// Runs name(text, sink, result) for the exports by name: a tag written into
// sink, or a name (7-bit ASCII) into result; or null with the last error of the failure,
// which the event log explains.
template <typename Name>
BSTR NameToBstr(const char* operation, const wchar_t* input, Name&& name) {
    return Guarded([&](DWORD& error) {
        BstrSink sink;
        EpcValueText result;
        const EpcNameResult outcome =
            input == nullptr || *input == L'\0'
                ? EpcNameResult{EpcNameError::kInvalidParameter, "", "no text"}
                : name(std::wstring_view(input), sink, result);
        BSTR text = nullptr;
        switch (outcome.error) {
            case EpcNameError::kNone:
                text = sink.Reserved() ? sink.Release() : UnitsToBstr(result.view(), true);
                error = text != nullptr ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
                break;
            case EpcNameError::kInvalidData:
                error = ERROR_INVALID_DATA;
                break;
            case EpcNameError::kNotSupported:
                error = ERROR_NOT_SUPPORTED;
                break;
            default:
                error = ERROR_INVALID_PARAMETER;
                break;
        }
        if (outcome.error != EpcNameError::kNone) {
            ReportEpcNameFault(operation, outcome.field, outcome.reason);
        }
        return text;
    });
}

// One of the names of a tag; an element string asked of a scheme without a
// GS1 key is empty, and so null with ERROR_NOT_SUPPORTED.
BSTR DecodeName(const char* operation, const wchar_t* hex, EpcNameKind kind) {
    return NameToBstr(operation, hex, [&](std::wstring_view tag, BstrSink&, EpcValueText& name) {
        return DecodeEpcName(tag, kind, name);
    });
}

}  // namespace

extern "C" {

// Only the layout decides the tag's bits: no result means a layout with no
// bits, or more than the encoder builds.
BSTR RFID_EncodeEPC_impl(const wchar_t* values, const wchar_t* layout, int mode) {
    return EncodeToBstr(ERROR_INVALID_PARAMETER, [&](BstrSink& sink) {
        AnsiUnits valueUnits(values);
        AnsiUnits layoutUnits(layout);
        const EpcLayoutFault fault = EncodeEpc(valueUnits.Units(), layoutUnits.Units(), mode, sink);
        if (!sink.Reserved()) {
            ReportEpcLayoutFault(fault);
        } else if (fault.loss != EpcValueLoss::kNone) {
            ReportEpcValueLoss(fault);  // the tag stays as it always was, for compatibility
        }
    });
}

// No result means the value holds no digit of its mode (the decimal 0 included).
BSTR RFID_EncodeRaw_impl(const wchar_t* value, int mode) {
    return EncodeToBstr(ERROR_INVALID_DATA, [&](BstrSink& sink) {
        AnsiUnits units(value);
        ConvertValueToHex(units.Units(), mode, sink);
    });
}

// The values as the caller's text: units of 7-bit ASCII as they stand, others
// as the ANSI bytes they are, the reverse of AnsiUnits.
BSTR QVRFID_DecodeEPC(const wchar_t* hex, const wchar_t* layout, int mode) {
    return Guarded([&](DWORD& error) {
        AnsiUnits layoutUnits(layout);
        EpcValueText values;
        const EpcDecodeResult result =
            DecodeEpc(hex != nullptr ? hex : L"", layoutUnits.Units(), mode, values);
        BSTR text = nullptr;
        switch (result.error) {
            case EpcDecodeError::kNone:
                text = UnitsToBstr(values.view(), values.ascii());
                error = ERROR_SUCCESS;
                break;
            case EpcDecodeError::kInvalidData:
                error = ERROR_INVALID_DATA;
                break;
            default:
                error = ERROR_INVALID_PARAMETER;
                break;
        }
        if (result.error != EpcDecodeError::kNone) {
            ReportEpcDecodeFailure(result);
        }
        return text;
    });
}

BSTR QVRFID_EncodeTagURI(const wchar_t* tagUri) {
    return NameToBstr("QVRFID_EncodeTagURI", tagUri,
                      [](std::wstring_view uri, BstrSink& sink, EpcValueText&) {
                          return EncodeEpcTagUri(uri, sink);
                      });
}

BSTR QVRFID_DecodeToTagURI(const wchar_t* hex) {
    return DecodeName("QVRFID_DecodeToTagURI", hex, EpcNameKind::kTagUri);
}

BSTR QVRFID_DecodeToIdURI(const wchar_t* hex) {
    return DecodeName("QVRFID_DecodeToIdURI", hex, EpcNameKind::kIdUri);
}

BSTR QVRFID_EncodeElementString(const wchar_t* scheme, int filter, int companyPrefixDigits,
                                const wchar_t* elementString) {
    const std::wstring_view name = scheme != nullptr ? scheme : L"";
    return NameToBstr("QVRFID_EncodeElementString", elementString,
                      [&](std::wstring_view element, BstrSink& sink, EpcValueText&) {
                          return EncodeEpcElementString(name, filter, companyPrefixDigits, element,
                                                        sink);
                      });
}

BSTR QVRFID_DecodeToElementString(const wchar_t* hex) {
    return DecodeName("QVRFID_DecodeToElementString", hex, EpcNameKind::kElement);
}

}  // extern "C"
