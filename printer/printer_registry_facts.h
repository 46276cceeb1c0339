#pragma once

#include "core/ostring.h"
#include "printer/printer_info.h"
#include "registry/printer_registry.h"

// The facts a PrinterRegistry fills into its paths, taken from a PrinterInfo.
// Build the registry of a printer as PrinterRegistry(RegistryFactsOf(name)).

// Facts of the record; requestedName stands in for the full name when the
// record has none (a printer the spooler does not know).
PrinterRegistry::Facts RegistryFactsOf(const PrinterInfo& info,
                                       const OString& requestedName = OString());

// Facts from this thread's PrinterInfo cache for the name. A printer the
// spooler does not know leaves every fact but the full name empty, so its
// paths address keys that normally do not exist.
PrinterRegistry::Facts RegistryFactsOf(const OString& printerName);
