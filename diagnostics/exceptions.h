#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/seam.h"

class OEventLog;

// The one exception type the library's own code throws. Thrown by value,
// caught by reference; copies own their texts.
class OException {
public:
    // The system's code for an error that carries no better one.
    static constexpr int32_t kInternalError = 1359;  // ERROR_INTERNAL_ERROR
    // The code of an error raised with the raised-error record.
    static constexpr int32_t kRaisedError = -1;

    // The record a raised error points at: RaiseException(1359, 0, 1, {&record})
    // on a guarded thread becomes an OException with the record's function,
    // file, line and (when not empty) message.
    struct RaisedErrorRecord {
        uint32_t line;
        char function[260];
        char file[260];
        char message[1024];
    };
    // The process-wide record, recognised by its address.
    static RaisedErrorRecord& RaisedRecord();

    // code: a Windows error code, or kRaisedError with pointers whose record
    // names the raised-error record. Without a message (null or empty) the
    // message is the system's text for the code (for 1359 when code < 1),
    // absent when the system has none. pointers are borrowed: they stay valid
    // only while the handler that translated the fault lives.
    explicit OException(int32_t code, const char* message = nullptr,
                        const EXCEPTION_POINTERS* pointers = nullptr);
    OException(const OException&) = default;
    OException& operator=(const OException&) = default;
    virtual ~OException() = default;

    // The code when above 0, else 1359.
    int32_t GetErrorCode() const noexcept { return m_code > 0 ? m_code : kInternalError; }
    int32_t GetCode() const noexcept { return m_code; }
    const std::string& GetMessage() const noexcept { return m_message; }
    const std::string& GetStackTrace() const noexcept { return m_stackTrace; }
    const std::string& GetFunction() const noexcept { return m_function; }
    const std::string& GetFile() const noexcept { return m_file; }
    int32_t GetLine() const noexcept { return m_line; }
    const EXCEPTION_POINTERS* GetExceptionPointers() const noexcept { return m_pointers; }

    // The system's text of a Windows error code; empty when it has none.
    static std::string SystemText(uint32_t code);

private:
    int32_t m_code;
    std::string m_message;
    std::string m_stackTrace;
    std::string m_function;
    std::string m_file;
    int32_t m_line = -1;
    const EXCEPTION_POINTERS* m_pointers;
};

// The outputs of Handle, real by default; tests see what a report would show.
struct OExceptionHandlerApi {
    decltype(&::GetStdHandle) getStdHandle = ::GetStdHandle;
    decltype(&::WriteFile) writeFile = ::WriteFile;
    decltype(&::MessageBoxW) messageBox = ::MessageBoxW;
};

// Guards the body of a thread the library starts itself. While the handler
// lives, a processor fault on the constructing thread (access violation,
// division by zero, ...) is thrown there as an OException carrying the fault's
// record and context, so the body unwinds with its destructors run. Code that
// can fault must be compiled with -fnon-call-exceptions for its frames to be
// unwound. Faults on other threads are left alone.
//
//     OExceptionHandler handler("TCPLazyCloseThread::ThreadProc", 9, log);
//     handler.Run([&] { Body(); });
class OExceptionHandler {
public:
    static constexpr uint32_t kToEventLog = 1;
    static constexpr uint32_t kToMessageBox = 2;
    static constexpr uint32_t kToStandardError = 4;
    static constexpr uint32_t kToLastError = 8;

    // where names the guarded routine in reports; log may be empty. Creates
    // the crash-dump writer if the process has none yet.
    OExceptionHandler(const char* where, uint32_t options, std::shared_ptr<OEventLog> log);
    OExceptionHandler(const OExceptionHandler&) = delete;
    OExceptionHandler& operator=(const OExceptionHandler&) = delete;
    // Ends translation on this thread (an outer handler's resumes).
    virtual ~OExceptionHandler();

    // Reports e in the ways options select, then writes a crash dump when e
    // carries exception pointers and none was written yet (a translated
    // fault's dump is written as the fault is first seen, before the
    // unwinding). Never throws.
    virtual void Handle(OException& e);

    // Runs body; an OException (translated faults included) or any other
    // exception that escapes it is handed to Handle. False when one did.
    template <typename F>
    bool Run(F&& body) noexcept {
        try {
            body();
            return true;
        } catch (OException& e) {
            Handle(e);
        } catch (...) {
            HandleUnknown();
        }
        return false;
    }

    // The translation of a fault's exception code: the resulting error code,
    // and the fixed message (null when the system's text is used).
    struct Translation {
        int32_t code;
        const char* message;
    };
    static Translation Translate(const EXCEPTION_RECORD& record);

    // The first line of a standard-error report and the message box text,
    // composed from the module name and the exception (see Handle).
    static std::string ErrorReport(const char* module, const char* where, const OException& e);
    static std::string MessageBoxText(const char* where, const OException& e);
    static std::string EventLogText(const char* where, const OException& e);

private:
    friend struct OFaultTranslation;

    void HandleUnknown() noexcept;

    std::string m_where;
    uint32_t m_options;
    std::shared_ptr<OEventLog> m_log;
    OExceptionHandler* m_previous;
    PVOID m_vectoredHandler;
    // The fault being translated: copies, since the system's own records die
    // with the handler call that saw them.
    EXCEPTION_RECORD m_record{};
    CONTEXT m_context{};
    EXCEPTION_POINTERS m_pointers{};
    bool m_translating = false;
    // The translated fault's dump was written where the fault was first seen.
    bool m_dumped = false;
};

using OExceptionHandlerOverride = ScopedApi<OExceptionHandlerApi>;
