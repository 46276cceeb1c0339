#include "diagnostics/exceptions.h"

#include <cstring>

#include "core/ostring.h"
#include "core/thread_slot.h"
#include "diagnostics/event_log.h"
#include "diagnostics/minidump.h"

namespace {

OException::RaisedErrorRecord g_raisedRecord{};

// Each thread's innermost handler. A handler lives on its thread's stack and
// leaves the slot as it found it, so a thread's value needs no cleanup.
OThreadSlot g_handlerSlot{nullptr};

// The slot keeps the last error; the faulting thread's must survive.
OExceptionHandler* CurrentHandler() {
    return static_cast<OExceptionHandler*>(g_handlerSlot.Get());
}

bool IsRaisedError(const EXCEPTION_RECORD& record) {
    return record.ExceptionCode == static_cast<DWORD>(OException::kInternalError) &&
           record.NumberParameters >= 1 &&
           record.ExceptionInformation[0] == reinterpret_cast<ULONG_PTR>(&g_raisedRecord);
}

// Only processor faults and errors raised as such are translated: C++ throws,
// debugger texts (OutputDebugString raises one) and other notices pass.
bool IsFault(const EXCEPTION_RECORD& record) {
    constexpr DWORD kMsvcCppException = 0xE06D7363;
    DWORD code = record.ExceptionCode;
    if (code == EXCEPTION_DATATYPE_MISALIGNMENT || IsRaisedError(record)) {
        return true;
    }
    return (code & 0xC0000000) == 0xC0000000 && code != kMsvcCppException;
}

}  // namespace

OException::RaisedErrorRecord& OException::RaisedRecord() {
    return g_raisedRecord;
}

std::string OException::SystemText(uint32_t code) {
    char buffer[1024];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, buffer, sizeof buffer, nullptr);
    return std::string(buffer, length);
}

OException::OException(int32_t code, const char* message, const EXCEPTION_POINTERS* pointers)
    : m_code(code), m_message(message != nullptr ? message : ""), m_pointers(pointers) {
    if (code == kRaisedError && pointers != nullptr && pointers->ExceptionRecord != nullptr &&
        IsRaisedError(*pointers->ExceptionRecord)) {
        const auto* record = reinterpret_cast<const RaisedErrorRecord*>(
            pointers->ExceptionRecord->ExceptionInformation[0]);
        m_function.assign(record->function, strnlen(record->function, sizeof record->function));
        m_file.assign(record->file, strnlen(record->file, sizeof record->file));
        m_line = static_cast<int32_t>(record->line);
        size_t length = strnlen(record->message, sizeof record->message);
        if (length > 0) {
            m_message.assign(record->message, length);
        }
    }
    if (m_message.empty()) {
        m_message = SystemText(code < 1 ? kInternalError : static_cast<uint32_t>(code));
    }
}

OExceptionHandler::Translation OExceptionHandler::Translate(const EXCEPTION_RECORD& record) {
    switch (record.ExceptionCode) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return {ERROR_INVALID_ADDRESS, nullptr};
        case EXCEPTION_ILLEGAL_INSTRUCTION:
            return {OException::kInternalError, "Illegal instruction."};
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
            return {OException::kInternalError, "Floating point error."};
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            return {OException::kInternalError, "Division by zero."};
        case EXCEPTION_INT_OVERFLOW:
            return {ERROR_ARITHMETIC_OVERFLOW, nullptr};
        case EXCEPTION_STACK_OVERFLOW:
            return {ERROR_STACK_OVERFLOW, nullptr};
        default:
            break;
    }
    if (IsRaisedError(record)) {
        return {OException::kRaisedError, nullptr};
    }
    return {ERROR_UNIDENTIFIED_ERROR, nullptr};
}

// The fault's thread is sent here by the vectored handler, as if the faulting
// instruction had called this function: the unwinder then walks from the
// faulting frame, whose handlers and destructors run as for any throw.
// Throwing from the vectored handler itself cannot work: it runs on the
// system's dispatch frames, which the unwinder cannot cross.
struct OFaultTranslation {
    [[noreturn]] static void Throw() {
        OExceptionHandler* handler = CurrentHandler();
        OExceptionHandler::Translation translation =
            OExceptionHandler::Translate(handler->m_record);
        handler->m_pointers.ExceptionRecord = &handler->m_record;
        handler->m_pointers.ContextRecord = &handler->m_context;
        OException e(translation.code, translation.message, &handler->m_pointers);
        handler->m_translating = false;
        throw e;
    }

