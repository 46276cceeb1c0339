#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"

// settings and dal-query: operations of the advanced interface, through the
// QVDI_ exports on the interface DI_Open gives the printer.

namespace {

uint32_t TakeFlags(QvArgs& args) {
    int32_t flags = 0;
    args.TakeInt(L"flags", flags);
    return static_cast<uint32_t>(flags);
}

// One line or one JSON object for a result without further data; a failure
// names the last error the export left, when it left one.
int Report(QvHost& host, QvJson& json, const std::wstring& line, bool ok, DWORD error = 0) {
    const bool withError = !ok && error != ERROR_SUCCESS;
    if (host.Json()) {
        if (withError) {
            json.Add("error", static_cast<int64_t>(error));
        }
        host.PrintJson(json.Add("ok", ok));
    } else {
        host.Print(line + (ok          ? L": done"
                           : withError ? L": failed (error " + std::to_wstring(error) + L")"
                                       : L": failed"));
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

int RunSettings(QvHost& host, QvArgs& args) {
    std::wstring name = TakePrinterName(args);
    uint32_t flags = TakeFlags(args);
    std::vector<std::wstring> positional = args.Finish(1, 2);
    const std::wstring& action = positional[0];
    const bool withPath = action == L"export" || action == L"import";
    if ((!withPath && action != L"reset") || positional.size() != (withPath ? 2u : 1u)) {
        throw QvUsageError("settings wants export PATH, import PATH or reset");
    }
    // What the file says is the driver's to judge; a file that cannot be read
    // at all fails here, before the printer is asked.
    if (action == L"import") {
        ReadFileBytes(positional[1]);
    }
    OpenedPrinter printer(host, name);
    bool ok = false;
    if (action == L"export") {
        ok = host.Export<QV_PFN_QVDI_EXPORT_SETTINGS>("QVDI_ExportSettings")(
            printer.Driver(), positional[1].c_str(), flags);
    } else if (action == L"import") {
        ok = host.Export<QV_PFN_QVDI_IMPORT_SETTINGS>("QVDI_ImportSettings")(
            printer.Driver(), positional[1].c_str(), flags);
    } else {
        ok = host.Export<QV_PFN_QVDI_RESET_SETTINGS>("QVDI_ResetSettings")(printer.Driver(), flags);
    }
    const DWORD error = ::GetLastError();
    QvJson json(L"settings");
    json.Add("printer", name).Add("action", action).Add("flags", static_cast<int64_t>(flags));
    if (withPath) {
        json.Add("path", positional[1]);
    }
    return Report(host, json, L"settings " + action, ok, error);
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
    bool ok = host.Export<QV_PFN_QVDI_SEND_DAL_QUERY_EX>("QVDI_SendDalQueryEx")(
        printer.Driver(), data.data(), static_cast<unsigned long>(data.size()),
        positional[1].c_str(), timeouts[0], timeouts[1], timeouts[2], pattern.c_str(), read);
    QvJson json(L"dal-query");
    json.Add("printer", name).Add("action", L"send").Add("id", positional[1]);
    json.Add("bytes", static_cast<int64_t>(data.size()));
    return Report(
        host, json,
        L"dal-query send " + positional[1] + L" (" + std::to_wstring(data.size()) + L" bytes)", ok);
}

int RunQueryStatus(QvHost& host, const std::wstring& name, const std::wstring& id) {
    OpenedPrinter printer(host, name);
    int status = host.Export<QV_PFN_QVDI_GET_DAL_QUERY_STATUS>("QVDI_GetDalQueryStatus")(
        printer.Driver(), id.c_str());
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
    auto ask = host.Export<QV_PFN_QVDI_GET_DAL_QUERY_RESPONSE>("QVDI_GetDalQueryResponse");
    // Each call asks the printer again, so the size can change between them.
    bool ok = false;
    for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
        unsigned long size = static_cast<unsigned long>(response.size());
        ok = ask(printer.Driver(), id.c_str(), response.empty() ? nullptr : response.data(), &size);
        const bool more = !ok && ::GetLastError() == ERROR_MORE_DATA;
        response.resize(ok || more ? size : 0);
        if (!more) {
            break;
        }
    }
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
     L"Calls QVDI_ExportSettings, QVDI_ImportSettings (then saved) or\n"
     L"QVDI_ResetSettings (then saved) with the flags (default 0). Prints\n"
     L"\"settings ACTION: done\" when the driver's module did it, else\n"
     L"\"settings ACTION: failed (error N)\" with the export's last error (the\n"
     L"module refused the file, lacks the function, or its proxy failed) and exit\n"
     L"code 1 (also when the driver has no DAL module); 4 when import's file cannot\n"
     L"be read.",
     &RunSettings},
    {L"dal-query",
     L"--printer NAME send ID FILE [SEND START INTERVAL] [--pattern P] [--read] | status ID | "
     L"response ID [--out FILE]",
     L"send a DAL query (FILE's bytes) to the printer, poll its status and response",
     L"\n"
     L"send: QVDI_SendDalQueryEx with the three time-outs in ms (0 or less: none), the\n"
     L"  response pattern and the read flag; exit code 1 when no route took it.\n"
     L"status: the printer's number for the query (exit code 1 for 0).\n"
     L"response: the response bytes, as text or written to --out FILE.",
     &RunDalQuery},
};

}  // namespace

const QvCommandGroup kQvAdvancedCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
