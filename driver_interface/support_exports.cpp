#include <windows.h>
#include <oleauto.h>
#include <winspool.h>

#include <new>
#include <string>

#include "core/bstr.h"
#include "core/handles.h"
#include "driver_interface/basic_interface.h"
#include "driver_interface/export_boundary.h"
#include "driver_interface/printer_diagnosis.h"
#include "printer/printer_call_context.h"

// QVDI_SendXpml and QVDI_DiagnosePrinter: what a support tool asks, for any
// host, inside the same boundary as the other flat exports.

namespace {

// The answer's bytes read as UTF-8, whole: a NUL inside stays.
std::wstring FromUtf8(const std::vector<uint8_t>& bytes) {
    const char* data = reinterpret_cast<const char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, data, size, nullptr, 0);
    std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, data, size, text.data(), units);
    }
    return text;
}

}  // namespace

namespace SupportExports {
BSTR SendXpml(HDRIVERINTERFACE handle, const wchar_t* request, int* provenance,
              BSTR* provenanceText) {
    if (provenance != nullptr) {
        *provenance = kStatusNotAsked;
    }
    if (provenanceText != nullptr) {
        *provenanceText = nullptr;
    }
    if (request == nullptr || *request == L'\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ExportBoundary::Guarded(
        handle, "QVDI_SendXpml", BSTR{nullptr},
        [&](ExportBoundary::Operations& driver, DWORD& error) -> BSTR {
            auto* basic =
                dynamic_cast<BasicDriverInterface*>(&static_cast<DriverInterface&>(driver));
            XpmlExchange exchange;
            if (basic == nullptr || !driver.IsAdvanced()) {
                exchange.provenance = {kStatusBasicInterface,
                                       "basic interface: the driver has no DAL module"};
                error = ERROR_NOT_SUPPORTED;
            } else {
                PrinterCallContext printer(basic->PrinterKey());
                // In the system code page, as the interface's own requests.
                exchange = ExchangeXpml(printer, OString(request).GetNarrow());
                error = exchange.answered ? ERROR_SUCCESS : ERROR_NO_DATA;
            }
            // The text before the answer: a failed allocation then leaves
            // no answer the host would have to free.
            BSTR text = OWideToBstr(exchange.provenance.text.GetWide());
            BSTR answer = nullptr;
            try {
                answer = OWideToBstr(FromUtf8(exchange.body));
            } catch (...) {
                ::SysFreeString(text);
                throw;
            }
            if (provenance != nullptr) {
                *provenance = exchange.provenance.code;
            }
            if (provenanceText != nullptr) {
                *provenanceText = text;
            } else {
                ::SysFreeString(text);
            }
            return answer;
        });
}

BSTR Diagnose(const wchar_t* name, DWORD flags) {
    if (name == nullptr || *name == L'\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((flags & ~kDiagnoseKnownFlags) != 0) {
        ::SetLastError(ERROR_INVALID_FLAGS);
        return nullptr;
    }
    // Opening the printer and its interface happens before the boundary
    // has an object to guard, so it has its own catch.
    try {
        OPrinterHandle printer;
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
        if (!::OpenPrinterW(const_cast<LPWSTR>(name), printer.Put(), &defaults)) {
            const DWORD error = ::GetLastError();
            ::SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_PRINTER_NAME);
            return nullptr;
        }
        // Destroyed before the printer it borrows.
        DriverInterfacePtr driver = CreateDriverInterface(printer.Get());
        return ExportBoundary::Guarded(
            reinterpret_cast<HDRIVERINTERFACE>(driver.get()), "QVDI_DiagnosePrinter", BSTR{nullptr},
            [&](ExportBoundary::Operations& object, DWORD&) -> BSTR {
                DiagnosisStatus status;
                if ((flags & kDiagnoseNoStatus) == 0) {
                    status.text = object.GetPrinterStatusText();
                    status.provenance = object.GetStatusProvenance();
                }
                return OWideToBstr(
                    DiagnosePrinterJson(printer.Get(), OString(name), object.IsAdvanced(), flags,
                                        (flags & kDiagnoseNoStatus) == 0 ? &status : nullptr));
            });
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        ::SetLastError(ERROR_INTERNAL_ERROR);
    }
    return nullptr;
}
}  // namespace SupportExports

extern "C" {

BSTR QVDI_SendXpml(HDRIVERINTERFACE handle, const wchar_t* request, int* provenance,
                   BSTR* provenanceText) {
    return SupportExports::SendXpml(handle, request, provenance, provenanceText);
}

BSTR QVDI_DiagnosePrinter(const wchar_t* printerName, DWORD flags) {
    return SupportExports::Diagnose(printerName, flags);
}

}  // extern "C"
