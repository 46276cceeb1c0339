#pragma once

#include <windows.h>
#include <oleauto.h>

#include "rfid/epc_decoder.h"
#include "rfid/epc_encoder.h"

// The RFID_ exports as the library implements them; the DLL exports each under
// its MSVC-decorated name (exports/rfid.def). Both are stateless and may run on
// any number of threads at once. Null arguments count as empty text. The result
// is upper-case hexadecimal text as a BSTR the caller frees with SysFreeString,
// or null: for an empty result, and for anything thrown inside (allocation
// failure included), which never unwinds into the host.
extern "C" {
// The EPC built from ";"-separated values and a ";"-separated layout, in the
// given input mode (0 text, 1 hexadecimal, 2 decimal, 3 binary; any other as 1).
BSTR RFID_EncodeEPC_impl(const wchar_t* values, const wchar_t* layout, int mode);
// One value as hexadecimal text in the given input mode.
BSTR RFID_EncodeRaw_impl(const wchar_t* value, int mode);
// The values a tag's hexadecimal text holds under the layout, joined by ";";
// exported under this plain name.
BSTR QVRFID_DecodeEPC(const wchar_t* hex, const wchar_t* layout, int mode);
// Tags by name (rfid/epc_schemes.h), exported under these plain names.
BSTR QVRFID_EncodeTagURI(const wchar_t* tagUri);
BSTR QVRFID_DecodeToTagURI(const wchar_t* hex);
BSTR QVRFID_DecodeToIdURI(const wchar_t* hex);
BSTR QVRFID_EncodeElementString(const wchar_t* scheme, int filter, int companyPrefixDigits,
                                const wchar_t* elementString);
BSTR QVRFID_DecodeToElementString(const wchar_t* hex);
}

// Why RFID_EncodeEPC gave no tag, written for the developer of the layout to
// the event log at Warnings: the field that made the tag too wide, or that the
// layout gives no bits. Kept apart from the exports, which are pure code.
void ReportEpcLayoutFault(const EpcLayoutFault& fault);

// The first field of a tag RFID_EncodeEPC built whose value the tag does not
// hold (fault.loss), at Warnings, at most once a minute for cuts and once for
// lost characters, by the library's clock; the next line counts those left out.
// Nothing for no loss.
void ReportEpcValueLoss(const EpcLayoutFault& fault);

// Why QVRFID_DecodeEPC read no values, at Warnings: the layout field and the
// reason.
void ReportEpcDecodeFailure(const EpcDecodeResult& result);

// Why an export by name gave no result, at Warnings: the field of the tag,
// URI or element string ("" for the whole) and the reason.
void ReportEpcNameFault(const char* operation, const char* field, const char* reason);
