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
// as the object's own slot (ExportBoundary::Operations, one per row of
// QV_DRIVER_OPERATIONS), inside the same boundary (GuardedCall), logs under
// its own name (__func__), and does every conversion of its arguments and its
// result inside it, so that an allocation failure there gives the neutral
// answer like any other.

// What a FALSE, 0 or null of an operation means, for the last error it leaves.
enum class Failure {
    kAnswer,       // none: the result is the answer (last error 0)
    kSpoolerCall,  // the error of the Windows call that failed; ERROR_GEN_FAILURE if none
    kDalCall,      // ERROR_NOT_SUPPORTED on a basic interface, else as kSpoolerCall
    kDalText,      // ERROR_NOT_SUPPORTED on a basic interface, else ERROR_NOT_FOUND
    kDalNumber,    // ERROR_NOT_SUPPORTED on a basic interface, else ERROR_NO_DATA
};

using Op = ExportBoundary::Operations;

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

    static DWORD Reason(const Op& driver, Failure failure) {
        const DWORD system = ::GetLastError();
        if (failure != Failure::kSpoolerCall && !driver.IsAdvanced()) {
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
            handle, name, neutral, [&](const Op& driver, DWORD& error) -> Result {
                // A failing step's own code is told apart from what came before.
                ::SetLastError(ERROR_SUCCESS);
                const Result result = Out((driver.*operation)(In(args)...));
                if (!result && failure != Failure::kAnswer) {
                    error = Reason(driver, failure);
                }
                return result;
            });
    }

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
                                       [&](const Op& driver, DWORD&) -> int {
                                           const StatusProvenance provenance =
                                               driver.GetStatusProvenance();
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
            handle, "QVDI_GetDalQueryResponse", FALSE, [&](const Op& driver, DWORD& error) -> BOOL {
                std::vector<uint8_t> response;
                if (!driver.GetDalQueryResponse(In(queryId), response)) {
                    error = driver.IsAdvanced() ? ERROR_NO_DATA : ERROR_NOT_SUPPORTED;
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
    return Flat::Run(handle, __func__, Failure::kAnswer, FALSE, &Op::IsAdvanced);
}

int QVDI_GetStatusProvenance(HDRIVERINTERFACE handle, BSTR* text) {
    return Flat::Provenance(handle, text);
}

BOOL QVDI_IsBidiEnabled(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, __func__, Failure::kAnswer, FALSE, &Op::IsBidiEnabled);
}

int QVDI_GetPrinterStatusSeverity(HDRIVERINTERFACE handle) {
    return Flat::Run(handle, __func__, Failure::kAnswer, 1, &Op::GetPrinterStatusSeverity);
}

BOOL QVDI_HasPrinterStatus(HDRIVERINTERFACE handle, int statusId) {
    return Flat::Run(handle, __func__, Failure::kAnswer, FALSE, &Op::HasPrinterStatus, statusId);
}

BSTR QVDI_GetJobStatusText(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, __func__, Failure::kDalText, BSTR{nullptr}, &Op::GetJobStatusText,
                     jobId);
}

BOOL QVDI_SendFile(HDRIVERINTERFACE handle, const wchar_t* path, const wchar_t* documentName) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::SendFile, path,
                     documentName);
}

BOOL QVDI_ImportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, __func__, Failure::kDalCall, FALSE, &Op::ImportSettings, path, flags);
}

BOOL QVDI_ExportSettings(HDRIVERINTERFACE handle, const wchar_t* path, DWORD flags) {
    return Flat::Run(handle, __func__, Failure::kDalCall, FALSE, &Op::ExportSettings, path, flags);
}

BOOL QVDI_ResetSettings(HDRIVERINTERFACE handle, DWORD flags) {
    return Flat::Run(handle, __func__, Failure::kDalCall, FALSE, &Op::ResetSettings, flags);
}

BOOL QVDI_PauseJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::PauseJob, jobId);
}

BOOL QVDI_ResumeJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::ResumeJob, jobId);
}

BOOL QVDI_DeleteJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::DeleteJob, jobId);
}

BOOL QVDI_RestartJob(HDRIVERINTERFACE handle, DWORD jobId) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::RestartJob, jobId);
}

BOOL QVDI_SetJobPriority(HDRIVERINTERFACE handle, DWORD jobId, DWORD priority) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::SetJobPriority, jobId,
                     priority);
}

BOOL QVDI_SetJobStartTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::SetJobStartTime, jobId,
                     minutes);
}

BOOL QVDI_SetJobUntilTime(HDRIVERINTERFACE handle, DWORD jobId, DWORD minutes) {
    return Flat::Run(handle, __func__, Failure::kSpoolerCall, FALSE, &Op::SetJobUntilTime, jobId,
                     minutes);
}

BOOL QVDI_SendDalQuery(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                       const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                       int receiveIntervalTimeout) {
    if (!Flat::ValidQuery(data, size)) {
        return FALSE;
    }
    return Flat::Run(handle, __func__, Failure::kDalCall, FALSE, &Op::SendDalQuery, data, size,
                     queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout);
}

BOOL QVDI_SendDalQueryEx(HDRIVERINTERFACE handle, const unsigned char* data, DWORD size,
                         const wchar_t* queryId, int sendTimeout, int receiveStartTimeout,
                         int receiveIntervalTimeout, const wchar_t* responsePattern,
                         BOOL readFlag) {
    if (!Flat::ValidQuery(data, size)) {
        return FALSE;
    }
    return Flat::Run(handle, __func__, Failure::kDalCall, FALSE, &Op::SendDalQueryEx, data, size,
                     queryId, sendTimeout, receiveStartTimeout, receiveIntervalTimeout,
                     responsePattern, readFlag != FALSE);
}

int QVDI_GetDalQueryStatus(HDRIVERINTERFACE handle, const wchar_t* queryId) {
    return Flat::Run(handle, __func__, Failure::kDalNumber, 0, &Op::GetDalQueryStatus, queryId);
}

BOOL QVDI_GetDalQueryResponse(HDRIVERINTERFACE handle, const wchar_t* queryId,
                              unsigned char* buffer, DWORD* size) {
    return Flat::Response(handle, queryId, buffer, size);
}

}  // extern "C"
