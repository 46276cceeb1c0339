#include "driver_interface/di_exports.h"

#include "core/bstr.h"

// Every export is a shell over DriverInterface::GuardedCall: it forwards to one
// operation's implementation inside the same boundary the object's own slots
// use, so that nothing thrown, std::bad_alloc included, unwinds through a host
// compiled with another runtime, each failure is logged once, and a call made
// from a window procedure while the interface waits on its DAL is refused.
// What fails gives the result of a null handle.

struct DriverInterfaceExports {
    static DriverInterface* FromHandle(HDRIVERINTERFACE handle) {
        return reinterpret_cast<DriverInterface*>(handle);
    }

    // The command protocol: flags set before a failure do not count.
    static DriverCommand RunCommand(HDRIVERINTERFACE handle, const char* name, HWND parent,
                                    int command, bool execute) {
        DriverInterface* driver = FromHandle(handle);
        DriverCommand record;
        record.parentWindow = parent;
        record.execute = execute;
        if (!DriverInterface::GuardedCall(driver, name, false, [&] {
                driver->DoCommand(command, record);
                return true;
            })) {
            return DriverCommand();
        }
        return record;
    }

    // read is one of the Do operations below; an empty text is null.
    static BSTR TextResult(HDRIVERINTERFACE handle, const char* name,
                           OString (DriverInterface::*read)()) {
        DriverInterface* driver = FromHandle(handle);
        return DriverInterface::GuardedCall(driver, name, BSTR{nullptr},
                                            [&] { return OStringToBstr((driver->*read)()); });
    }
    static constexpr auto kStatusText = &DriverInterface::DoGetPrinterStatusText;
    static constexpr auto kDriverVersion = &DriverInterface::DoGetPrinterDriverVersion;
    static constexpr auto kDriverDate = &DriverInterface::DoGetPrinterDriverDate;
    static constexpr auto kStatusFlags = &DriverInterface::DoGetPrinterStatusFlags;
    static constexpr auto kExtendedFlags = &DriverInterface::DoGetPrinterExtendedStatusFlags;

    static unsigned long FlagsResult(HDRIVERINTERFACE handle, const char* name,
                                     uint32_t (DriverInterface::*read)()) {
        DriverInterface* driver = FromHandle(handle);
        return DriverInterface::GuardedCall(
            driver, name, 0ul, [&] { return static_cast<unsigned long>((driver->*read)()); });
    }
};

namespace {
using Exports = DriverInterfaceExports;
}  // namespace

extern "C" {

// The one export without an interface to log through: it creates it.
HDRIVERINTERFACE DI_Open_impl(void* printer) {
    try {
        return reinterpret_cast<HDRIVERINTERFACE>(CreateDriverInterface(printer).release());
    } catch (...) {
        return nullptr;
    }
}

// Entry 0 is itself guarded, and refuses while the interface is inside a call.
void DI_Close_impl(HDRIVERINTERFACE handle) {
    if (DriverInterface* driver = Exports::FromHandle(handle)) {
        driver->DeleteThis(DriverInterface::kDeleteMemory);
    }
}

bool DI_IsCommandSupported_impl(HDRIVERINTERFACE handle, int command) {
    return Exports::RunCommand(handle, "DI_IsCommandSupported", nullptr, command, false).supported;
}

bool DI_IsCommandUI_impl(HDRIVERINTERFACE handle, int command) {
    DriverCommand record = Exports::RunCommand(handle, "DI_IsCommandUI", nullptr, command, false);
    return record.supported && record.hasUserInterface;
}

void DI_Command_impl(HDRIVERINTERFACE handle, int command) {
    Exports::RunCommand(handle, "DI_Command", nullptr, command, true);
}

void DI_CommandUI_impl(HDRIVERINTERFACE handle, HWND parent, int command) {
    Exports::RunCommand(handle, "DI_CommandUI", parent, command, true);
}

BSTR DI_GetPrinterStatusText_impl(HDRIVERINTERFACE handle) {
    return Exports::TextResult(handle, "DI_GetPrinterStatusText", Exports::kStatusText);
}

unsigned long DI_GetPrinterStatusFlags_impl(HDRIVERINTERFACE handle) {
    return Exports::FlagsResult(handle, "DI_GetPrinterStatusFlags", Exports::kStatusFlags);
}

unsigned long DI_GetPrinterExtendedStatusFlags_impl(HDRIVERINTERFACE handle) {
    return Exports::FlagsResult(handle, "DI_GetPrinterExtendedStatusFlags",
                                Exports::kExtendedFlags);
}

BSTR DI_GetPrinterDriverVersion_impl(HDRIVERINTERFACE handle) {
    return Exports::TextResult(handle, "DI_GetPrinterDriverVersion", Exports::kDriverVersion);
}

BSTR DI_GetPrinterDriverDate_impl(HDRIVERINTERFACE handle) {
    return Exports::TextResult(handle, "DI_GetPrinterDriverDate", Exports::kDriverDate);
}

}  // extern "C"
