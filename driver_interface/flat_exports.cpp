#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <new>
#include <vector>

#include "core/bstr.h"
#include "driver_interface/export_boundary.h"
#include "driver_interface/status_provenance.h"

// The QVDI_ exports: the operations no DI_ export carries, in plain C types
// for hosts of any compiler or language. Each forwards to the same operation
// as the object's own slot, inside the same boundary (GuardedCall), and does
// every conversion of its arguments and its result inside it, so that an
// allocation failure there gives the neutral answer like any other.

// What a FALSE, 0 or null of an operation means, for the last error it leaves.
enum class Failure {
    kAnswer,       // none: the result is the answer (last error 0)
    kSpoolerCall,  // the error of the Windows call that failed; ERROR_GEN_FAILURE if none
    kDalCall,      // ERROR_NOT_SUPPORTED on a basic interface, else as kSpoolerCall
    kDalText,      // ERROR_NOT_SUPPORTED on a basic interface, else ERROR_NOT_FOUND
    kDalNumber,    // ERROR_NOT_SUPPORTED on a basic interface, else ERROR_NO_DATA
};

struct FlatExports {
    // Arguments in the host's types become the operation's; text is
    // converted inside the boundary, a null text counting as empty.
    static OString In(const wchar_t* text) { return OString(text != nullptr ? text : L""); }
    template <typename T>
    static T In(T value) {
        return value;
    }
    // Results in the host's types: BOOL, a number, a BSTR (null when empty).
    static BOOL Out(bool value) { return value ? TRUE : FALSE; }
    static int Out(int value) { return value; }
    static BSTR Out(const OString& text) {
        BSTR result = OStringToBstr(text);
        if (result == nullptr && !text.IsEmpty()) {
            throw std::bad_alloc();
        }
        return result;
    }

    static DWORD Reason(DriverInterface& driver, Failure failure) {
        const DWORD system = ::GetLastError();
        if (failure != Failure::kSpoolerCall && !driver.DoIsAdvanced()) {
            return ERROR_NOT_SUPPORTED;
        }
        switch (failure) {
            case Failure::kDalText:
                return ERROR_NOT_FOUND;
            case Failure::kDalNumber:
                return ERROR_NO_DATA;
            default:
                return system != ERROR_SUCCESS ? system : ERROR_GEN_FAILURE;
        }
    }

    template <typename Result, typename Operation, typename... Args>
    static Result Run(HDRIVERINTERFACE handle, const char* name, Failure failure, Result neutral,
                      Operation operation, const Args&... args) {
        return ExportBoundary::Guarded(
            handle, name, neutral, [&](DriverInterface& driver, DWORD& error) -> Result {
                // A failing step's own code is told apart from what came before.
                ::SetLastError(ERROR_SUCCESS);
                const Result result = Out((driver.*operation)(In(args)...));
                if (!result && failure != Failure::kAnswer) {
                    error = Reason(driver, failure);
                }
                return result;
            });
    }

    static constexpr auto kIsAdvanced = &DriverInterface::DoIsAdvanced;
    static constexpr auto kIsBidiEnabled = &DriverInterface::DoIsBidiEnabled;
    static constexpr auto kSeverity = &DriverInterface::DoGetPrinterStatusSeverity;
    static constexpr auto kHasStatus = &DriverInterface::DoHasPrinterStatus;
    static constexpr auto kJobStatusText = &DriverInterface::DoGetJobStatusText;
    static constexpr auto kSendFile = &DriverInterface::DoSendFile;
    static constexpr auto kImportSettings = &DriverInterface::DoImportSettings;
    static constexpr auto kExportSettings = &DriverInterface::DoExportSettings;
    static constexpr auto kResetSettings = &DriverInterface::DoResetSettings;
    static constexpr auto kPauseJob = &DriverInterface::DoPauseJob;
    static constexpr auto kResumeJob = &DriverInterface::DoResumeJob;
    static constexpr auto kDeleteJob = &DriverInterface::DoDeleteJob;
    static constexpr auto kRestartJob = &DriverInterface::DoRestartJob;
    static constexpr auto kJobPriority = &DriverInterface::DoSetJobPriority;
    static constexpr auto kJobStartTime = &DriverInterface::DoSetJobStartTime;
    static constexpr auto kJobUntilTime = &DriverInterface::DoSetJobUntilTime;
    static constexpr auto kSendDalQuery = &DriverInterface::DoSendDalQuery;
    static constexpr auto kSendDalQueryEx = &DriverInterface::DoSendDalQueryEx;
    static constexpr auto kDalQueryStatus = &DriverInterface::DoGetDalQueryStatus;

    // Both query exports: data may be null only for no bytes.
    static bool ValidQuery(const unsigned char* data, DWORD size) {
        if (data == nullptr && size != 0) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }

    // The provenance code; its text as a BSTR in *text when text is not null.
    static int Provenance(HDRIVERINTERFACE handle, BSTR* text) {
        if (text != nullptr) {
            *text = nullptr;
        }
        return ExportBoundary::Guarded(handle, "QVDI_GetStatusProvenance", int{kStatusNotAsked},
                                       [&](DriverInterface& driver, DWORD&) -> int {
                                           const StatusProvenance provenance =
                                               driver.DoGetStatusProvenance();
                                           if (text != nullptr) {
                                               *text = Out(provenance.text);
                                           }
                                           return provenance.code;
                                       });
    }

