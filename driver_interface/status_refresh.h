#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "driver_interface/driver_interface.h"
#include "printer/printer_call_context.h"
#include "xpml/xpml_network_settings.h"
#include "xpml/xpml_routing.h"

// What a printer's status watcher keeps between its refreshes, and the one
// refresh under way: a refresh reads the spooler's status word every time,
// and the printer's facts, driver settings (the monitoring gate's bidi and
// monitoring mode) and network settings once per kContextMs, so that a
// refresh costs the status word and one exchange. A change to any of those
// reaches a watcher within kContextMs. Used by one thread at a time.
struct StatusRefresh {
    static constexpr uint64_t kContextMs = 60000;

    // The printer's context, read again once it is between three quarters
    // and all of kContextMs old.
    PrinterCallContext& CallContext(const OString& printerKey);
    // Its network settings, read with the context.
    const XpmlNetworkSettings& ExchangeSettings();

    std::unique_ptr<PrinterCallContext> printer;
    std::optional<XpmlNetworkSettings> network;
    uint64_t readTick = 0;
    // The request under way, if the reading waits for one; uses printer.
    std::unique_ptr<XpmlRequest> request;
    StatusReading reading;
};
