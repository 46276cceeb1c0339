#include "printer/printer_registry_facts.h"

namespace {

// Every text gets a body of its own, so copies handed to other objects never
// share a body with the caller's strings.
OString Own(const OString& text) {
    return OString(text.GetWide());
}

}  // namespace

PrinterRegistry::Facts RegistryFactsOf(const PrinterInfo& info, const OString& requestedName) {
    PrinterRegistry::Facts facts;
    facts.fullName =
        info.GetPrinterName().IsEmpty() ? Own(requestedName) : Own(info.GetPrinterName());
    facts.shortName = Own(info.GetShortName());
    facts.driverName = Own(info.GetDriverName());
    facts.portName = Own(info.GetPortName());
    facts.serverName = Own(info.GetServerName());
    facts.modelCode = Own(info.GetModelCode());
    facts.remote = info.IsRemote();
    return facts;
}

PrinterRegistry::Facts RegistryFactsOf(const OString& printerName) {
    return RegistryFactsOf(PrinterInfo(printerName), printerName);
}
