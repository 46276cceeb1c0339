#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <vector>

#include "core/bstr.h"
#include "driver_interface/driver_interface.h"
#include "driver_interface/status_provenance.h"

// The QVDI_ exports: the operations no DI_ export carries, in plain C types
// for hosts of any compiler or language. Each forwards to the same operation
// as the object's own slot, inside the same boundary (GuardedCall), and does
// every conversion of its arguments and its result inside it, so that an
// allocation failure there gives the neutral answer like any other.

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
    static BSTR Out(const OString& text) { return OStringToBstr(text); }

    template <typename Result, typename Operation, typename... Args>
    static Result Run(HDRIVERINTERFACE handle, const char* name, Result neutral,
                      Operation operation, const Args&... args) {
        DriverInterface* driver = reinterpret_cast<DriverInterface*>(handle);
        return DriverInterface::GuardedCall(driver, name, neutral, [&]() -> Result {
            return Out((driver->*operation)(In(args)...));
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

    // The provenance code; its text as a BSTR in *text when text is not null.
    static int Provenance(HDRIVERINTERFACE handle, BSTR* text) {
        if (text != nullptr) {
            *text = nullptr;
        }
        DriverInterface* driver = reinterpret_cast<DriverInterface*>(handle);
        return DriverInterface::GuardedCall(
            driver, "QVDI_GetStatusProvenance", int{kStatusNotAsked}, [&]() -> int {
                const StatusProvenance provenance = driver->DoGetStatusProvenance();
                if (text != nullptr) {
                    *text = OStringToBstr(provenance.text);
                }
                return provenance.code;
            });
    }

    // The last error the export sets: 0 when the response was copied.
    static DWORD Response(HDRIVERINTERFACE handle, const wchar_t* queryId, unsigned char* buffer,
                          unsigned long* size) {
        if (size == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const unsigned long capacity = *size;
        *size = 0;
        DriverInterface* driver = reinterpret_cast<DriverInterface*>(handle);
        const DWORD error = DriverInterface::GuardedCall(
            driver, "QVDI_GetDalQueryResponse", DWORD{ERROR_NO_DATA}, [&]() -> DWORD {
                std::vector<uint8_t> response;
                if (!driver->DoGetDalQueryResponse(In(queryId), response)) {
                    return ERROR_NO_DATA;
                }
                *size = static_cast<unsigned long>(response.size());
                if (response.size() > capacity || (buffer == nullptr && !response.empty())) {
                    return ERROR_MORE_DATA;
                }
                if (!response.empty()) {
                    std::memcpy(buffer, response.data(), response.size());
                }
                return ERROR_SUCCESS;
            });
        if (error == ERROR_NO_DATA) {
            *size = 0;
        }
        return error;
    }
};

namespace {
using Flat = FlatExports;
}  // namespace

extern "C" {

BOOL QVDI_IsAdvanced(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_IsAdvanced", FALSE, Flat::kIsAdvanced);
}

int QVDI_GetStatusProvenance(HDRIVERINTERFACE handle, BSTR* text) {
    return Flat::Provenance(handle, text);
}

BOOL QVDI_IsBidiEnabled(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_IsBidiEnabled", FALSE, Flat::kIsBidiEnabled);
}

int QVDI_GetPrinterStatusSeverity(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, "QVDI_GetPrinterStatusSeverity", 1, Flat::kSeverity);
}

BOOL QVDI_HasPrinterStatus(HDRIVERINTERFACE handle, int statusId) {
    return Flat::Run(handle, "QVDI_HasPrinterStatus", FALSE, Flat::kHasStatus, statusId);
}

BSTR QVDI_GetJobStatusText(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_GetJobStatusText", BSTR{nullptr}, Flat::kJobStatusText, jobId);
}

BOOL QVDI_SendFile(HDRIVERINTERFACE handle, const wchar_t* path, const wchar_t* documentName) {
    return Flat::Run(handle, "QVDI_SendFile", FALSE, Flat::kSendFile, path, documentName);
}

BOOL QVDI_ImportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, "QVDI_ImportSettings", FALSE, Flat::kImportSettings, path, flags);
}

BOOL QVDI_ExportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, "QVDI_ExportSettings", FALSE, Flat::kExportSettings, path, flags);
}

BOOL QVDI_ResetSettings(HDRIVERINTERFACE handle, DWORD flags) {
    return Flat::Run(handle, "QVDI_ResetSettings", FALSE, Flat::kResetSettings, flags);
}

BOOL QVDI_PauseJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_PauseJob", FALSE, Flat::kPauseJob, jobId);
}

BOOL QVDI_ResumeJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_ResumeJob", FALSE, Flat::kResumeJob, jobId);
}

BOOL QVDI_DeleteJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_DeleteJob", FALSE, Flat::kDeleteJob, jobId);
}

BOOL QVDI_RestartJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, "QVDI_RestartJob", FALSE, Flat::kRestartJob, jobId);
}

BOOL QVDI_SetJobPriority(HDRIVERINTERFACE handle, DWORD jobId, DWORD priority) {
    return Flat::Run(handle, "QVDI_SetJobPriority", FALSE, Flat::kJobPriority, jobId, priority);
}

BOOL QVDI_SetJobStartTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, "QVDI_SetJobStartTime", FALSE, Flat::kJobStartTime, jobId, minutes);
}

BOOL QVDI_SetJobUntilTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, "QVDI_SetJobUntilTime", FALSE, Flat::kJobUntilTime, jobId, minutes);
}

BOOL QVDI_SendDalQuery(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                       const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                       int receiveIntervalTimeout) {
    return Flat::Run(handle, "QVDI_SendDalQuery", FALSE, Flat::kSendDalQuery, data, size, queryId,
                     sendTimeout, receiveStartTimeout, receiveIntervalTimeout);
}

BOOL QVDI_SendDalQueryEx(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                         const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                         int receiveIntervalTimeout, const wchar_t* responsePattern,
                         BOOL readFlag) {
    return Flat::Run(handle, "QVDI_SendDalQueryEx", FALSE, Flat::kSendDalQueryEx, data, size,
                     queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout,
                     responsePattern, readFlag != FALSE);
}

int QVDI_GetDalQueryStatus(HDRIVERINTERFACE handle, const wchar_t* queryId) {
    return Flat::Run(handle, "QVDI_GetDalQueryStatus", 0, Flat::kDalQueryStatus, queryId);
}

BOOL QVDI_GetDalQueryResponse(HDRIVERINTERFACE handle, const wchar_t* queryId,
                              unsigned char* buffer, DWORD* size) {
    const DWORD error = Flat::Response(handle, queryId, buffer, size);
    ::SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // extern "C"
