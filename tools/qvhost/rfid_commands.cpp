#include "quorvel_driver_utility.h"
#include "rfid/epc_layout.h"
#include "tools/qvhost/qvhost.h"

// rfid-epc, rfid-raw and rfid-decode: RFID_EncodeEPC, RFID_EncodeRaw and
// QVRFID_DecodeEPC. The tag (or the values) goes to standard output alone (or
// in a JSON object), so that a script can take it as it is.

namespace {

using DecodeEpc = decltype(&QVRFID_DecodeEPC);

// The pieces of a value list as the library cuts it.
std::vector<std::wstring> Pieces(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    EpcPieces cut(text);
    for (std::wstring_view piece; cut.Next(piece);) {
        pieces.emplace_back(piece);
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
// as lost when the value read back is the same number.
int Verify(QvHost& host, const std::wstring& hex, const std::wstring& layout, int32_t mode,
           const std::wstring& values, QvJson& json) {
    DWORD error = 0;
    std::optional<std::wstring> read = Decode(host, hex, layout, mode, error);
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
            if (!host.Json()) {
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

int RunDecodeEpc(QvHost& host, QvArgs& args) {
    int32_t mode = TakeMode(args);
    const std::vector<std::wstring> positional = args.Finish(2, 2);
    DWORD error = 0;
    std::optional<std::wstring> read = Decode(host, positional[0], positional[1], mode, error);
    if (host.Json()) {
        QvJson json(L"rfid-decode");
        json.Add("hex", positional[0]).Add("layout", positional[1]);
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
    {L"rfid-decode", L"HEX LAYOUT [--mode N]",
     L"read the values back from a tag's hexadecimal text (QVRFID_DecodeEPC)",
     L"\n"
     L"LAYOUT is the one the tag was written with (see rfid-epc --help); --mode as there, for\n"
     L"plain, P1 and P2 fields. Prints the values joined by ';', in the order rfid-epc takes\n"
     L"them; exit 1 with the reason when the tag does not fit the layout.\n"
     L"\n"
     L"Example: qvhost rfid-decode 3074257BF7194E4000001A85 \"8#30;3;3#X;20:P1;44:P2;38\"\n"
     L"  3;0614141;812345;6789",
     RunDecodeEpc},
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
