#include "tools/qvhost/qvhost.h"

#include <memory>
#include <string>

#include "xpml/xpml_routing.h"

// xpml: one XPML request to a printer's XPML server (or its driver's hook),
// by hand. SendXpml is not an export, so this command runs the library's
// routing linked into qvhost itself, with the same settings and transport a
// driver interface uses.

namespace {

int RunXpml(QvHost& host, QvArgs& args) {
    std::vector<std::wstring> rest;
    const std::wstring printer = args.FinishWithPrinter(1, 1, rest);
    // The request travels as narrow text; what the command line gives in
    // UTF-16 is put in the system code page, as a driver interface would.
    const OString request(rest[0].c_str());
    int32_t route = kXpmlNoAnswer;
    std::unique_ptr<HttpResponse> answer =
        SendXpml(OString(printer.c_str()), request.GetNarrow(), &route);
    std::wstring body;
    if (answer) {
        const std::vector<uint8_t>& bytes = answer->Body();
        body = QvFromUtf8(std::string(bytes.begin(), bytes.end()));
    }
    const wchar_t* routeName = route == kXpmlNetwork ? L"network"
                               : route == kXpmlLocal ? L"local"
                                                     : L"none";
    if (host.Json()) {
        QvJson json(L"xpml");
        json.Add("printer", printer).Add("route", static_cast<int64_t>(route));
        json.Add("via", routeName);
        if (answer) {
            json.Add("answer", body);
        } else {
            json.AddNull("answer");
        }
        host.PrintJson(json);
    } else {
        host.Print(L"route: " + std::to_wstring(route) + L" (" + routeName + L")");
        host.Print(L"answer: " + (answer ? body : std::wstring(L"(none)")));
    }
    return answer ? kQvExitOk : kQvExitNoResult;
}

const QvCommand kCommands[] = {
    {L"xpml", L"--printer NAME REQUEST (or PRINTER REQUEST)",
     L"send one XPML request to a printer and print the route and the answer",
     L"\n"
     L"The request goes over the network to the XPML server the printer's\n"
     L"\"NETWORK:\" settings name, else (for a printer on this computer) through\n"
     L"the driver's printer data. Prints:\n"
     L"  route: N (network|local|none)\n"
     L"  answer: ...             the answer text, or (none)\n"
     L"Example: qvhost xpml --printer Label1 \"<state name='Status' action='get' />&#00;\"\n"
     L"Exit code 1 when no route answered.",
     &RunXpml},
};

}  // namespace

const QvCommandGroup kQvXpmlCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
