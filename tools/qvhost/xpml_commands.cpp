#include <string>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"

// xpml: one XPML request to a printer's XPML server (or its driver's hook),
// by hand, through QVDI_SendXpml on the interface DI_Open gives the printer.

namespace {

int RunXpml(QvHost& host, QvArgs& args) {
    std::vector<std::wstring> rest;
    const std::wstring name = args.FinishWithPrinter(1, 1, rest);
    OpenedPrinter printer(host, name);
    int provenance = 0;
    wchar_t* provenanceText = nullptr;
    std::optional<std::wstring> answer = QvHost::TakeBstr(host.Export<QV_PFN_QVDI_SEND_XPML>(
        "QVDI_SendXpml")(printer.Driver(), rest[0].c_str(), &provenance, &provenanceText));
    const DWORD error = ::GetLastError();
    const std::wstring how = QvHost::TakeBstr(provenanceText).value_or(L"");
    // The route as the library's routing numbers it: 1 network, 2 hook.
    const int64_t route = error != ERROR_SUCCESS ? 0 : provenance == 10 ? 2 : 1;
    const wchar_t* routeName = route == 1 ? L"network" : route == 2 ? L"local" : L"none";
    if (host.Json()) {
        QvJson json(L"xpml");
        json.Add("printer", name).Add("route", route).Add("via", routeName);
        json.Add("provenanceCode", static_cast<int64_t>(provenance)).Add("provenance", how);
        json.Add("answer", answer).Add("lastError", static_cast<int64_t>(error));
        host.PrintJson(json);
    } else {
        host.Print(L"route: " + std::to_wstring(route) + L" (" + routeName + L")");
        host.Print(L"provenance: " + std::to_wstring(provenance) + L" (" + how + L")");
        host.Print(L"answer: " + answer.value_or(L"(none)"));
    }
    return route != 0 ? kQvExitOk : kQvExitNoResult;
}

const QvCommand kCommands[] = {
    {L"xpml", L"--printer NAME REQUEST (or PRINTER REQUEST)",
     L"send one XPML request to a printer and print the route and the answer",
     L"\n"
     L"QVDI_SendXpml: the request goes over the network to the XPML server the\n"
     L"printer's \"NETWORK:\" settings name, else (for a printer on this computer)\n"
     L"through the driver's printer data. Prints:\n"
     L"  route: N (network|local|none)\n"
     L"  provenance: N (text)    0 the XPML server, 10 the driver's hook, else why\n"
     L"                          neither answered (as \"qvhost status --help\" lists)\n"
     L"  answer: ...             the answer text, or (none)\n"
     L"Example: qvhost xpml --printer Label1 \"<state name='Status' action='get' />&#00;\"\n"
     L"Exit code 1 when no route answered (or the printer has the basic interface).",
     &RunXpml},
};

}  // namespace

const QvCommandGroup kQvXpmlCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
