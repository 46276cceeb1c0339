#pragma once

#include <windows.h>

#include <new>

#include "driver_interface/basic_interface.h"
#include "driver_interface/driver_interface.h"

// The boundary every export crosses, the DI_ ones and the flat QVDI_ ones: a
// handle becomes an object only when it names an interface alive in this
// module, and the call runs inside the object's own guard with the thread's
// last error set around it. It is the exports' only way into DriverInterface.
struct ExportBoundary {
    // An interface as an export inside the boundary sees it: each operation
    // of QV_DRIVER_OPERATIONS runs the implementation (DoName) directly, since
    // the guard is already held; its slot would refuse the nested call.
    class Operations {
    public:
        explicit Operations(DriverInterface& driver) : m_driver(driver) {}
        operator DriverInterface&() const { return m_driver; }
#define QV_EXPORT_OPERATION(Result, Name, Parameters, Arguments, Neutral) \
    Result Name Parameters const {                                        \
        return m_driver.Do##Name Arguments;                               \
    }
        QV_DRIVER_OPERATIONS(QV_EXPORT_OPERATION)
#undef QV_EXPORT_OPERATION
        StatusProvenance GetStatusProvenance() const {
            return m_driver.CurrentProvenance();
        }

    private:
        DriverInterface& m_driver;
    };

    // The interface a handle names; null for a null handle and for any value
    // that is no live interface of this module (closed, or never returned by
    // DI_Open). The memory it points to is never read to decide.
    static DriverInterface* FromHandle(HDRIVERINTERFACE handle) noexcept {
        DriverInterface* driver = reinterpret_cast<DriverInterface*>(handle);
        return DriverInterface::IsLive(driver) ? driver : nullptr;
    }

    // Whether the interface's printer is gone (BasicDriverInterface::
    // PrinterGone); never for an interface of another kind.
    static bool PrinterGone(DriverInterface& driver) {
        auto* basic = dynamic_cast<BasicDriverInterface*>(&driver);
        return basic != nullptr && basic->PrinterGone();
    }

    // GuardedCall with the last error set around it. call(operations, error)
    // returns the result and may set error, which starts at 0, to the reason
    // for a neutral one; operations converts to DriverInterface&. The
    // boundary's own failures: ERROR_INVALID_HANDLE for a handle FromHandle
    // refuses, ERROR_BUSY for a call refused while the interface is inside a
    // call on this thread, ERROR_NOT_ENOUGH_MEMORY for an allocation that
    // failed, ERROR_INTERNAL_ERROR for anything else thrown, and
    // ERROR_INVALID_PRINTER_NAME, with nothing run, once the printer is gone.
    template <typename Result, typename Call>
    static Result Guarded(HDRIVERINTERFACE handle, const char* name, Result neutral, Call&& call) {
        DriverInterface* driver = FromHandle(handle);
        DWORD error = ERROR_INVALID_HANDLE;
        if (driver != nullptr) {
            error = driver->InsideCall() ? ERROR_BUSY : ERROR_INTERNAL_ERROR;
        }
        Result result = DriverInterface::GuardedCall(driver, name, neutral, [&] {
            try {
                if (PrinterGone(*driver)) {
                    error = ERROR_INVALID_PRINTER_NAME;
                    return neutral;
                }
                DWORD outcome = ERROR_SUCCESS;
                Operations operations(*driver);
                Result value = call(operations, outcome);
                error = outcome;
                return value;
            } catch (const std::bad_alloc&) {
                error = ERROR_NOT_ENOUGH_MEMORY;
                throw;
            }
        });
        ::SetLastError(error);
        return result;
    }
};
