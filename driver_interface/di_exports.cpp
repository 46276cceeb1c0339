#include "driver_interface/di_exports.h"

#include "core/bstr.h"

// Every export is a shell: it forwards to one virtual operation and catches
// whatever escapes it, so that no exception, std::bad_alloc included, unwinds
// through a host compiled with another runtime. What escapes gives the result
// of a null handle.

namespace {

DriverInterface* FromHandle(HDRIVERINTERFACE handle) {
    return reinterpret_cast<DriverInterface*>(handle);
}

// Both query exports run the command protocol with execute clear; the window
// plays no part there.
bool QueryCommand(HDRIVERINTERFACE handle, int command, bool wantUserInterface) {
    DriverInterface* driver = FromHandle(handle);
    if (driver == nullptr) {
        return false;
    }
    DriverCommand record;
    record.execute = false;
    driver->Command(command, record);
    return wantUserInterface ? (record.supported && record.hasUserInterface) : record.supported;
}

void RunCommand(HDRIVERINTERFACE handle, HWND parent, int command) {
    DriverInterface* driver = FromHandle(handle);
    if (driver == nullptr) {
        return;
    }
    DriverCommand record;
    record.parentWindow = parent;
    record.execute = true;
    driver->Command(command, record);
}

template <typename Read>
BSTR TextResult(HDRIVERINTERFACE handle, Read read) {
    DriverInterface* driver = FromHandle(handle);
    if (driver == nullptr) {
        return nullptr;
    }
    return OStringToBstr(read(*driver));
}

}  // namespace

extern "C" {

HDRIVERINTERFACE DI_Open_impl(void* printer) {
    try {
        return reinterpret_cast<HDRIVERINTERFACE>(CreateDriverInterface(printer).release());
    } catch (...) {
        return nullptr;
    }
}

void DI_Close_impl(HDRIVERINTERFACE handle) {
    try {
        if (DriverInterface* driver = FromHandle(handle)) {
            driver->DeleteThis(DriverInterface::kDeleteMemory);
        }
    } catch (...) {
    }
}

bool DI_IsCommandSupported_impl(HDRIVERINTERFACE handle, int command) {
    try {
        return QueryCommand(handle, command, false);
    } catch (...) {
        return false;
    }
}

bool DI_IsCommandUI_impl(HDRIVERINTERFACE handle, int command) {
    try {
        return QueryCommand(handle, command, true);
    } catch (...) {
        return false;
    }
}

void DI_Command_impl(HDRIVERINTERFACE handle, int command) {
    try {
        RunCommand(handle, nullptr, command);
    } catch (...) {
    }
}

void DI_CommandUI_impl(HDRIVERINTERFACE handle, HWND parent, int command) {
    try {
        RunCommand(handle, parent, command);
    } catch (...) {
    }
}

BSTR DI_GetPrinterStatusText_impl(HDRIVERINTERFACE handle) {
    try {
        return TextResult(handle, [](DriverInterface& d) { return d.GetPrinterStatusText(); });
    } catch (...) {
        return nullptr;
    }
}

unsigned long DI_GetPrinterStatusFlags_impl(HDRIVERINTERFACE handle) {
    try {
        DriverInterface* driver = FromHandle(handle);
        return driver == nullptr ? 0 : driver->GetPrinterStatusFlags();
    } catch (...) {
        return 0;
    }
}

unsigned long DI_GetPrinterExtendedStatusFlags_impl(HDRIVERINTERFACE handle) {
    try {
        DriverInterface* driver = FromHandle(handle);
        return driver == nullptr ? 0 : driver->GetPrinterExtendedStatusFlags();
    } catch (...) {
        return 0;
    }
}

BSTR DI_GetPrinterDriverVersion_impl(HDRIVERINTERFACE handle) {
    try {
        return TextResult(handle, [](DriverInterface& d) { return d.GetPrinterDriverVersion(); });
    } catch (...) {
        return nullptr;
    }
}

BSTR DI_GetPrinterDriverDate_impl(HDRIVERINTERFACE handle) {
    try {
        return TextResult(handle, [](DriverInterface& d) { return d.GetPrinterDriverDate(); });
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