    // TRUE when the response was copied; the last error says why not.
    static BOOL Response(HDRIVERINTERFACE handle, const wchar_t* queryId, unsigned char* buffer,
                         unsigned long* size) {
        if (size == nullptr) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const unsigned long capacity = *size;
        *size = 0;
        return ExportBoundary::Guarded(
            handle, "QVDI_GetDalQueryResponse", FALSE,
            [&](DriverInterface& driver, DWORD& error) -> BOOL {
                std::vector<uint8_t> response;
                if (!driver.DoGetDalQueryResponse(In(queryId), response)) {
                    error = driver.DoIsAdvanced() ? ERROR_NO_DATA : ERROR_NOT_SUPPORTED;
                    return FALSE;
                }
                if (response.size() > capacity || (buffer == nullptr && !response.empty())) {
                    *size = static_cast<unsigned long>(response.size());
                    error = ERROR_MORE_DATA;
                    return FALSE;
                }
                if (!response.empty()) {
                    std::memcpy(buffer, response.data(), response.size());
                }
                *size = static_cast<unsigned long>(response.size());
                return TRUE;
            });
    }
};

namespace {
using Flat = FlatExports;
}  // namespace

extern "C" {

BOOL QVDI_IsAdvanced(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_IsAdvanced", Failure::kAnswer, FALSE, Flat::kIsAdvanced);
}

int QVDI_GetStatusProvenance(HDRIVERINTERFACE handle, BSTR* text) {
    return Flat::Provenance(handle, text);
}

BOOL QVDI_IsBidiEnabled(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_IsBidiEnabled", Failure::kAnswer, FALSE, Flat::kIsBidiEnabled);
}

int QVDI_GetPrinterStatusSeverity(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_GetPrinterStatusSeverity", Failure::kAnswer, 1, Flat::kSeverity);
}

BOOL QVDI_HasPrinterStatus(HDRIVERINTERFACE handle, int statusId) {
    return Flat::Run(handle, "QVDI_HasPrinterStatus", Failure::kAnswer, FALSE, Flat::kHasStatus,
                     statusId);
}

BSTR QVDI_GetJobStatusText(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_GetJobStatusText", Failure::kDalText, BSTR{nullptr},
                     Flat::kJobStatusText, jobId);
}

BOOL QVDI_SendFile(HDRIVERINTERFACE handle, const wchar_t* path, const wchar_t* documentName) {
    return Flat::Run(handle, "QVDI_SendFile", Failure::kSpoolerCall, FALSE, Flat::kSendFile, path,
                     documentName);
}

BOOL QVDI_ImportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, "QVDI_ImportSettings", Failure::kDalCall, FALSE, Flat::kImportSettings,
                     path, flags);
}

BOOL QVDI_ExportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, "QVDI_ExportSettings", Failure::kDalCall, FALSE, Flat::kExportSettings,
                     path, flags);
}

BOOL QVDI_ResetSettings(HDRIVERINTERFACE handle, DWORD flags) {
    return Flat::Run(handle, "QVDI_ResetSettings", Failure::kDalCall, FALSE, Flat::kResetSettings,
                     flags);
}

BOOL QVDI_PauseJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_PauseJob", Failure::kSpoolerCall, FALSE, Flat::kPauseJob, jobId);
}

BOOL QVDI_ResumeJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_ResumeJob", Failure::kSpoolerCall, FALSE, Flat::kResumeJob,
                     jobId);
}

BOOL QVDI_DeleteJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_DeleteJob", Failure::kSpoolerCall, FALSE, Flat::kDeleteJob,
                     jobId);
}

BOOL QVDI_RestartJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_RestartJob", Failure::kSpoolerCall, FALSE, Flat::kRestartJob,
                     jobId);
}

BOOL QVDI_SetJobPriority(HDRIVERINTERFACE handle, DWORD jobId, DWORD priority) {
    return Flat::Run(handle, "QVDI_SetJobPriority", Failure::kSpoolerCall, FALSE,
                     Flat::kJobPriority, jobId, priority);
}

BOOL QVDI_SetJobStartTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, "QVDI_SetJobStartTime", Failure::kSpoolerCall, FALSE,
                     Flat::kJobStartTime, jobId, minutes);
}

BOOL QVDI_SetJobUntilTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, "QVDI_SetJobUntilTime", Failure::kSpoolerCall, FALSE,
                     Flat::kJobUntilTime, jobId, minutes);
}

BOOL QVDI_SendDalQuery(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                       const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                       int receiveIntervalTimeout) {
    if (!Flat::ValidQuery(data, size)) {
        return FALSE;
    }
    return Flat::Run(handle, "QVDI_SendDalQuery", Failure::kDalCall, FALSE, Flat::kSendDalQuery,
                     data, size, queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout);
}

BOOL QVDI_SendDalQueryEx(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                         const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                         int receiveIntervalTimeout, const wchar_t* responsePattern,
                         BOOL readFlag) {
    if (!Flat::ValidQuery(data, size)) {
        return FALSE;
    }
    return Flat::Run(handle, "QVDI_SendDalQueryEx", Failure::kDalCall, FALSE, Flat::kSendDalQueryEx,
                     data, size, queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout,
                     responsePattern, readFlag != FALSE);
}

int QVDI_GetDalQueryStatus(HDRIVERINTERFACE handle, const wchar_t* queryId) {
    return Flat::Run(handle, "QVDI_GetDalQueryStatus", Failure::kDalNumber, 0,
                     Flat::kDalQueryStatus, queryId);
}

BOOL QVDI_GetDalQueryResponse(HDRIVERINTERFACE handle, const wchar_t* queryId,
                              unsigned char* buffer, DWORD* size) {
    return Flat::Response(handle, queryId, buffer, size);
}

}  // extern "C"
