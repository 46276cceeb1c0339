#include <windows.h>
#include <winspool.h>

#include <vector>

#include "core/handles.h"
#include "core/win_buffer.h"
#include "driver_interface/basic_spooler.h"
#include "driver_interface/basic_interface.h"
#include "driver_interface/printer_status.h"

namespace {

OString LoadFromLibraries(void* context, const wchar_t* library, uint32_t id,
                          const OString& fallback) {
    const auto& libraries = *static_cast<const StatusTextLibraries*>(context);
    // The table names libraries by their system names; map them to the ones in force.
    const wchar_t* file = library;
    if (OString::StrCmp(library, kPrintUiLibrary) == 0) {
        file = libraries.printUi;
    } else if (OString::StrCmp(library, kPrintUiApiLibrary) == 0) {
        file = libraries.printUiApi;
    }
    return BasicDriverInterface::LoadResourceText(file, id, fallback);
}

// The status string of the first queued job, which a port monitor sets to tell
// what it is doing; empty when there is no job or no string.
OString FirstJobStatus(HANDLE printer) {
    const BasicSpooler& spooler = BasicSpooler::Current();
    std::vector<uint8_t> buffer;
    DWORD returned = 0;
    // A job that arrives between two calls makes the next one short again; the
    // helper grows the buffer and asks once more.
    bool read = OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* needed) {
        return spooler.enumJobs(printer, 0, 0xFFFFFFFF, 2, data, size, needed, &returned);
    });
    if (!read || returned == 0 || buffer.size() < sizeof(JOB_INFO_2W)) {
        return OString();
    }
    const auto* job = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
    return job->pStatus != nullptr ? OString(job->pStatus) : OString();
}

}  // namespace

OString BasicDriverInterface::LoadResourceText(const wchar_t* library, uint32_t id,
                                               const OString& fallback) {
    // Loaded as a data file: only the string table is read and no code of the
    // library runs; loaded and freed per text so that nothing is pinned.
    OModule module(::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) {
        return fallback;
    }
    wchar_t buffer[260];
    int length = ::LoadStringW(module.Get(), id, buffer, 260);
    if (length <= 0) {
        return fallback;
    }
    return OString(buffer, length);
}

OString BasicDriverInterface::FormatStatusWord(uint32_t status,
                                               const StatusTextLibraries& libraries) {
    return FormatPrinterStatusWord(status, &LoadFromLibraries,
                                   const_cast<StatusTextLibraries*>(&libraries));
}

// Leaves the spooler's error of a failed read as the last error, and 0 after a
// read, for DI_GetPrinterStatusFlags to tell a failure from a ready printer.
uint32_t BasicDriverInterface::DoGetPrinterStatusFlags() {
    if (uint32_t flags; Watched(&StatusReading::flags, flags)) {
        ::SetLastError(ERROR_SUCCESS);
        return flags;
    }
    RecordSpooler("BasicDriverInterface::GetPrinterStatusFlags");
    std::vector<uint8_t> info;
    DWORD error = ERROR_SUCCESS;
    bool read = OQueryBoolBuffer(
        info,
        [&](uint8_t* buffer, DWORD size, DWORD* needed) {
            return ::GetPrinterW(m_printer, 6, buffer, size, needed);
        },
        &error);
    if (!read || info.size() < sizeof(PRINTER_INFO_6)) {
        ::SetLastError(read ? ERROR_INVALID_DATA : error);
        return 0;
    }
    ::SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<const PRINTER_INFO_6*>(info.data())->dwStatus;
}

int BasicDriverInterface::DoGetPrinterStatusSeverity() {
    if (int severity; Watched(&StatusReading::severity, severity)) {
        return severity;
    }
    return PrinterStatusSeverity(DoGetPrinterStatusFlags());
}

uint32_t BasicDriverInterface::DoGetPrinterExtendedStatusFlags() {
    if (uint32_t flags; Watched(&StatusReading::extendedFlags, flags)) {
        return flags;
    }
    return ExtendedStatusFlagsForSeverity(DoGetPrinterStatusSeverity());
}

bool BasicDriverInterface::DoHasPrinterStatus(int statusId) {
    // Ids from 200 up belong to the advanced interface's printer states.
    uint32_t status = statusId < 200 ? DoGetPrinterStatusFlags() : 0;
    return StatusWordHasStatusId(status, statusId);
}

OString BasicDriverInterface::DoGetPrinterStatusText() {
    if (OString text; Watched(&StatusReading::text, text)) {
        return text;
    }
    return SpoolerStatusText(std::nullopt);
}

OString BasicDriverInterface::SpoolerStatusText(std::optional<uint32_t> status) {
    OString jobStatus = FirstJobStatus(m_printer);
    if (!jobStatus.IsEmpty()) {
        RecordSpooler("BasicDriverInterface::GetPrinterStatusText");
        return jobStatus;
    }
    return FormatStatusWord(status ? *status : DoGetPrinterStatusFlags());
}