    static LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
        if (!IsFault(*info->ExceptionRecord)) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        OExceptionHandler* handler = CurrentHandler();
        // A fault while a translation is under way (the report itself broke)
        // takes its normal course.
        if (handler == nullptr || handler->m_translating) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        handler->m_translating = true;
        handler->m_record = *info->ExceptionRecord;
        handler->m_record.ExceptionRecord = nullptr;
        handler->m_context = *info->ContextRecord;
        // The dump is written here, before anything unwinds, so that its
        // faulting thread still holds the frames of the fault: after the
        // throw, the handler's own calls overwrite them. A stack that
        // overflowed has no room for the writer; Handle writes that one.
        handler->m_dumped = false;
        if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
            DWORD error = ::GetLastError();
            OMiniDump::Instance().MiniDumpGenerate(handler->m_log.get(), info);
            handler->m_dumped = true;
            ::SetLastError(error);
        }
        CONTEXT* context = info->ContextRecord;
        // The pushed return address points one byte into the faulting
        // instruction: the unwinder looks up the byte before a return address,
        // and so finds the faulting instruction's own call-site entry.
        context->Rsp -= sizeof(DWORD64);
        *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
        context->Rip = reinterpret_cast<DWORD64>(&OFaultTranslation::Throw);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
};

OExceptionHandler::OExceptionHandler(const char* where, uint32_t options,
                                     std::shared_ptr<OEventLog> log)
    : m_where(where != nullptr ? where : ""),
      m_options(options),
      m_log(std::move(log)),
      m_previous(CurrentHandler()),
      m_vectoredHandler(::AddVectoredExceptionHandler(1, &OFaultTranslation::OnException)) {
    g_handlerSlot.Set(this);
    OMiniDump::Instance();
}

OExceptionHandler::~OExceptionHandler() {
    g_handlerSlot.Set(m_previous);
    if (m_vectoredHandler != nullptr) {
        ::RemoveVectoredExceptionHandler(m_vectoredHandler);
    }
}

namespace {

std::string FunctionLine(const OException& e) {
    if (e.GetFunction().empty()) {
        return std::string();
    }
    return "Function: " + e.GetFunction() + " in " + e.GetFile() + " (" +
           std::to_string(e.GetLine()) + ")\r\n";
}

std::string TrimmedMessage(const OException& e) {
    OString message(e.GetMessage().c_str());
    message.Trim(OString(OString::kWhiteSpace));
    return message.GetNarrow();
}

std::string ModuleName() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH - 1] = L'\0';
    const wchar_t* slash = OString::StrRChrBackslash(path);
    return OString(slash != nullptr ? slash + 1 : path).GetNarrow();
}

}  // namespace

std::string OExceptionHandler::ErrorReport(const char* module, const char* where,
                                           const OException& e) {
    return "+++ " + std::string(module) + " exception: " + TrimmedMessage(e) + "\r\n" +
           FunctionLine(e) + "Caught in [" + where + "]\r\n" + e.GetStackTrace();
}

std::string OExceptionHandler::MessageBoxText(const char* where, const OException& e) {
    std::string text =
        "An unrecoverable error occurred, and execution cannot continue.\r\n\r\n"
        "Error: " +
        TrimmedMessage(e) + "\r\n" + FunctionLine(e) + "Caught in [" + where + "]\r\n";
    if (!e.GetStackTrace().empty()) {
        text += "\r\n" + e.GetStackTrace();
    }
    return text;
}

std::string OExceptionHandler::EventLogText(const char* where, const OException& e) {
    std::string text = "Error: " + TrimmedMessage(e) + " \r\n" + FunctionLine(e) + "Caught in [" +
                       where + "] \r\n";
    if (!e.GetStackTrace().empty()) {
        text += "\nStackTrace: \n\n" + e.GetStackTrace();
    }
    return text;
}

void OExceptionHandler::Handle(OException& e) {
    try {
        const OExceptionHandlerApi& api = ScopedApi<OExceptionHandlerApi>::Current();
        std::string module = ModuleName();
        if ((m_options & kToStandardError) != 0) {
            std::string report = ErrorReport(module.c_str(), m_where.c_str(), e);
            DWORD written = 0;
            api.writeFile(api.getStdHandle(STD_ERROR_HANDLE), report.data(),
                          static_cast<DWORD>(report.size()), &written, nullptr);
        }
        if ((m_options & kToMessageBox) != 0) {
            OString caption((module + " Error").c_str());
            OString text(MessageBoxText(m_where.c_str(), e).c_str());
            api.messageBox(nullptr, text.GetWide(), caption.GetWide(), MB_ICONSTOP);
        }
        if ((m_options & kToEventLog) != 0 && m_log && m_log->IsEnabled(OEventLog::kErrors)) {
            m_log->Write(OString(EventLogText(m_where.c_str(), e).c_str()), OEventLog::kErrors);
        }
    } catch (...) {
        // A report that cannot be made is dropped; the thread still ends well.
    }
    if ((m_options & kToLastError) != 0) {
        ::SetLastError(static_cast<DWORD>(e.GetErrorCode()));
    }
    bool dumped = m_dumped && e.GetExceptionPointers() == &m_pointers;
    m_dumped = false;
    if (e.GetExceptionPointers() != nullptr && !dumped) {
        DWORD error = ::GetLastError();
        OMiniDump::Instance().MiniDumpGenerate(m_log.get(), e.GetExceptionPointers());
        ::SetLastError(error);
    }
}

void OExceptionHandler::HandleUnknown() noexcept {
    try {
        OException e(OException::kInternalError);
        Handle(e);
    } catch (...) {
        ::SetLastError(static_cast<DWORD>(OException::kInternalError));
    }
}
