#pragma once

#include <string>
#include <string_view>

#include "rfid/epc_decoder.h"
#include "rfid/epc_encoder.h"

// EPC tags by name: the binary schemes of the GS1 EPC Tag Data Standard 1.13
// as one table of layouts in the layout language, and the mapping between
// their values and the tag URI, the pure identity URI and the GS1 element
// string. The bits are the layout encoder's and reader's; this adds the
// rules a layout cannot say: digit counts that follow the partition, check
// digits, the characters each field may hold, escapes in URIs. Pure: no OS
// calls, no state; any number of threads at once.

enum class EpcNameError {
    kNone,
    kInvalidParameter,  // no text, not a tag URI or element string, fields missing or extra
    kInvalidData,       // a value the scheme cannot carry, or bits that break the scheme
    kNotSupported,      // no scheme of that name or header, or no element string for it
};

struct EpcNameResult {
    EpcNameError error = EpcNameError::kNone;
    const char* field = "";   // for the log: "serial", "filter", ...; "" for the whole
    const char* reason = "";  // "not numeric", "out of range", ...
};

// A tag read by name; element is empty for schemes without a GS1 key.
struct EpcNames {
    std::wstring scheme;   // "sgtin-96"
    std::wstring tagUri;   // "urn:epc:tag:sgtin-96:3.0614141.812345.6789"
    std::wstring idUri;    // "urn:epc:id:sgtin:0614141.812345.6789"
    std::wstring element;  // "(01)80614141123458(21)6789"
};

// The tag (upper-case hexadecimal, two digits per byte) of a tag URI, into
// sink; nothing is written on an error.
EpcNameResult EncodeEpcTagUri(std::wstring_view uri, EpcHexSink& sink);

// The tag of a GS1 element string in the named scheme ("sgtin-96"), with the
// filter and the number of digits of the company prefix the key starts with.
EpcNameResult EncodeEpcElementString(std::wstring_view scheme, int filter, int prefixDigits,
                                     std::wstring_view element, EpcHexSink& sink);

enum class EpcNameKind { kScheme, kTagUri, kIdUri, kElement };

// One name of a tag, appended to name (the scheme from the tag's header
// byte); the element string is empty for schemes without a GS1 key.
EpcNameResult DecodeEpcName(std::wstring_view hex, EpcNameKind kind, EpcValueText& name);

// All names of a tag at once.
EpcNameResult DecodeEpcNames(std::wstring_view hex, EpcNames& names);
