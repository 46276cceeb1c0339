#include "printer/printer_call_context.h"

#include "diagnostics/event_log.h"
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

PrinterCallContext::~PrinterCallContext() {
    // The settings' registry layer cannot log; the operation that read them
    // reports a stalled machine-wide mutex for it, once per stall.
    if (m_settings && PrinterRegistry::TakeReadTimeoutNotice()) {
        try {
            OEventLog log(OString(OEventLog::kSourcePrinterInterface));
            log.Writef(OEventLog::kWarnings, "PrinterRegistry::ReadLock",
                       "another process holds \"%s\" beyond %u ms: settings are read without "
                       "it for %u s",
                       OString(PrinterRegistry::kMutexName).GetNarrow(),
                       PrinterRegistry::kReadWaitMs,
                       static_cast<unsigned>(PrinterRegistry::kReadsWithoutMutexMs / 1000));
        } catch (...) {
        }
    }
}
