#include "quorvel_driver_utility.h"
#include "tools/qvhost/qvhost.h"

// rfid-epc and rfid-raw: RFID_EncodeEPC and RFID_EncodeRaw. The tag goes to
// standard output alone (or in a JSON object), so that a script can take it
// as it is.

namespace {

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

int RunEncodeEpc(QvHost& host, QvArgs& args) {
    std::wstring layout;
    std::wstring values;
    bool hasLayout = args.TakeOption(L"layout", layout);
    args.TakeOption(L"values", values);  // a layout of literals needs none
    int32_t mode = TakeMode(args);
    args.Finish(0, 0);
    if (!hasLayout) {
        throw QvUsageError("--layout is required");
    }
    auto encode = host.Export<QV_PFN_RFID_ENCODE_EPC>(QV_EXPORT_RFID_ENCODE_EPC);
    std::optional<std::wstring> hex =
        QvHost::TakeBstr(encode(values.c_str(), layout.c_str(), mode));
    QvJson json(L"rfid-epc");
    json.Add("layout", layout).Add("values", values).Add("mode", static_cast<int64_t>(mode));
    return Report(host, L"rfid-epc", json, hex);
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
    {L"rfid-epc", L"--layout LAYOUT [--values VALUES] [--mode N]",
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
     L"  3074257BF7194E4000001A85",
     RunEncodeEpc},
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
