#include <windows.h>
#include <winspool.h>

#include <cctype>
#include <string>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/opened_printer.h"
#include "tools/qvhost/qvhost.h"

// printers and diagnose: what support asks of a printer. The DLL answers
// (QVDI_DiagnosePrinter, a JSON report); this file only formats it.

namespace {

// The DLL's report on a printer, read; a null report is a command error
// that names the printer and the last error.
QvJsonValue Diagnose(QvHost& host, const std::wstring& name, unsigned long flags,
                     std::wstring* json = nullptr) {
    auto diagnose = host.Export<QV_PFN_QVDI_DIAGNOSE_PRINTER>("QVDI_DiagnosePrinter");
    std::optional<std::wstring> report = QvHost::TakeBstr(diagnose(name.c_str(), flags));
    if (!report) {
        const DWORD error = ::GetLastError();
        throw QvCommandError(kQvExitFailure, "cannot diagnose printer '" + QvToUtf8(name) +
                                                 "' (error " + std::to_string(error) + ")");
    }
    if (json != nullptr) {
        *json = *report;
    }
    return QvJsonValue::Parse(*report);
}

std::wstring TextOf(const QvJsonValue& report, const char* key) {
    const QvJsonValue* value = report.Find(key);
    return value != nullptr ? value->Line() : L"(none)";
}

}  // namespace

// Each once, through EnumPrintersW's size question.
std::vector<std::wstring> PrinterNames() {
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    std::vector<uint8_t> buffer;
    DWORD count = 0;
    // The list can grow between the size question and the answer: ask again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD needed = 0;
        if (::EnumPrintersW(flags, nullptr, 4, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed, &count)) {
            std::vector<std::wstring> names;
            const auto* infos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
            for (DWORD i = 0; i < count; ++i) {
                names.emplace_back(infos[i].pPrinterName != nullptr ? infos[i].pPrinterName : L"");
            }
            return names;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            throw QvCommandError(kQvExitFailure,
                                 "EnumPrintersW failed (error " + std::to_string(error) + ")");
        }
        buffer.resize(needed);
    }
    throw QvCommandError(kQvExitFailure, "EnumPrintersW kept asking for more room");
}

