#include "printer/printer_call_context.h"

#include "printer/printer_info_cache.h"
#include "printer/printer_registry_facts.h"

namespace {

PrinterInfo InfoOf(const OString& printerName) {
    return printerName.IsEmpty() ? PrinterInfo() : PrinterInfoCache::Lookup(printerName);
}

}  // namespace

PrinterCallContext::PrinterCallContext(const OString& printerName)
    : m_info(InfoOf(printerName)),
      m_name(m_info.GetPrinterName().IsEmpty() ? printerName : m_info.GetPrinterName()),
      m_registry(RegistryFactsOf(m_info, printerName)) {}

DriverSettings& PrinterCallContext::Settings() {
    if (!m_settings) {
        m_settings = std::make_unique<DriverSettings>();
        m_settings->Load(m_registry);
    }
    return *m_settings;
}
