// The library's own view of the handle's object (same compiler, same headers):
// settings and DAL queries take its text type and byte buffers, which no
// export carries.
#include "driver_interface/driver_interface.h"

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "sim/dal_module/sim_dal_module.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"

// settings and dal-query: operations of the advanced interface that only the
// handle's object offers. A host built with the library's toolchain calls them
// as here: reinterpret_cast<DriverInterface*>(DI_Open(printer))->Operation.

namespace {

DriverInterface& ObjectOf(const OpenedPrinter& printer) {
    return *reinterpret_cast<DriverInterface*>(printer.Driver());
}

}  // namespace

int32_t StatusProvenanceOf(const OpenedPrinter& printer, std::wstring& text) {
    OString provenance;
    const int32_t code = ObjectOf(printer).GetStatusProvenance(provenance);
    text = provenance.GetWide();
    return code;
}

namespace {

uint32_t TakeFlags(QvArgs& args) {
    int32_t flags = 0;
    args.TakeInt(L"flags", flags);
    return static_cast<uint32_t>(flags);
}

// One line or one JSON object for a result without further data.
int Report(QvHost& host, QvJson& json, const std::wstring& line, bool ok) {
    if (host.Json()) {
        host.PrintJson(json.Add("ok", ok));
    } else {
        host.Print(line + (ok ? L": done" : L": failed"));
    }
    return ok ? kQvExitOk : kQvExitNoResult;
}

std::vector<uint8_t> ReadFileBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        throw QvCommandError(kQvExitFailure, "cannot read " + QvToUtf8(path));
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// The interface answers an import once the driver's module is reached,
// whatever the module made of the file, so the file is checked here first: a
// script must not take a refused import for a done one.
void CheckSettingsFile(const std::wstring& path) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    if (!QvSimDal::IsSettingsText(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
        throw QvCommandError(kQvExitNoResult,
                             QvToUtf8(path) + " holds no settings (name=value lines)");
    }
}

int RunSettings(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    uint32_t flags = TakeFlags(args);
    std::vector<std::wstring> positional = args.Finish(1, 2);
    const std::wstring& action = positional[0];
    const bool withPath = action == L"export" || action == L"import";
    if ((!withPath && action != L"reset") || positional.size() != (withPath ? 2u : 1u)) {
        throw QvUsageError("settings wants export PATH, import PATH or reset");
    }
    if (action == L"import") {
        CheckSettingsFile(positional[1]);
    }
    OpenedPrinter printer(host, name);
    DriverInterface& driver = ObjectOf(printer);
    bool ok = false;
    if (action == L"export") {
        ok = driver.ExportSettings(OString(positional[1].c_str()), flags);
    } else if (action == L"import") {
        ok = driver.ImportSettings(OString(positional[1].c_str()), flags);
    } else {
        ok = driver.ResetSettings(flags);
    }
    QvJson json(L"settings");
    json.Add("printer", name).Add("action", action).Add("flags", static_cast<int64_t>(flags));
    if (withPath) {
        json.Add("path", positional[1]);
    }
    return Report(host, json, L"settings " + action, ok);
}

int RunQuerySend(QvHost& host, QvArgs& args, const std::wstring& name) {
    std::wstring pattern;
    args.TakeOption(L"pattern", pattern);
    bool read = args.TakeFlag(L"read");
    std::vector<std::wstring> positional = args.Finish(3, 6);
    int32_t timeouts[3] = {0, 0, 0};
    for (size_t i = 3; i < positional.size(); ++i) {
        timeouts[i - 3] = QvArgs::RequireInt32(positional[i], "a time-out wants a number of ms");
    }
    std::vector<uint8_t> data = ReadFileBytes(positional[2]);
    OpenedPrinter printer(host, name);
    bool ok = ObjectOf(printer).SendDalQueryEx(
        data.data(), static_cast<uint32_t>(data.size()), OString(positional[1].c_str()),
        timeouts[0], timeouts[1], timeouts[2], OString(pattern.c_str()), read);
    QvJson json(L"dal-query");
    json.Add("printer", name).Add("action", L"send").Add("id", positional[1]);
    json.Add("bytes", static_cast<int64_t>(data.size()));
    return Report(
        host, json,
        L"dal-query send " + positional[1] + L" (" + std::to_wstring(data.size()) + L" bytes)", ok);
}

int RunQueryStatus(QvHost& host, const std::wstring& name, const std::wstring& id) {
    OpenedPrinter printer(host, name);
    int status = ObjectOf(printer).GetDalQueryStatus(OString(id.c_str()));
    if (host.Json()) {
        host.PrintJson(QvJson(L"dal-query")
                           .Add("printer", name)
                           .Add("action", L"status")
                           .Add("id", id)
                           .Add("status", static_cast<int64_t>(status)));
    } else {
        host.Print(L"dal-query " + id + L" status: " + std::to_wstring(status));
    }
    return status != 0 ? kQvExitOk : kQvExitNoResult;
}

int RunQueryResponse(QvHost& host, const std::wstring& name, const std::wstring& id,
                     const std::wstring& out) {
    OpenedPrinter printer(host, name);
    std::vector<uint8_t> response;
    bool ok = ObjectOf(printer).GetDalQueryResponse(OString(id.c_str()), response);
    if (ok && !out.empty()) {
        std::ofstream file(out.c_str(), std::ios::binary);
        file.write(reinterpret_cast<const char*>(response.data()),
                   static_cast<std::streamsize>(response.size()));
        if (!file) {
            throw QvCommandError(kQvExitFailure, "cannot write " + QvToUtf8(out));
        }
    }
    const std::wstring text = QvFromUtf8(std::string(response.begin(), response.end()));
    if (host.Json()) {
        QvJson json(L"dal-query");
        json.Add("printer", name).Add("action", L"response").Add("id", id).Add("answered", ok);
        json.Add("bytes", static_cast<int64_t>(response.size()));
        if (out.empty()) {
            json.Add("response", text);
        } else {
            json.Add("out", out);
        }
        host.PrintJson(json);
    } else if (!ok) {
        host.Print(L"dal-query " + id + L" response: (none)");
    } else {
        host.Print(L"dal-query " + id + L" response: " + std::to_wstring(response.size()) +
                   L" bytes" + (out.empty() ? L": " + text : L" written to " + out));
    }
    return ok ? kQvExitOk : kQvExitNoResult;
}

int RunDalQuery(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    std::wstring out;
    args.TakeOption(L"out", out);
    // The action decides how many positional arguments follow: peek by
    // finishing a copy.
    QvArgs peek = args;
    std::vector<std::wstring> positional;
    try {
        positional = peek.Finish(2, 2);
    } catch (const QvUsageError&) {
        return RunQuerySend(host, args, name);
    }
    if (positional[0] == L"status" && out.empty()) {
        return RunQueryStatus(host, name, positional[1]);
    }
    if (positional[0] == L"response") {
        return RunQueryResponse(host, name, positional[1], out);
    }
    throw QvUsageError("dal-query wants send ID FILE, status ID or response ID");
}

const QvCommand kCommands[] = {
    {L"settings", L"--printer NAME export|import PATH [--flags F] | reset [--flags F]",
     L"export, import or reset the driver's settings through its DAL module",
     L"\n"
     L"Calls the handle's ExportSettings, ImportSettings (then saved) or\n"
     L"ResetSettings (then saved) with the flags (default 0). Prints\n"
     L"\"settings ACTION: done\"; exit code 1 when the driver has no DAL module or\n"
     L"import's file holds no settings (name=value lines), 4 when it cannot be read.",
     &RunSettings},
    {L"dal-query",
     L"--printer NAME send ID FILE [SEND START INTERVAL] [--pattern P] [--read] | status ID | "
     L"response ID [--out FILE]",
     L"send a DAL query (FILE's bytes) to the printer, poll its status and response",
     L"\n"
     L"send: SendDalQueryEx with the three time-outs in ms (0 or less: none), the\n"
     L"  response pattern and the read flag; exit code 1 when no route took it.\n"
     L"status: the printer's number for the query (exit code 1 for 0).\n"
     L"response: the response bytes, as text or written to --out FILE.",
     &RunDalQuery},
};

}  // namespace

const QvCommandGroup kQvAdvancedCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