namespace {

int RunPrinters(QvHost& host, QvArgs& args) {
    args.Finish(0, 0);
    const std::vector<std::wstring> names = PrinterNames();
    std::vector<QvJson> list;
    for (const std::wstring& name : names) {
        // No network, no status call, no logs: what the settings alone say.
        QvJson json;
        std::wstring driver, kind, from, gate;
        int64_t gateCode = -1;
        try {
            const QvJsonValue report =
                Diagnose(host, name,
                         QVDI_DIAGNOSE_NO_PROBE | QVDI_DIAGNOSE_NO_STATUS | QVDI_DIAGNOSE_NO_LOGS);
            const QvJsonValue* monitoring = report.Find("monitoring");
            const QvJsonValue* driverFacts = report.Find("driver");
            driver = driverFacts != nullptr ? TextOf(*driverFacts, "name") : L"";
            kind = TextOf(report, "interface");
            gate = monitoring != nullptr ? TextOf(*monitoring, "gate") : L"";
            const QvJsonValue* code =
                monitoring != nullptr ? monitoring->Find("gateCode") : nullptr;
            gateCode = code != nullptr ? code->number : -1;
            from = gateCode == 0 ? L"printer" : L"spooler";
        } catch (const QvCommandError& error) {
            kind = L"(unavailable: " + QvFromUtf8(error.what()) + L")";
        }
        json.Add("name", name).Add("driver", driver).Add("interface", kind);
        json.Add("statusFrom", from).Add("gateCode", gateCode).Add("gate", gate);
        list.push_back(json);
        if (!host.Json()) {
            host.Print(L"printer: " + name);
            host.Print(L"  driver: " + driver);
            host.Print(L"  interface: " + kind);
            if (!from.empty()) {
                host.Print(L"  status from: " + from + L" (gate " + std::to_wstring(gateCode) +
                           L", " + gate + L")");
            }
        }
    }
    if (host.Json()) {
        host.PrintJson(QvJson(L"printers")
                           .Add("count", static_cast<int64_t>(names.size()))
                           .Add("printers", list));
    } else if (names.empty()) {
        host.Print(L"(no printers)");
    }
    return kQvExitOk;
}

// "modulePath" as "module path": the report's keys read as words.
std::wstring Label(const std::string& key) {
    std::wstring label;
    for (char c : key) {
        if (std::isupper(static_cast<unsigned char>(c)) && !label.empty()) {
            label += L' ';
        }
        label += static_cast<wchar_t>(std::tolower(static_cast<unsigned char>(c)));
    }
    return label;
}

// The heading of a section: the log sections are named after their source.
std::wstring Heading(const std::string& key, const QvJsonValue& section) {
    static const struct {
        const char* key;
        const wchar_t* heading;
    } kHeadings[] = {
        {"dal", L"DAL module"},
        {"monitoring", L"monitoring gate"},
        {"probe", L"XPML server probe"},
        {"status", L"status (one call as a host makes it)"},
    };
    for (const auto& row : kHeadings) {
        if (key == row.key) {
            return row.heading;
        }
    }
    const QvJsonValue* source = section.Find("source");
    return source != nullptr ? source->text : Label(key);
}

// One fact as "label: value"; a list of texts as its count and one line each,
// unless it names bits, which stay on the line.
void PrintFact(QvHost& host, const std::wstring& indent, const std::string& key,
               const QvJsonValue& value) {
    const bool names = key.size() > 5 && key.compare(key.size() - 5, 5, "Names") == 0;
    if (value.kind != QvJsonValue::kArray || names) {
        host.Print(indent + Label(key) + L": " +
                   (value.items.empty() && names ? L"(none)" : value.Line()));
        return;
    }
    host.Print(indent + Label(key) + L": " +
               (value.items.empty() ? L"(none)" : std::to_wstring(value.items.size())));
    for (const QvJsonValue& item : value.items) {
        host.Print(indent + L"    " + item.Line());
    }
}

int RunDiagnose(QvHost& host, QvArgs& args) {
    std::vector<std::wstring> rest;
    const std::wstring name = args.FinishWithPrinter(0, 0, rest);
    std::wstring json;
    const QvJsonValue report = Diagnose(host, name, 0, &json);
    if (host.Json()) {
        // The DLL's object as it is, led by the command's name.
        const size_t open = json.find(L'{');
        host.Print(L"{\"command\":\"diagnose\"," + json.substr(open + 1));
        return kQvExitOk;
    }
    host.Print(L"verdict: " + TextOf(report, "verdict"));
    for (const auto& [key, value] : report.members) {
        if (key == "verdict") {
            continue;
        }
        if (value.kind != QvJsonValue::kObject) {
            PrintFact(host, L"", key, value);
            continue;
        }
        host.Print(Heading(key, value));
        for (const auto& [factKey, fact] : value.members) {
            if (factKey != "source") {
                PrintFact(host, L"  ", factKey, fact);
            }
        }
    }
    return kQvExitOk;
}

const QvCommand kCommands[] = {
    {L"printers", L"",
     L"every printer the spooler lists, its driver, interface and where its status comes from",
     L"\n"
     L"Prints, per printer (from QVDI_DiagnosePrinter without network, status call\n"
     L"or logs):\n"
     L"  printer: NAME\n"
     L"    driver: DRIVER\n"
     L"    interface: advanced|basic   advanced when the printer data carries a\n"
     L"                                DAL entry (\"DAL Interface\" or \"... V3\")\n"
     L"    status from: printer|spooler (gate N, why)   see \"diagnose --help\"\n"
     L"With --json: {\"command\":\"printers\",\"count\":N,\"printers\":[{\"name\",\"driver\",\n"
     L"\"interface\",\"statusFrom\",\"gateCode\",\"gate\"}, ...]}.",
     &RunPrinters},
    {L"diagnose", L"--printer NAME (or PRINTER)",
     L"why a printer's status comes from where it does: driver, DAL module, gate, network, logs",
     L"\n"
     L"Prints the DLL's report (QVDI_DiagnosePrinter; --json prints its object as\n"
     L"it is, led by \"command\"). The first line is the verdict: where the status\n"
     L"comes from now and why. Then:\n"
     L"  printer, interface, port, attributes (the PRINTER_ATTRIBUTE_ bits by name)\n"
     L"  driver            name, layout, driver path, config file, data file, dependent files\n"
     L"  DAL module        module path, version, isolation mode, runs (in-process or\n"
     L"                    isolated), image: the file reads as a PE image, and its\n"
     L"                    entries (the module is read as data, never loaded)\n"
     L"  monitoring gate   bidi, stored, default and effective monitoring mode, gate code:\n"
     L"                      0 open: the status is asked of the printer\n"
     L"                      1 closed: Status Monitoring Mode is 0 or above 3\n"
     L"                      2 closed: the printer's bidirectional support is off\n"
     L"                      9 closed: basic interface, the driver has no DAL module\n"
     L"  network           enabled, host, port, retries, time-out ms, address\n"
     L"  XPML server probe one request, one attempt, whatever the gate: outcome, code\n"
     L"                    (as \"status --help\" lists), text, milliseconds, and the\n"
     L"                    printer's own status text and severity: beside the status\n"
     L"                    below it shows what a closed gate hides (a Paper Jam)\n"
     L"  status            one status call as a host makes it: text, provenance\n"
     L"  one per event source: mask (with its level names), file log, the registry\n"
     L"                    value that holds the mask, how to turn the file log on\n"
     L"                    (add the file bit 0x04000000 to the mask), file path,\n"
     L"                    last lines (10)\n"
     L"A fact that cannot be read shows as \"(unavailable: reason)\". Every network\n"
     L"step is bounded by the printer's \"Connection Timeout\" (and retries).\n"
     L"Exit code 4 when the spooler cannot open the printer.",
     &RunDiagnose},
};

}  // namespace

const QvCommandGroup kQvSupportCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
