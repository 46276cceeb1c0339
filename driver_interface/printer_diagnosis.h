#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/ostring.h"
#include "driver_interface/status_provenance.h"

class PrinterCallContext;

// What a support engineer asks of a printer (QVDI_DiagnosePrinter), and the
// XPML exchanges behind it and behind QVDI_SendXpml. The report's keys are
// documented with QVDI_DiagnosePrinter in the public header.

// QVDI_DiagnosePrinter's flags.
constexpr uint32_t kDiagnoseNoProbe = 0x1;
constexpr uint32_t kDiagnoseNoStatus = 0x2;
constexpr uint32_t kDiagnoseNoLogs = 0x4;
constexpr uint32_t kDiagnoseKnownFlags = kDiagnoseNoProbe | kDiagnoseNoStatus | kDiagnoseNoLogs;

// One status call as a host makes it, on an interface of the printer's own.
struct DiagnosisStatus {
    OString text;
    StatusProvenance provenance;
};

// One XPML request and its answer: where it came from (a provenance code as
// QVDI_GetStatusProvenance numbers them: kStatusFromPrinter or
// kStatusFromDriverHook with an answer, else why there was none) and its body.
struct XpmlExchange {
    bool answered = false;
    StatusProvenance provenance;
    std::vector<uint8_t> body;
};

// The request through every route, with the printer's retries (SendXpml).
XpmlExchange ExchangeXpml(PrinterCallContext& printer, const char* request);
// One attempt of the network path alone (ProbeXpmlServer), whatever the
// retries and without the driver's hook.
XpmlExchange ProbeXpml(PrinterCallContext& printer, const char* request);

// The report as one JSON object. printer: the spooler handle (borrowed) of the
// printer named name; advanced: whether DI_Open gives it the advanced
// interface; status: the status call's answer, null when flags left it out.
// Every fact that cannot be read is "(unavailable: reason)"; throws only
// std::bad_alloc.
std::wstring DiagnosePrinterJson(HANDLE printer, const OString& name, bool advanced, uint32_t flags,
                                 const DiagnosisStatus* status);

// Names of the set bits of the printer attributes ("QUEUED", "ENABLE_BIDI",
// ...) and of an event log mask ("Errors", "FileLog", "DetailInfoA", ...);
// a bit without a name as "0x" and eight hexadecimal digits.
std::vector<std::wstring> PrinterAttributeNames(uint32_t attributes);
std::vector<std::wstring> LogMaskNames(uint32_t mask);
