#pragma once

#include <cstdint>

#include "core/ostring.h"

// The spooler's printer status word (PRINTER_INFO_6::Status) read as text,
// severity and status ids. Pure logic: the texts come through a loader the
// caller supplies, so this file makes no OS call.

// One status bit with the text it shows and the id HasPrinterStatus answers for it.
struct PrinterStatusRow {
    uint32_t mask;         // one PRINTER_STATUS_ bit
    int statusId;          // id of HasPrinterStatus; kNoStatusId when none
    uint32_t printUiId;    // string id in printui.dll
    const char* fallback;  // English text when the library has none
};

constexpr int kNoStatusId = -1;

// Rows in the order their texts are joined. Bit 1 (error), bit 2 (pending
// deletion) and bits 25 to 31 have no row.
extern const PrinterStatusRow kPrinterStatusRows[23];

// Error-class bits: error, paper jam, paper out, paper problem, output bin full,
// not available, no toner, page punt, user intervention, out of memory, door
// open, server unknown.
constexpr uint32_t kStatusErrorMask = 0xFC185A;
// Warning-class bits: toner low, power save.
constexpr uint32_t kStatusWarningMask = 0x1020000;

constexpr int kSeverityReady = 1;
constexpr int kSeverityError = 2;
constexpr int kSeverityWarning = 3;

constexpr uint32_t kExtendedStatusError = 0x80000000u;
constexpr uint32_t kExtendedStatusWarning = 0x40000000u;

// Library names and string ids of the texts outside the table.
constexpr const wchar_t* kPrintUiLibrary = L"printui.dll";
constexpr const wchar_t* kPrintUiApiLibrary = L"puiapi.dll";
constexpr uint32_t kErrorTextId = 18003;   // printui.dll, fallback "Error"
constexpr uint32_t kReadyTextId = 18005;   // printui.dll, fallback "Ready"
constexpr uint32_t kReadyTextApiId = 300;  // puiapi.dll, no fallback

// 2 when any error-class bit is set, else 3 when any warning-class bit is set,
// else 1.
int PrinterStatusSeverity(uint32_t status);

// 0x80000000 for severity 2, 0x40000000 for severity 3, otherwise 0.
uint32_t ExtendedStatusFlagsForSeverity(int severity);

// Whether the status word carries the bit of status id 100..121; every other
// id gives false.
bool StatusWordHasStatusId(uint32_t status, int statusId);

// Which library a text comes from: the loader is called with the library's
// file name, the string id and the text to use when the library has none.
// Returns the text to show (possibly empty).
using StatusTextLoader = OString (*)(void* context, const wchar_t* library, uint32_t id,
                                     const OString& fallback);

// The status word as the spooler user interface shows it: the texts of the set
// bits in table order joined by ", ", "Error" appended when the error bit is the
// only error-class bit, and the ready text alone for a status word of 0. A word
// with only row-less bits (for example pending deletion) gives an empty text.
OString FormatPrinterStatusWord(uint32_t status, StatusTextLoader load, void* context);
