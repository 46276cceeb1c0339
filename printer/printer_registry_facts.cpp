#include "printer/printer_registry_facts.h"

#include "printer/printer_info_cache.h"

PrinterRegistry::Facts RegistryFactsOf(const PrinterInfo& info, const OString& requestedName) {
    PrinterRegistry::Facts facts;
    facts.fullName = info.GetPrinterName().IsEmpty() ? requestedName : info.GetPrinterName();
    facts.shortName = info.GetShortName();
    facts.driverName = info.GetDriverName();
    facts.portName = info.GetPortName();
    facts.serverName = info.GetServerName();
    facts.modelCode = info.GetModelCode();
    facts.remote = info.IsRemote();
    return facts;
}

PrinterRegistry::Facts RegistryFactsOf(const OString& printerName) {
    return RegistryFactsOf(PrinterInfoCache::Lookup(printerName), printerName);
}
