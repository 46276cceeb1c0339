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

// The reports below go to the event log at Warnings, at most once a minute
// per kind of failure (by the library's clock), the next line counting those
// held back: a host that tries several layouts per tag or scans foreign tags
// fails by the thousand. Kept apart from the exports, which are pure code.

// Why RFID_EncodeEPC gave no tag, for the developer of the layout: the field
// that made the tag too wide, or that the layout gives no bits.
void ReportEpcLayoutFault(const EpcLayoutFault& fault);

// The first field of a tag RFID_EncodeEPC built whose value the tag does not
// hold (fault.loss): cuts and lost characters are two kinds. Nothing for no
// loss.
void ReportEpcValueLoss(const EpcLayoutFault& fault);

// Why QVRFID_DecodeEPC read no values: the layout field and the reason (the
// kind).
void ReportEpcDecodeFailure(const EpcDecodeResult& result);

// Why an export by name gave no result: the field of the tag, URI or element
// string ("" for the whole) and the reason (with operation, the kind).
void ReportEpcNameFault(const char* operation, const char* field, const char* reason);
