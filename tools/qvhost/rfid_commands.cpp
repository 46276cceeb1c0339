#include "quorvel_driver_utility.h"
#include "tools/qvhost/qvhost.h"

// rfid-epc, rfid-raw, rfid-encode and rfid-decode: RFID_EncodeEPC,
// RFID_EncodeRaw, the QVRFID_ exports by name and QVRFID_DecodeEPC, through
// the exports alone. The tag (or the values) goes to standard output alone (or
// in a JSON object), so that a script can take it as it is.

namespace {

using DecodeEpc = decltype(&QVRFID_DecodeEPC);

// The pieces of a value list as the library cuts it: at every ';', empty
// pieces included, none for the empty text.
std::vector<std::wstring> Pieces(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    for (size_t start = 0; !text.empty();) {
        const size_t end = text.find(L';', start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    return pieces;
}

// The values read back, or the reason the library gave for none.
std::optional<std::wstring> Decode(QvHost& host, const std::wstring& hex,
                                   const std::wstring& layout, int32_t mode, DWORD& error) {
    auto decode = host.Export<DecodeEpc>("QVRFID_DecodeEPC");
    BSTR values = decode(hex.c_str(), layout.c_str(), mode);
    error = ::GetLastError();
    std::optional<std::wstring> text = QvHost::TakeBstr(values);
    return text || error != ERROR_SUCCESS ? text : std::optional<std::wstring>(L"");
}

std::wstring DecodeFailure(DWORD error) {
    return error == ERROR_INVALID_DATA ? L"the tag does not fit the layout (ERROR_INVALID_DATA)"
           : error == ERROR_INVALID_PARAMETER
               ? L"the layout cannot be read back (ERROR_INVALID_PARAMETER)"
               : L"error " + std::to_wstring(error);
}

// --mode as a number or a name; decimal when absent, the usual mode of EPC
// values. Numbers outside 0..3 are passed on: the library treats them as 1.
int32_t TakeMode(QvArgs& args) {
    static const struct {
        const wchar_t* name;
        int32_t mode;
    } kNames[] = {{L"text", 0}, {L"hex", 1}, {L"decimal", 2}, {L"binary", 3}};
    std::wstring text;
    if (!args.TakeOption(L"mode", text)) {
        return 2;
    }
    for (const auto& entry : kNames) {
        if (text == entry.name) {
            return entry.mode;
        }
    }
    return QvArgs::RequireInt32(text, "--mode wants a number (0..3) or text, hex, decimal, binary");
}

int Report(QvHost& host, const wchar_t* command, QvJson json,
           const std::optional<std::wstring>& hex) {
    if (host.Json()) {
        host.PrintJson(
            json.Add("hex", hex).Add("bits", static_cast<int64_t>(hex ? hex->size() * 4 : 0)));
    } else if (hex) {
        host.Print(*hex);
    } else {
        QvPrintError(std::wstring(command) + L": no result (the library returned null)");
    }
    return hex ? kQvExitOk : kQvExitNoResult;
}

// Reads the tag back and names every value that did not survive: what the
// encoder cut, dropped or wrote over. Leading zeros of numbers do not count
// as lost when the value read back is the same number. Unless asked (by
// --verify), the tag stays the result and what did not survive goes to
// standard error in every output form.
int Verify(QvHost& host, const std::wstring& hex, const std::wstring& layout, int32_t mode,
           const std::wstring& values, QvJson& json, bool asked = true) {
    DWORD error = 0;
    std::optional<std::wstring> read = Decode(host, hex, layout, mode, error);
    if (!read && !asked) {
        QvPrintError(L"rfid-epc: values not checked: " + DecodeFailure(error));
        return kQvExitNoResult;
    }
    if (!read) {
        json.Add("verified", false).Add("error", DecodeFailure(error));
        if (!host.Json()) {
            QvPrintError(L"rfid-epc --verify: " + DecodeFailure(error));
        }
        return kQvExitNoResult;
    }
    const std::vector<std::wstring> given = Pieces(values);
    const std::vector<std::wstring> back = Pieces(*read);
    auto same = [&](const std::wstring& a, const std::wstring& b) {
        if (a == b) {
            return true;
        }
        if (mode == 0 || a.empty() || b.empty()) {
            return false;
        }
        auto trimmed = [](const std::wstring& t) {
            const size_t first = t.find_first_not_of(L'0');
            return first == std::wstring::npos ? std::wstring(L"0") : t.substr(first);
        };
        return trimmed(a) == trimmed(b);
    };
    int lost = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        const std::wstring now = i < back.size() ? back[i] : L"(none)";
        if (!same(given[i], now)) {
            ++lost;
            if (!host.Json() || !asked) {
                QvPrintError(L"value " + std::to_wstring(i + 1) + L" '" + given[i] +
                             L"' reads back as '" + now + L"'");
            }
        }
    }
    json.Add("read", *read).Add("verified", lost == 0).Add("lost", static_cast<int64_t>(lost));
    return lost == 0 ? kQvExitOk : kQvExitNoResult;
}

int RunEncodeEpc(QvHost& host, QvArgs& args) {
    std::wstring layout;
    std::wstring values;
    bool hasLayout = args.TakeOption(L"layout", layout);
    args.TakeOption(L"values", values);  // a layout of literals needs none
    int32_t mode = TakeMode(args);
    const bool verify = args.TakeFlag(L"verify");
    args.Finish(0, 0);
    if (!hasLayout) {
        throw QvUsageError("--layout is required");
    }
    auto encode = host.Export<QV_PFN_RFID_ENCODE_EPC>(QV_EXPORT_RFID_ENCODE_EPC);
    std::optional<std::wstring> hex =
        QvHost::TakeBstr(encode(values.c_str(), layout.c_str(), mode));
    QvJson json(L"rfid-epc");
    json.Add("layout", layout).Add("values", values).Add("mode", static_cast<int64_t>(mode));
    if (!verify || !hex) {
        if (hex) {
            // The tag stays the result (the library keeps it so for
            // compatibility), but a value it does not hold is told.
            QvJson unused(L"rfid-epc");
            Verify(host, *hex, layout, mode, values, unused, false);
        }
        return Report(host, L"rfid-epc", json, hex);
    }
    json.Add("hex", hex).Add("bits", static_cast<int64_t>(hex->size() * 4));
    const int exitCode = Verify(host, *hex, layout, mode, values, json);
    if (host.Json()) {
        host.PrintJson(json);
    } else {
        host.Print(*hex);
    }
    return exitCode;
}

std::wstring NameFailure(DWORD error) {
    return error == ERROR_INVALID_DATA    ? L"a value the scheme cannot carry (ERROR_INVALID_DATA)"
           : error == ERROR_NOT_SUPPORTED ? L"no such scheme (ERROR_NOT_SUPPORTED)"
           : error == ERROR_INVALID_PARAMETER
               ? L"not a tag URI or element string (ERROR_INVALID_PARAMETER)"
               : L"error " + std::to_wstring(error);
}

// A tag by its names: scheme, tag URI, identity URI and element string.
int DecodeNames(QvHost& host, const std::wstring& hex) {
    using Name = QV_PFN_QVRFID_DECODE_TO_TAG_URI;
    std::optional<std::wstring> tagUri =
        QvHost::TakeBstr(host.Export<Name>("QVRFID_DecodeToTagURI")(hex.c_str()));
    const DWORD error = ::GetLastError();
    std::optional<std::wstring> idUri;
    std::optional<std::wstring> element;
    std::optional<std::wstring> scheme;
    if (tagUri) {
        idUri = QvHost::TakeBstr(host.Export<Name>("QVRFID_DecodeToIdURI")(hex.c_str()));
        element = QvHost::TakeBstr(host.Export<Name>("QVRFID_DecodeToElementString")(hex.c_str()));
        const size_t start = tagUri->find(L':', 8) + 1;  // after "urn:epc:tag:"
        scheme = tagUri->substr(start, tagUri->find(L':', start) - start);
    }
    if (host.Json()) {
        QvJson json(L"rfid-decode");
        json.Add("hex", hex).Add("scheme", scheme).Add("tagUri", tagUri).Add("idUri", idUri);
        json.Add("elementString", element);
        if (!tagUri) {
            json.Add("error", NameFailure(error)).Add("lastError", static_cast<int64_t>(error));
        }
        host.PrintJson(json);
    } else if (tagUri) {
        host.Print(L"scheme          " + *scheme);
        host.Print(L"tag URI         " + *tagUri);
        host.Print(L"identity URI    " + idUri.value_or(L""));
        if (element) {
            host.Print(L"element string  " + *element);
        }
    } else {
        QvPrintError(L"rfid-decode: " + NameFailure(error));
    }
    return tagUri ? kQvExitOk : kQvExitNoResult;
}

int RunDecodeEpc(QvHost& host, QvArgs& args) {
    int32_t mode = TakeMode(args);
    std::wstring layout;
    const bool hasLayout = args.TakeOption(L"layout", layout);
    const std::vector<std::wstring> positional = args.Finish(1, hasLayout ? 1 : 2);
    if (positional.size() == 2) {
        layout = positional[1];
    } else if (!hasLayout) {
        return DecodeNames(host, positional[0]);
    }
    DWORD error = 0;
    std::optional<std::wstring> read = Decode(host, positional[0], layout, mode, error);
    if (host.Json()) {
        QvJson json(L"rfid-decode");
        json.Add("hex", positional[0]).Add("layout", layout);
        json.Add("mode", static_cast<int64_t>(mode)).Add("values", read);
        if (!read) {
            json.Add("error", DecodeFailure(error)).Add("lastError", static_cast<int64_t>(error));
        }
        host.PrintJson(json);
    } else if (read) {
        host.Print(*read);
    } else {
        QvPrintError(L"rfid-decode: " + DecodeFailure(error));
    }
    return read ? kQvExitOk : kQvExitNoResult;
}

int RunEncodeByName(QvHost& host, QvArgs& args) {
    std::wstring element;
    const bool gs1 = args.TakeOption(L"gs1", element);
    std::wstring scheme;
    std::wstring filter = L"0";
    std::wstring digits;
    args.TakeOption(L"scheme", scheme);
    args.TakeOption(L"filter", filter);
    const bool hasDigits = args.TakeOption(L"prefix-digits", digits);
    const std::vector<std::wstring> positional = args.Finish(gs1 ? 0 : 1, gs1 ? 0 : 1);
    QvJson json(L"rfid-encode");
    std::optional<std::wstring> hex;
    if (gs1) {
        if (scheme.empty() || !hasDigits) {
            throw QvUsageError("--gs1 wants --scheme and --prefix-digits");
        }
        const int32_t filterValue = QvArgs::RequireInt32(filter, "--filter wants a number");
        const int32_t prefixDigits =
            QvArgs::RequireInt32(digits, "--prefix-digits wants a number (6..12)");
        auto encode =
            host.Export<QV_PFN_QVRFID_ENCODE_ELEMENT_STRING>("QVRFID_EncodeElementString");
        hex = QvHost::TakeBstr(encode(scheme.c_str(), filterValue, prefixDigits, element.c_str()));
        json.Add("elementString", element).Add("scheme", scheme);
        json.Add("filter", static_cast<int64_t>(filterValue));
        json.Add("prefixDigits", static_cast<int64_t>(prefixDigits));
    } else {
        auto encode = host.Export<QV_PFN_QVRFID_ENCODE_TAG_URI>("QVRFID_EncodeTagURI");
        hex = QvHost::TakeBstr(encode(positional[0].c_str()));
        json.Add("tagUri", positional[0]);
    }
    const DWORD error = ::GetLastError();
    if (!hex && !host.Json()) {
        QvPrintError(L"rfid-encode: " + NameFailure(error));
        return kQvExitNoResult;
    }
    return Report(host, L"rfid-encode", json, hex);
}

int RunEncodeRaw(QvHost& host, QvArgs& args) {
    int32_t mode = TakeMode(args);
    std::wstring value = args.Finish(1, 1)[0];
    auto encode = host.Export<QV_PFN_RFID_ENCODE_RAW>(QV_EXPORT_RFID_ENCODE_RAW);
    std::optional<std::wstring> hex = QvHost::TakeBstr(encode(value.c_str(), mode));
    QvJson json(L"rfid-raw");
    json.Add("value", value).Add("mode", static_cast<int64_t>(mode));
    return Report(host, L"rfid-raw", json, hex);
}

const QvCommand kCommands[] = {
    {L"rfid-epc", L"--layout LAYOUT [--values VALUES] [--mode N] [--verify]",
     L"encode an EPC from ';'-separated values and a layout (RFID_EncodeEPC)",
     L"\n"
     L"Layout entries, separated by ';':\n"
     L"  W          plain field of W bits, value in the call's mode\n"
     L"  W:P1       company prefix; its partition goes into the field before it\n"
     L"  W:P2       the field after the prefix, W minus the prefix's bits\n"
     L"  W:P2VAR6   6-bit text with terminator, as wide as it is\n"
     L"  W#H W#A W#D W#B          value as hexadecimal, text, decimal, binary\n"
     L"  W#EUID64 W#EASC7 W#ESN_GDTI113 W#ESN_SGCN96 W#ECAGE6 W#EVAR6\n"
     L"  W#XY, W:XY  a literal: the hexadecimal digits of XY, no value taken\n"
     L"--mode: 0 text, 1 hex, 2 decimal (default), 3 binary; names text, hex, decimal, binary.\n"
     L"Other numbers are passed on; the library treats them as 1 (hex).\n"
     L"\n"
     L"Example, SGTIN-96 (header 30, filter 3, company prefix 0614141, item 812345, serial 6789):\n"
     L"  qvhost rfid-epc --layout \"8#30;3;3#X;20:P1;44:P2;38\" --values "
     L"\"3;0614141;812345;6789\"\n"
     L"  3074257BF7194E4000001A85\n"
     L"\n"
     L"--verify reads the tag back (QVRFID_DecodeEPC) and names on stderr each value that did\n"
     L"not survive (cut to its field, characters dropped, written over by a partition); exit 1\n"
     L"when one did. Leading zeros of a number do not count.",
     RunEncodeEpc},
    {L"rfid-decode", L"HEX [LAYOUT | --layout LAYOUT] [--mode N]",
     L"read a tag back: by name, or its values under a layout (QVRFID_DecodeEPC)",
     L"\n"
     L"Without a layout: the scheme from the tag's header, its tag URI, identity URI and, for\n"
     L"schemes with a GS1 key, its element string (the QVRFID_DecodeTo... exports).\n"
     L"With a layout, the one the tag was written with (see rfid-epc --help); --mode as there,\n"
     L"for plain, P1 and P2 fields. Prints the values joined by ';', in the order rfid-epc\n"
     L"takes them. Exit 1 with the reason when the tag does not fit.\n"
     L"\n"
     L"Example: qvhost rfid-decode 3074257BF7194E4000001A85 \"8#30;3;3#X;20:P1;44:P2;38\"\n"
     L"  3;0614141;812345;6789\n"
     L"Example: qvhost rfid-decode 3074257BF7194E4000001A85\n"
     L"  tag URI         urn:epc:tag:sgtin-96:3.0614141.812345.6789",
     RunDecodeEpc},
    {L"rfid-encode", L"TAG-URI | --gs1 ELEMENT --scheme NAME --filter N --prefix-digits N",
     L"encode a tag by name (QVRFID_EncodeTagURI, QVRFID_EncodeElementString)",
     L"\n"
     L"Schemes: sgtin-96 sgtin-198 sscc-96 sgln-96 sgln-195 grai-96 grai-170 giai-96 giai-202\n"
     L"gsrn-96 gsrnp-96 gdti-96 gdti-113 gdti-174 cpi-96 cpi-var sgcn-96 itip-110 itip-212\n"
     L"gid-96 usdod-96 adi-var (element strings for those with a GS1 key). --filter defaults\n"
     L"to 0; --prefix-digits is the company prefix's length in the key (6..12).\n"
     L"\n"
     L"Example: qvhost rfid-encode urn:epc:tag:sgtin-96:3.0614141.812345.6789\n"
     L"Example: qvhost rfid-encode --gs1 \"(01)80614141123458(21)6789\" --scheme sgtin-96 "
     L"--filter 3 --prefix-digits 7\n"
     L"  3074257BF7194E4000001A85",
     RunEncodeByName},
    {L"rfid-raw", L"VALUE [--mode N]", L"convert one value to hexadecimal (RFID_EncodeRaw)",
     L"\n"
     L"--mode: 0 text, 1 hex, 2 decimal (default), 3 binary; names text, hex, decimal, binary.\n"
     L"Other numbers are passed on; the library treats them as 1 (hex).\n"
     L"Characters the mode does not accept are dropped. Use -- before a value that starts with "
     L"--.\n"
     L"\n"
     L"Example: qvhost rfid-raw 255   prints FF",
     RunEncodeRaw},
};

}  // namespace

const QvCommandGroup kQvRfidCommands = {kCommands, sizeof(kCommands) / sizeof(kCommands[0])};
