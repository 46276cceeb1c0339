#include "driver_interface/di_exports.h"

#include "core/bstr.h"
#include "driver_interface/export_boundary.h"
#include "driver_interface/status_watch.h"

// Every export is a shell over DriverInterface::GuardedCall: it forwards to one
// operation's implementation inside the same boundary the object's own slots
// use, so that nothing thrown, std::bad_alloc included, unwinds through a host
// compiled with another runtime, each failure is logged once, and a call made
// from a window procedure while the interface waits on its DAL is refused.
// What fails gives the result of a null handle, and the thread's last error
// says why (the public header lists the codes); a call that answered leaves 0.

namespace {

using Operations = ExportBoundary::Operations;

// The command protocol: flags set before a failure do not count.
DriverCommand RunCommand(HDRIVERINTERFACE handle, const char* name, HWND parent, int command,
                         bool execute) {
    DriverCommand record;
    record.parentWindow = parent;
    record.execute = execute;
    if (!ExportBoundary::Guarded(handle, name, false, [&](Operations& driver, DWORD&) {
            driver.Command(command, record);
            return true;
        })) {
        return DriverCommand();
    }
    return record;
}

// read is one of the text operations; an empty text is null, with
// ERROR_NOT_FOUND: the printer or its driver had nothing to say.
BSTR TextResult(HDRIVERINTERFACE handle, const char* name, OString (Operations::*read)() const) {
    return ExportBoundary::Guarded(
        handle, name, BSTR{nullptr}, [&](Operations& driver, DWORD& error) {
            OString text = (driver.*read)();
            BSTR result = OStringToBstr(text);
            if (result == nullptr) {
                error = text.IsEmpty() ? ERROR_NOT_FOUND : ERROR_NOT_ENOUGH_MEMORY;
            }
            return result;
        });
}

// spoolerError: read leaves the spooler's error of a failed status read as
// the last error, 0 after a read (0 flags are then an answer).
unsigned long FlagsResult(HDRIVERINTERFACE handle, const char* name,
                          uint32_t (Operations::*read)() const, bool spoolerError) {
    return ExportBoundary::Guarded(handle, name, 0ul, [&](Operations& driver, DWORD& error) {
        auto flags = static_cast<unsigned long>((driver.*read)());
        if (flags == 0 && spoolerError) {
            error = ::GetLastError();
        }
        return flags;
    });
}

}  // namespace

extern "C" {

// The one export without an interface to log through: it creates it.
HDRIVERINTERFACE DI_Open_impl(void* printer) {
    DWORD error = ERROR_INTERNAL_ERROR;
    HDRIVERINTERFACE handle = nullptr;
    try {
        DriverInterfacePtr driver = CreateDriverInterface(printer);
        StartConfiguredWatch(*driver);
        handle = reinterpret_cast<HDRIVERINTERFACE>(driver.release());
        error = ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
    }
    ::SetLastError(error);
    return handle;
}

// Entry 0 is itself guarded, and refuses (returning null) while the interface
// is inside a call.
void DI_Close_impl(HDRIVERINTERFACE handle) {
    DWORD error = ERROR_INVALID_HANDLE;
    if (DriverInterface* driver = ExportBoundary::FromHandle(handle)) {
        error = driver->DeleteThis(DriverInterface::kDeleteMemory) != nullptr ? ERROR_SUCCESS
                                                                              : ERROR_BUSY;
    }
    ::SetLastError(error);
}

bool DI_IsCommandSupported_impl(HDRIVERINTERFACE handle, int command) {
    return RunCommand(handle, "DI_IsCommandSupported", nullptr, command, false).supported;
}

bool DI_IsCommandUI_impl(HDRIVERINTERFACE handle, int command) {
    DriverCommand record = RunCommand(handle, "DI_IsCommandUI", nullptr, command, false);
    return record.supported && record.hasUserInterface;
}

void DI_Command_impl(HDRIVERINTERFACE handle, int command) {
    RunCommand(handle, "DI_Command", nullptr, command, true);
}

void DI_CommandUI_impl(HDRIVERINTERFACE handle, HWND parent, int command) {
    RunCommand(handle, "DI_CommandUI", parent, command, true);
}

BSTR DI_GetPrinterStatusText_impl(HDRIVERINTERFACE handle) {
    return TextResult(handle, "DI_GetPrinterStatusText", &Operations::GetPrinterStatusText);
}

unsigned long DI_GetPrinterStatusFlags_impl(HDRIVERINTERFACE handle) {
    return FlagsResult(handle, "DI_GetPrinterStatusFlags", &Operations::GetPrinterStatusFlags,
                       true);
}

unsigned long DI_GetPrinterExtendedStatusFlags_impl(HDRIVERINTERFACE handle) {
    return FlagsResult(handle, "DI_GetPrinterExtendedStatusFlags",
                       &Operations::GetPrinterExtendedStatusFlags, false);
}

BSTR DI_GetPrinterDriverVersion_impl(HDRIVERINTERFACE handle) {
    return TextResult(handle, "DI_GetPrinterDriverVersion", &Operations::GetPrinterDriverVersion);
}

BSTR DI_GetPrinterDriverDate_impl(HDRIVERINTERFACE handle) {
    return TextResult(handle, "DI_GetPrinterDriverDate", &Operations::GetPrinterDriverDate);
}

}  // extern "C"
