/*
 * QuorvelDriverUtility.dll: the exports a host program calls.
 *
 * The DI_ and RFID_ functions are C++ functions exported under their
 * MSVC-decorated names; the QVDI_ functions further down are plain C.
 * A host built with MSVC (or clang-cl) includes this header and links against
 * QuorvelDriverUtility.lib; a host built with mingw-w64 g++ does the same (the
 * declarations below carry the decorated names for it). A host that loads the
 * DLL at run time passes the QV_EXPORT_* names to GetProcAddress and casts to
 * the QV_PFN_* types.
 *
 * Text results are BSTRs: the caller frees each non-null result with
 * SysFreeString. An empty result is a null pointer, never an empty BSTR.
 * Nothing thrown inside the library unwinds into the host.
 *
 * Every function below sets the thread's last error (GetLastError, or
 * Marshal.GetLastWin32Error with SetLastError=true): 0 when it answered, so a
 * null text, false or 0 with last error 0 is the answer itself (a command that
 * is not supported, a printer with no status flags set). Otherwise:
 *   ERROR_INVALID_HANDLE (6)       DI_ and QVDI_: the handle is null, or is
 *                                  no interface that DI_Open returned and
 *                                  DI_Close has not yet destroyed (decided
 *                                  from the value alone: a stale handle is
 *                                  refused, never followed, and no later
 *                                  DI_Open returns it again).
 *                                  DI_GetPrinterStatusFlags: also the spooler's
 *                                  own code when it refused the printer handle.
 *   (the spooler's code)           DI_GetPrinterStatusFlags: reading the
 *                                  printer's status failed, for example
 *                                  ERROR_ACCESS_DENIED; the result is 0.
 *   ERROR_INVALID_PRINTER_NAME (1801)
 *                                  DI_ and QVDI_: the interface's printer no
 *                                  longer goes by the name it had when the
 *                                  interface first asked (renamed, the name
 *                                  perhaps another printer's now; noticed
 *                                  within a second). Every later call gives
 *                                  the neutral answer and runs nothing; close
 *                                  the interface and open the printer anew.
 *   ERROR_NOT_FOUND (1168)         DI_ text functions, QVDI_GetJobStatusText:
 *                                  the printer or its driver has no such text
 *                                  (null result).
 *   ERROR_NOT_SUPPORTED (50)       QVDI_ settings, DAL query and job status
 *                                  text functions: the interface is a basic
 *                                  one (the driver has no DAL module).
 *   (the system's code)            QVDI_SendFile, the QVDI_ job functions, the
 *                                  settings and DAL query senders: the code of
 *                                  the Windows call that failed, for example
 *                                  ERROR_PATH_NOT_FOUND for SendFile's file or
 *                                  the spooler's ERROR_ACCESS_DENIED for a job;
 *   ERROR_GEN_FAILURE (31)         the same functions when the printer, its
 *                                  module or the spooler said no without one.
 *   ERROR_PROC_NOT_FOUND (127)     QVDI_ settings functions: the driver's DAL
 *                                  module lacks the function (nothing ran).
 *   ERROR_BROKEN_PIPE (109)        QVDI_ settings functions: the DAL module's
 *                                  proxy process ended or its pipe failed.
 *   ERROR_NO_DATA (232)            QVDI_GetDalQueryStatus (0) and
 *                                  QVDI_GetDalQueryResponse: the printer gave
 *                                  no status or no response (an empty answer
 *                                  is none).
 *   ERROR_BUSY (170)               DI_, QVDI_: the interface is already inside a call
 *                                  on this thread (a window procedure that runs
 *                                  while the library waits for the driver);
 *                                  DI_Close then destroys nothing.
 *   ERROR_NOT_ENOUGH_MEMORY (8)    any: an allocation failed.
 *   ERROR_INTERNAL_ERROR (1359)    any: another failure inside the library;
 *                                  DI_ and QVDI_ functions write it to the
 *                                  event log.
 *   ERROR_INVALID_PARAMETER (87)   RFID_EncodeEPC: the layout gives no bits, or
 *                                  more than 65536; the event log (source
 *                                  "Quorvel Client Utility V3", Warnings)
 *                                  names the field. QVDI_SendDalQuery(Ex):
 *                                  data is null with a size above 0.
 *                                  QVDI_GetDalQueryResponse: size is null.
 *   ERROR_INVALID_DATA (13)        RFID_EncodeRaw: the value holds no digit of
 *                                  its mode (the decimal 0 included).
 *                                  QVRFID_ exports by name: see there.
 */
#ifndef QUORVEL_DRIVER_UTILITY_H
#define QUORVEL_DRIVER_UTILITY_H

#include <stddef.h> /* wchar_t for C */

/* The handle of a driver interface: the address of an object inside the
 * library, opaque to the host. */
typedef struct HDRIVERINTERFACE__* HDRIVERINTERFACE;

/* The same type as HWND of <windows.h> (under STRICT, its default), named so
 * that the decorated names do not depend on how the host includes it. The
 * QV_EXPORT_* names also serve a C host: GetProcAddress finds every DI_ and
 * RFID_ function under them (cast to its QV_PFN_* type). */
struct HWND__;

#define QV_EXPORT_DI_OPEN "?DI_Open@@YAPEAUHDRIVERINTERFACE__@@PEAX@Z"
#define QV_EXPORT_DI_CLOSE "?DI_Close@@YAXPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_DI_IS_COMMAND_SUPPORTED "?DI_IsCommandSupported@@YA_NPEAUHDRIVERINTERFACE__@@H@Z"
#define QV_EXPORT_DI_IS_COMMAND_UI "?DI_IsCommandUI@@YA_NPEAUHDRIVERINTERFACE__@@H@Z"
#define QV_EXPORT_DI_COMMAND "?DI_Command@@YAXPEAUHDRIVERINTERFACE__@@H@Z"
#define QV_EXPORT_DI_COMMAND_UI "?DI_CommandUI@@YAXPEAUHDRIVERINTERFACE__@@PEAUHWND__@@H@Z"
#define QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT \
    "?DI_GetPrinterStatusText@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_DI_GET_PRINTER_STATUS_FLAGS \
    "?DI_GetPrinterStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS \
    "?DI_GetPrinterExtendedStatusFlags@@YAKPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_DI_GET_PRINTER_DRIVER_VERSION \
    "?DI_GetPrinterDriverVersion@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_DI_GET_PRINTER_DRIVER_DATE \
    "?DI_GetPrinterDriverDate@@YAPEA_WPEAUHDRIVERINTERFACE__@@@Z"
#define QV_EXPORT_RFID_ENCODE_EPC "?RFID_EncodeEPC@@YAPEA_WPEB_W0H@Z"
#define QV_EXPORT_RFID_ENCODE_RAW "?RFID_EncodeRaw@@YAPEA_WPEB_WH@Z"

/* The pointer types of every export, for GetProcAddress (C, C++ of any
 * compiler) and as the signatures a foreign-language host copies. The DI_
 * functions that answer bool return one byte (0 or 1) in the low byte of the
 * result register: QV_BOOL8 is bool in C++ and unsigned char in C (C#:
 * [return: MarshalAs(UnmanagedType.U1)] bool; Python ctypes: c_bool). */
#ifdef __cplusplus
typedef bool QV_BOOL8;
#else
typedef unsigned char QV_BOOL8;
#endif
typedef HDRIVERINTERFACE (*QV_PFN_DI_OPEN)(void*);
typedef void (*QV_PFN_DI_CLOSE)(HDRIVERINTERFACE);
typedef QV_BOOL8 (*QV_PFN_DI_IS_COMMAND_SUPPORTED)(HDRIVERINTERFACE, int);
typedef QV_BOOL8 (*QV_PFN_DI_IS_COMMAND_UI)(HDRIVERINTERFACE, int);
typedef void (*QV_PFN_DI_COMMAND)(HDRIVERINTERFACE, int);
typedef void (*QV_PFN_DI_COMMAND_UI)(HDRIVERINTERFACE, struct HWND__*, int);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_STATUS_TEXT)(HDRIVERINTERFACE);
typedef unsigned long (*QV_PFN_DI_GET_PRINTER_STATUS_FLAGS)(HDRIVERINTERFACE);
typedef unsigned long (*QV_PFN_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_DRIVER_VERSION)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_DRIVER_DATE)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_RFID_ENCODE_EPC)(const wchar_t*, const wchar_t*, int);
typedef wchar_t* (*QV_PFN_RFID_ENCODE_RAW)(const wchar_t*, int);
/* The QVDI_ and QVRFID_ functions, found by their plain names
 * (GetProcAddress(module, "QVDI_IsAdvanced")); declared below. */
typedef int (*QV_PFN_QVDI_IS_ADVANCED)(HDRIVERINTERFACE);
typedef int (*QV_PFN_QVDI_IS_BIDI_ENABLED)(HDRIVERINTERFACE);
typedef int (*QV_PFN_QVDI_GET_PRINTER_STATUS_SEVERITY)(HDRIVERINTERFACE);
typedef int (*QV_PFN_QVDI_GET_STATUS_PROVENANCE)(HDRIVERINTERFACE, wchar_t**);
typedef int (*QV_PFN_QVDI_HAS_PRINTER_STATUS)(HDRIVERINTERFACE, int);
typedef wchar_t* (*QV_PFN_QVDI_GET_JOB_STATUS_TEXT)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_SEND_FILE)(HDRIVERINTERFACE, const wchar_t*, const wchar_t*);
typedef int (*QV_PFN_QVDI_IMPORT_SETTINGS)(HDRIVERINTERFACE, const wchar_t*, unsigned long);
typedef int (*QV_PFN_QVDI_EXPORT_SETTINGS)(HDRIVERINTERFACE, const wchar_t*, unsigned long);
typedef int (*QV_PFN_QVDI_RESET_SETTINGS)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_PAUSE_JOB)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_RESUME_JOB)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_DELETE_JOB)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_RESTART_JOB)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_SET_JOB_PRIORITY)(HDRIVERINTERFACE, unsigned long, unsigned long);
typedef int (*QV_PFN_QVDI_SET_JOB_START_TIME)(HDRIVERINTERFACE, unsigned long, unsigned long);
typedef int (*QV_PFN_QVDI_SET_JOB_UNTIL_TIME)(HDRIVERINTERFACE, unsigned long, unsigned long);
typedef int (*QV_PFN_QVDI_SEND_DAL_QUERY)(HDRIVERINTERFACE, const unsigned char*, unsigned long,
                                          const wchar_t*, int, int, int);
typedef int (*QV_PFN_QVDI_SEND_DAL_QUERY_EX)(HDRIVERINTERFACE, const unsigned char*, unsigned long,
                                             const wchar_t*, int, int, int, const wchar_t*, int);
typedef int (*QV_PFN_QVDI_GET_DAL_QUERY_STATUS)(HDRIVERINTERFACE, const wchar_t*);
typedef int (*QV_PFN_QVDI_GET_DAL_QUERY_RESPONSE)(HDRIVERINTERFACE, const wchar_t*, unsigned char*,
                                                  unsigned long*);
typedef wchar_t* (*QV_PFN_QVDI_SEND_XPML)(HDRIVERINTERFACE, const wchar_t*, int*, wchar_t**);
typedef wchar_t* (*QV_PFN_QVDI_DIAGNOSE_PRINTER)(const wchar_t*, unsigned long);
typedef wchar_t* (*QV_PFN_QVRFID_DECODE_EPC)(const wchar_t*, const wchar_t*, int);

/*
 * The flat interface: every operation of the interface that no DI_ function
 * carries, as undecorated C functions of plain types, for hosts in C, C++ of
 * any compiler, C# (P/Invoke) and Python (ctypes). Get the handle with DI_Open
 * (GetProcAddress with QV_EXPORT_DI_OPEN from C) and release it with DI_Close.
 *
 * Types: int results are BOOL (or a number where said), unsigned long is
 * DWORD, wchar_t* results are BSTRs the caller frees with SysFreeString (null
 * when there is no text). Null text arguments count as empty text. A null or
 * stale handle gives FALSE, 0 or null (severity 1), and so does a failure
 * inside the library; nothing thrown inside unwinds into the host. FALSE, 0
 * or null with last error 0 is an answer (not advanced, no such status). One interface is
 * used by one thread at a time; a call may block as long as the printer's
 * network time-outs allow.
 */
#if defined(_MSC_VER)
#define QVDI_API __declspec(dllimport)
#else
#define QVDI_API
#endif
#ifdef __cplusplus
extern "C" {
#endif

/* Whether the interface talks to the driver's DAL module and the printer's
 * XPML server; otherwise it answers from the spooler alone. */
QVDI_API int QVDI_IsAdvanced(HDRIVERINTERFACE driver);
/* Whether the printer's port has bidirectional support on (asked again at
 * most once a second). */
QVDI_API int QVDI_IsBidiEnabled(HDRIVERINTERFACE driver);
/* 1 ready, 2 error, 3 warning. */
QVDI_API int QVDI_GetPrinterStatusSeverity(HDRIVERINTERFACE driver);
/* Where the interface's last status answer (text, severity, flags, extended
 * flags, HasPrinterStatus) came from: a stable code, and in *text (when text
 * is not null) a BSTR the caller frees that says it with the reason, for
 * example "spooler: the printer at 10.0.0.7:6160 did not answer within
 * 1000 ms (10060); 3 attempts in 3004 ms". Codes: 0 the printer (network), 1 monitoring off,
 * 2 bidi off, 3 unreachable, 4 time-out, 5 refused, 6 malformed answer,
 * 7 another transaction's answer, 8 HTTP status not 200, 9 basic interface,
 * 10 the printer (driver hook), 11 the printer does not monitor, 12 network
 * path off and the hook silent, 13 the status word (always the spooler's),
 * 14 no status call yet (also for a null handle), 15 no answer because the
 * library's name lookups are all busy (WSATRY_AGAIN), 16 watching, no answer
 * yet (the spooler's answer until the watcher's first refresh). */
QVDI_API int QVDI_GetStatusProvenance(HDRIVERINTERFACE driver, wchar_t** text);
/* Whether the printer is now in the numbered status: 100 to 121 from the
 * spooler, 201 to 211 from the printer (advanced interface). */
QVDI_API int QVDI_HasPrinterStatus(HDRIVERINTERFACE driver, int statusId);
/* The printer's text for a spooler job id (advanced interface), or null. */
QVDI_API wchar_t* QVDI_GetJobStatusText(HDRIVERINTERFACE driver, unsigned long jobId);

/* Sends a file to the printer as a spooler job of the given document name. */
QVDI_API int QVDI_SendFile(HDRIVERINTERFACE driver, const wchar_t* path,
                           const wchar_t* documentName);

/* The driver's settings through its DAL module (advanced interface): read
 * from, or written to, a file; reset to the defaults. flags go to the module
 * unchanged. TRUE only when the module did it (an import or a reset also
 * saved); FALSE when the module lacks the function (ERROR_PROC_NOT_FOUND),
 * its proxy failed (ERROR_BROKEN_PIPE) or it said no: then the module's own
 * last error when it runs in this process (ERROR_FILE_NOT_FOUND for a
 * missing file, ERROR_PATH_NOT_FOUND for a folder that does not exist, ...),
 * else ERROR_GEN_FAILURE. A refused import or reset is not saved. */
QVDI_API int QVDI_ImportSettings(HDRIVERINTERFACE driver, const wchar_t* path, unsigned long flags);
QVDI_API int QVDI_ExportSettings(HDRIVERINTERFACE driver, const wchar_t* path, unsigned long flags);
QVDI_API int QVDI_ResetSettings(HDRIVERINTERFACE driver, unsigned long flags);

/* Spooler job control by job id. Start and until times are minutes after
 * midnight. */
QVDI_API int QVDI_PauseJob(HDRIVERINTERFACE driver, unsigned long jobId);
QVDI_API int QVDI_ResumeJob(HDRIVERINTERFACE driver, unsigned long jobId);
QVDI_API int QVDI_DeleteJob(HDRIVERINTERFACE driver, unsigned long jobId);
QVDI_API int QVDI_RestartJob(HDRIVERINTERFACE driver, unsigned long jobId);
QVDI_API int QVDI_SetJobPriority(HDRIVERINTERFACE driver, unsigned long jobId,
                                 unsigned long priority);
QVDI_API int QVDI_SetJobStartTime(HDRIVERINTERFACE driver, unsigned long jobId,
                                  unsigned long minutes);
QVDI_API int QVDI_SetJobUntilTime(HDRIVERINTERFACE driver, unsigned long jobId,
                                  unsigned long minutes);

/* DAL queries (advanced interface): size bytes of data go to the printer
 * under queryId; the time-outs (milliseconds) go to it unchanged. The Ex form
 * also gives the pattern that ends the printer's response and whether the
 * printer reads one. */
QVDI_API int QVDI_SendDalQuery(HDRIVERINTERFACE driver, const unsigned char* data,
                               unsigned long size, const wchar_t* queryId, int sendTimeout,
                               int receiveStartTimeout, int receiveIntervalTimeout);
QVDI_API int QVDI_SendDalQueryEx(HDRIVERINTERFACE driver, const unsigned char* data,
                                 unsigned long size, const wchar_t* queryId, int sendTimeout,
                                 int receiveStartTimeout, int receiveIntervalTimeout,
                                 const wchar_t* responsePattern, int readFlag);
/* The printer's state of the query as a number (0 when unknown: last error
 * ERROR_NO_DATA). */
QVDI_API int QVDI_GetDalQueryStatus(HDRIVERINTERFACE driver, const wchar_t* queryId);
/* The query's response into the caller's buffer. *size holds the buffer's
 * size in bytes on entry and the response's size on return. TRUE when the
 * response fits (GetLastError 0). FALSE with GetLastError:
 *   ERROR_MORE_DATA (234): the buffer (may be null) is too small; *size is
 *     the size needed. Each call asks the printer again.
 *   ERROR_INVALID_PARAMETER (87): size is null.
 *   ERROR_NO_DATA (232): no response; *size is 0.
 *   And the codes of every function (the top of this file): *size is 0. */
QVDI_API int QVDI_GetDalQueryResponse(HDRIVERINTERFACE driver, const wchar_t* queryId,
                                      unsigned char* buffer, unsigned long* size);

/* One XPML request to the printer, as the interface sends its own: over the
 * network to the XPML server the printer's "NETWORK:" settings name (with
 * their retries and time-out), else, for a printer on this computer, through
 * the driver's printer-data hook (advanced interface). request is text ending
 * in the terminator the server expects ("&#00;"); it travels in the system
 * ANSI code page, as the interface's own requests do. Returns the answer's
 * body read as UTF-8, whole (SysStringLen counts any NUL in it), as a BSTR
 * the caller frees; null when there is no answer (or an empty one).
 * *provenance (when not null) gets where the answer came from, as
 * QVDI_GetStatusProvenance numbers it: 0 the XPML server, 10 the driver's
 * hook, else why neither answered (3 unreachable, 4 time-out, 5 refused,
 * 6 malformed, 7 another transaction's answer, 8 HTTP status, 12 network path
 * off and the hook silent, 15 the library's name lookups all busy, 9 basic
 * interface); *provenanceText (when not null) a BSTR that says it, with the
 * network path's attempts and time, such as "the printer at 10.0.0.7:6160
 * refused the connection (10061); 3 attempts in 12 ms". Last error: 0 with an
 * answer (or an empty one); ERROR_NO_DATA (232) without one, whatever the
 * reason (the provenance says it); ERROR_NOT_SUPPORTED on a basic interface;
 * ERROR_INVALID_PARAMETER for a null or empty request; and the codes at the
 * top of this file. The network path blocks at most ("Connection Retries" +
 * 1) x "Connection Timeout", the printer's name lookup included; the driver's
 * hook is asked after it. */
QVDI_API wchar_t* QVDI_SendXpml(HDRIVERINTERFACE driver, const wchar_t* request, int* provenance,
                                wchar_t** provenanceText);

/* What a support engineer asks of a printer, as one JSON object in a BSTR the
 * caller frees: which interface DI_Open gives it and why its status comes from
 * where it does. The printer is opened by name (as OpenPrinter takes it) and
 * given an interface of its own for the report's status call; nothing is kept.
 * Keys, in this order (a fact that cannot be read is the text
 * "(unavailable: reason)"):
 *   printer, verdict       the name; one sentence: where the status comes from
 *                          now and why (the monitoring gate, the status call)
 *   interface              "advanced" (a DAL entry in the printer data) or "basic"
 *   port, attributes, attributeNames
 *                          the spooler's port and PRINTER_ATTRIBUTE_ bits, as a
 *                          number and as names ("QUEUED", "ENABLE_BIDI", ...)
 *   driver                 {name, environment, versionNumber, layout
 *                          ("classic" or "package"), driverPath, configFile,
 *                          dataFile, dependentFiles[], manufacturer, provider}
 *   dal                    {modulePath, version, isolationMode, runs
 *                          ("in-process" or "isolated ..."), image (the file
 *                          reads as a PE image), hasOpenEntry, hasProxyEntry}:
 *                          the module file is read as data, never loaded
 *   monitoring             {bidi, storedMode, defaultMode, mode, gateCode, gate}:
 *                          gateCode 0 when the printer itself is asked for its
 *                          status, else why not: 1 monitoring mode off (0 or
 *                          above 3), 2 bidi off, 9 basic interface
 *   network                {enabled, host, port, retries, timeoutMs, address}
 *   probe                  one request to the XPML server, one attempt, whatever
 *                          the gate: {outcome ("answered" or "no answer"),
 *                          code (as QVDI_GetStatusProvenance), text,
 *                          milliseconds, printerStatus (the printer's own
 *                          status text), printerSeverity (1 ready, 2 error,
 *                          3 warning)}
 *   status                 one status call as a host makes it
 *                          (DI_GetPrinterStatusText on an interface of the
 *                          report's own): {text, provenanceCode, provenance}
 *   printerInterface, clientUtility, printerDriver, tcpLibrary
 *                          one per event source: {source, mask, maskHex,
 *                          maskNames[], fileLog, maskValue (the registry value
 *                          that holds the mask), fileLogHint (how to turn the
 *                          file log on), filePath, lastLines[] (the last 10)}
 * Numbers are JSON numbers, flags true or false. flags: 0, or any of
 * QVDI_DIAGNOSE_NO_PROBE (no network request: the probe is left out),
 * QVDI_DIAGNOSE_NO_STATUS (no status call), QVDI_DIAGNOSE_NO_LOGS (no log
 * sections). Null with last error ERROR_INVALID_PARAMETER (87) for a null or
 * empty name, ERROR_INVALID_FLAGS (1004) for other flag bits, the spooler's
 * code when the printer does not open (for example
 * ERROR_INVALID_PRINTER_NAME, 1801), and the codes at the top of this file.
 * Blocks for the probe and the status call at most as long as the printer's
 * network settings allow. Any thread; no state is kept. */
#define QVDI_DIAGNOSE_NO_PROBE 0x1
#define QVDI_DIAGNOSE_NO_STATUS 0x2
#define QVDI_DIAGNOSE_NO_LOGS 0x4
QVDI_API wchar_t* QVDI_DiagnosePrinter(const wchar_t* printerName, unsigned long flags);

/* Status that never waits. An interface that watches answers its status
 * calls (DI_GetPrinterStatusText, DI_GetPrinterStatusFlags,
 * DI_GetPrinterExtendedStatusFlags, QVDI_GetPrinterStatusSeverity,
 * QVDI_HasPrinterStatus, QVDI_GetStatusProvenance) from the latest snapshot
 * of its printer, which one watcher per printer and process refreshes on a
 * library thread, however many interfaces and threads watch it. Before the
 * first refresh has answered, those calls give the spooler's answer with
 * provenance 16 (watching, no answer yet).
 *
 * The snapshot, one consistent copy (x64 layout, 1080 bytes: cbSize 0,
 * sequence 8, severity 16, flags 20, extendedFlags 24, provenance 28,
 * ageMs 32, changedAt 40, unreachableSince 48, text 56, provenanceText 568).
 * The caller sets cbSize; a smaller size this header once declared is filled
 * up to it, any other is ERROR_INVALID_PARAMETER.
 *   sequence          1 with the first refresh's answer, one more whenever
 *                     text, severity, flags, extended flags or provenance
 *                     change
 *   severity, flags, extendedFlags
 *                     as QVDI_GetPrinterStatusSeverity and the DI_ functions
 *   provenance        as QVDI_GetStatusProvenance
 *   ageMs             since the snapshot was taken
 *   changedAt         when sequence last grew (UTC, FILETIME units)
 *   unreachableSince  0 while the printer answers, else the time of the first
 *                     failed refresh in a row (UTC, FILETIME units)
 *   text, provenanceText
 *                     cut to 255 characters, always terminated */
typedef struct QV_STATUS_SNAPSHOT {
    unsigned long cbSize;
    unsigned long long sequence;
    int severity;
    unsigned long flags;
    unsigned long extendedFlags;
    int provenance;
    unsigned long ageMs;
    unsigned long long changedAt;
    unsigned long long unreachableSince;
    wchar_t text[256];
    wchar_t provenanceText[256];
} QV_STATUS_SNAPSHOT;
#define QV_STATUS_SNAPSHOT_SIZE_V1 1080

/* Called after each change of the interface's snapshot, on a library thread;
 * never twice at once for one interface and never while the library holds a
 * lock, so it may call any export on the same handle. */
typedef void(__stdcall* QV_STATUS_CALLBACK)(HDRIVERINTERFACE driver, unsigned long long sequence,
                                            void* context);

/* From now on the interface's status calls answer from its printer's watcher,
 * refreshed every intervalMs (below 100 raised to 100); 0 stops watching. A
 * basic interface may watch too: its snapshots come from the spooler. The
 * watcher asks the spooler at once for the first answers; the printer is
 * asked on a library thread. FALSE with ERROR_INVALID_PRINTER_NAME (1801)
 * for an interface without a printer, or the spooler's error opening the
 * printer for the watcher. The driver setting "Status/Status Watch Interval"
 * (milliseconds, not 0) makes DI_Open start the watch itself. */
QVDI_API int QVDI_WatchStatus(HDRIVERINTERFACE driver, unsigned long intervalMs);
/* The latest snapshot, never waiting; FALSE with ERROR_INVALID_PARAMETER for
 * a null pointer or an unknown cbSize, ERROR_NOT_READY (21) when the
 * interface does not watch. */
QVDI_API int QVDI_GetStatusSnapshot(HDRIVERINTERFACE driver, QV_STATUS_SNAPSHOT* snapshot);
/* The host's long poll: TRUE with *sequence set to the current sequence as
 * soon as it differs from *sequence on entry (at once when it already does);
 * FALSE with ERROR_TIMEOUT (1460) after timeoutMs, ERROR_NOT_READY (21) when
 * the interface does not watch, ERROR_INVALID_PARAMETER for a null pointer. */
QVDI_API int QVDI_WaitForStatusChange(HDRIVERINTERFACE driver, unsigned long long* sequence,
                                      unsigned long timeoutMs);
/* Registers the change callback (one per interface; registering replaces
 * the last); a null callback unregisters, returning only after a running
 * callback has finished (unless called from inside it). DI_Close unregisters
 * the same way. A slow callback delays its printer's next refresh. */
QVDI_API int QVDI_SetStatusCallback(HDRIVERINTERFACE driver, QV_STATUS_CALLBACK callback,
                                    void* context);
/* Posts message to window after each change: wParam the low 32 bits of the
 * sequence, lParam the handle. A null window unregisters. This is how a UI
 * program hears of changes on its own thread. */
QVDI_API int QVDI_SetStatusMessage(HDRIVERINTERFACE driver, struct HWND__* window,
                                   unsigned int message);
typedef int (*QV_PFN_QVDI_WATCH_STATUS)(HDRIVERINTERFACE, unsigned long);
typedef int (*QV_PFN_QVDI_GET_STATUS_SNAPSHOT)(HDRIVERINTERFACE, QV_STATUS_SNAPSHOT*);
typedef int (*QV_PFN_QVDI_WAIT_FOR_STATUS_CHANGE)(HDRIVERINTERFACE, unsigned long long*,
                                                  unsigned long);
typedef int (*QV_PFN_QVDI_SET_STATUS_CALLBACK)(HDRIVERINTERFACE, QV_STATUS_CALLBACK, void*);
typedef int (*QV_PFN_QVDI_SET_STATUS_MESSAGE)(HDRIVERINTERFACE, struct HWND__*, unsigned int);

/* RFID: the values a tag holds, read back with the layout RFID_EncodeEPC
 * wrote it with. hex: the tag's digits in either case, an optional "0x" in
 * front, white space anywhere, at most 65536 bits; bits after the layout's
 * last field must be zero. mode: as RFID_EncodeEPC's, for the plain, P1 and
 * P2 fields (H, A, D and B fields keep their own). The result is a BSTR of
 * the values joined by ";", in the order RFID_EncodeEPC takes them, which
 * gives the same tag back: numbers without leading zeros ("0" for zero),
 * except a decimal P1 company prefix, which keeps the 12 - partition digits
 * its partition says; text without the zero bytes in front; 6-bit and 7-bit
 * characters as characters; a serial with a leading 1 without that 1.
 * Null with last error 0: the layout consumes no value. Null otherwise, with
 * ERROR_INVALID_DATA (the bits do not fit the layout: too short, a literal
 * that does not match, a partition value above 6, a company prefix whose
 * digits (or bits) would give another partition, a character the value list
 * cannot carry (";" or NUL), non-zero bits where the layout puts zeros, not
 * hexadecimal) or ERROR_INVALID_PARAMETER (a layout with no bits or more
 * than 65536, or a P1 in first place, whose partition the tag does not
 * hold). The event log (source "Quorvel Client Utility V3", Warnings) names
 * the layout field and the reason. Stateless: any number of threads at once.
 *
 * What the encoder cut or dropped does not come back, and the difference
 * shows: the values "3;0614141;812345;6789" with the layout
 * "8#30;3;3#X;20:P1;44:P2;38" in mode 2 read back as they are, but the filter
 * 9 in its 3-bit field reads back as 1 (its low bits), an item reference
 * "012345" as "12345" (the tag holds no digit count for P2), and a value
 * before a P1 as the partition written over it. */
QVDI_API wchar_t* QVRFID_DecodeEPC(const wchar_t* hex, const wchar_t* layout, int mode);

/* RFID by name: the binary EPC schemes of the GS1 EPC Tag Data Standard 1.13
 * (sgtin-96, sgtin-198, sscc-96, sgln-96, sgln-195, grai-96, grai-170,
 * giai-96, giai-202, gsrn-96, gsrnp-96, gdti-96, gdti-113, gdti-174, cpi-96,
 * cpi-var, sgcn-96, itip-110, itip-212, gid-96, usdod-96, adi-var), written
 * by the same encoder as RFID_EncodeEPC with the scheme's own layout. Each
 * result is a BSTR, or null with the last error:
 *   ERROR_INVALID_PARAMETER (87): null or empty text, no tag URI ("urn:epc:tag:
 *     scheme:fields"), an element string without the scheme's identifiers.
 *   ERROR_NOT_SUPPORTED (50): no scheme of that name, a tag header that names
 *     none, an element string asked of a scheme without a GS1 key (gid-96,
 *     usdod-96, adi-var).
 *   ERROR_INVALID_DATA (13): a value the scheme cannot carry (a filter above
 *     7, a company prefix outside 6 to 12 digits, a reference without the
 *     digits its partition gives, a serial too long or too large, with a
 *     leading zero where the scheme reads a number, or with a character its
 *     field has no code for, ";" included), a fault in the element string (a
 *     wrong check digit, a missing serial), or tag bits the scheme forbids.
 *     The event log (source "Quorvel Client Utility V3", Warnings) names the
 *     field and the reason.
 * Never a tag of another identity: a value that does not fit is refused, not
 * cut. Characters the URI reserves stand as %XX ("%2F" for "/", "%22",
 * "%25", "%26", "%3C", "%3E", "%3F", and "%23" for "#" of the 6-bit fields);
 * only the last field of a URI may hold a ".". Stateless: any number of
 * threads at once.
 *
 * QVRFID_EncodeTagURI(L"urn:epc:tag:sgtin-96:3.0614141.812345.6789") gives
 * L"3074257BF7194E4000001A85"; the company prefix's digit count chooses the
 * partition, and the item reference carries the GTIN's indicator digit in
 * front ("8" of 80614141123458). */
QVDI_API wchar_t* QVRFID_EncodeTagURI(const wchar_t* tagUri);
/* The tag URI of a tag (hexadecimal as QVRFID_DecodeEPC takes it), the
 * scheme from its header byte: L"3074257BF7194E4000001A85" gives
 * L"urn:epc:tag:sgtin-96:3.0614141.812345.6789". */
QVDI_API wchar_t* QVRFID_DecodeToTagURI(const wchar_t* hex);
/* The pure identity URI: the same tag gives
 * L"urn:epc:id:sgtin:0614141.812345.6789" (no filter). */
QVDI_API wchar_t* QVRFID_DecodeToIdURI(const wchar_t* hex);
/* The tag of a GS1 element string with parenthesised identifiers, for the
 * schemes with a GS1 key: (L"sgtin-96", 3, 7, L"(01)80614141123458(21)6789")
 * gives the tag above. companyPrefixDigits says where the company prefix
 * ends in the key (6 to 12); the check digit must be right. The forms:
 * sgtin (01)(21), sscc (00), sgln (414) and (254) (none for extension 0),
 * grai (8003) with the serial after the 14 digits, giai (8004), gsrn (8018),
 * gsrnp (8017), gdti (253) and sgcn (255) with the serial after the 13
 * digits, cpi (8010)(8011), itip (8006)(21). A value ends at the next "("
 * that opens one of the scheme's identifiers. */
QVDI_API wchar_t* QVRFID_EncodeElementString(const wchar_t* scheme, int filter,
                                             int companyPrefixDigits, const wchar_t* elementString);
/* The element string of a tag, its check digit computed:
 * L"3074257BF7194E4000001A85" gives L"(01)80614141123458(21)6789". */
QVDI_API wchar_t* QVRFID_DecodeToElementString(const wchar_t* hex);

typedef wchar_t* (*QV_PFN_QVRFID_ENCODE_TAG_URI)(const wchar_t*);
typedef wchar_t* (*QV_PFN_QVRFID_DECODE_TO_TAG_URI)(const wchar_t*);
typedef wchar_t* (*QV_PFN_QVRFID_DECODE_TO_ID_URI)(const wchar_t*);
typedef wchar_t* (*QV_PFN_QVRFID_ENCODE_ELEMENT_STRING)(const wchar_t*, int, int, const wchar_t*);
typedef wchar_t* (*QV_PFN_QVRFID_DECODE_TO_ELEMENT_STRING)(const wchar_t*);

#ifdef __cplusplus
}
#endif
#undef QVDI_API

#ifdef __cplusplus

#ifndef QV_NO_PROTOTYPES

/* MSVC decorates the plain declarations itself. g++ would use its own
 * decoration, so each declaration names the exported symbol explicitly,
 * quoted for the assembler; the call then goes through the import library's
 * jump stub, because the assembler cannot take the "__imp_" form of a quoted
 * name that dllimport would ask for. For the same reason g++ can take the
 * address of these functions only with -mcmodel=small; a g++ host that wants
 * function pointers uses GetProcAddress with the names above. */
#if defined(_MSC_VER)
#define QV_IMPORT __declspec(dllimport)
#define QV_DECORATED(name)
#elif defined(__GNUC__) && defined(_WIN64)
#define QV_IMPORT
#define QV_DECORATED(name) __asm__("\"" name "\"")
#else
#error "QuorvelDriverUtility.dll is a 64-bit Windows library."
#endif

/* Driver interface on a printer the host opened with OpenPrinter. The printer
 * handle stays the host's and must outlive the interface; DI_Close destroys
 * the interface without closing it. Every DI_ function accepts a null handle
 * (false, 0 or null, or no effect). One interface is used by one thread at a
 * time. */
QV_IMPORT HDRIVERINTERFACE DI_Open(void* printer) QV_DECORATED(QV_EXPORT_DI_OPEN);
QV_IMPORT void DI_Close(HDRIVERINTERFACE driver) QV_DECORATED(QV_EXPORT_DI_CLOSE);
/* Whether the driver supports the numbered command, and whether that command
 * shows a user interface. */
QV_IMPORT bool DI_IsCommandSupported(HDRIVERINTERFACE driver, int command)
    QV_DECORATED(QV_EXPORT_DI_IS_COMMAND_SUPPORTED);
QV_IMPORT bool DI_IsCommandUI(HDRIVERINTERFACE driver, int command)
    QV_DECORATED(QV_EXPORT_DI_IS_COMMAND_UI);
/* Runs a command; DI_CommandUI gives it an owner window for its interface. */
QV_IMPORT void DI_Command(HDRIVERINTERFACE driver, int command) QV_DECORATED(QV_EXPORT_DI_COMMAND);
QV_IMPORT void DI_CommandUI(HDRIVERINTERFACE driver, HWND__* parent, int command)
    QV_DECORATED(QV_EXPORT_DI_COMMAND_UI);
/* The printer's status as text (BSTR), as flags, and as extended flags. */
QV_IMPORT wchar_t* DI_GetPrinterStatusText(HDRIVERINTERFACE driver)
    QV_DECORATED(QV_EXPORT_DI_GET_PRINTER_STATUS_TEXT);
QV_IMPORT unsigned long DI_GetPrinterStatusFlags(HDRIVERINTERFACE driver)
    QV_DECORATED(QV_EXPORT_DI_GET_PRINTER_STATUS_FLAGS);
QV_IMPORT unsigned long DI_GetPrinterExtendedStatusFlags(HDRIVERINTERFACE driver)
    QV_DECORATED(QV_EXPORT_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS);
/* The printer driver's version and date as text (BSTR). */
QV_IMPORT wchar_t* DI_GetPrinterDriverVersion(HDRIVERINTERFACE driver)
    QV_DECORATED(QV_EXPORT_DI_GET_PRINTER_DRIVER_VERSION);
QV_IMPORT wchar_t* DI_GetPrinterDriverDate(HDRIVERINTERFACE driver)
    QV_DECORATED(QV_EXPORT_DI_GET_PRINTER_DRIVER_DATE);

/* RFID tag data as upper-case hexadecimal (BSTR), or null (the last error says
 * why: see the top of this file). RFID_EncodeEPC gives two digits per byte of
 * the tag, its bits padded with zero bits to whole bytes. RFID_EncodeRaw gives
 * an even number of digits in modes 0, 1 and 3 (mode 1 puts a "0" in front of
 * an odd count), but in mode 2 the exact number without a leading zero digit,
 * so an odd count is possible: (L"15", 2) gives L"F".
 * Stateless: any number of threads may call at once. Null arguments count as
 * empty text.
 *
 * mode says how values are written: 0 text (the bytes of the system ANSI code
 * page), 1 hexadecimal, 2 decimal of any length, 3 binary; any other value
 * behaves as 1. Characters a mode does not accept are dropped.
 *
 * RFID_EncodeEPC assembles an EPC from ";"-separated values and a
 * ";"-separated layout of fields: "width" (a plain field in the call's mode),
 * "width:P1" (company prefix; its partition goes into the field before it),
 * "width:P2" (the rest of the given width after the company prefix),
 * "width:P2VAR6", "width#H", "width#A", "width#D", "width#B",
 * "width#E...UID64", "width#E...ASC7", "width#E...SN_GDTI113",
 * "width#E...SN_SGCN96", "width#E...CAGE6", "width#E...VAR6", and literals
 * ("8#30" is the header byte 30). An SGTIN-96 in mode 2:
 *   RFID_EncodeEPC(L"3;0614141;812345;6789", L"8#30;3;3#X;20:P1;44:P2;38", 2)
 * gives L"3074257BF7194E4000001A85". A layout wider than 65536 bits, or one
 * with no bits, gives null. A value a field cannot hold (a serial of 2^38 in
 * 38 bits, a filter of 9 in 3, lower case or "@" in a 6-bit field, a control
 * character in a 7-bit one) still gives the tag it always gave, for
 * compatibility, but the first such field goes to the event log at Warnings
 * (once a minute at most); the exports by name (QVRFID_EncodeTagURI and the
 * others) refuse such values instead.
 *
 * That layout, entry by entry, for the GTIN 80614141123458 of a company
 * whose prefix is the 7 digits 0614141:
 *   "8#30"   the header byte 30 (SGTIN-96): a literal, it takes no value.
 *   "3"      the filter, a plain 3-bit field: value 3.
 *   "3#X"    a literal that takes no value: it only holds the place of the
 *            partition, which the P1 after it writes over it.
 *   "20:P1"  the company prefix: value 0614141. Its width comes from the
 *            partition, not from the 20: 7 decimal digits are partition 5,
 *            24 bits (6 digits 20 bits ... 12 digits 40 bits). The number
 *            before ":P1" is not used.
 *   "44:P2"  the item reference in the 44 bits the prefix leaves of the
 *            44 that company prefix and item reference share: 44 - 24 = 20.
 *            Its value is the GTIN's indicator digit followed by the digits
 *            between company prefix and check digit: 8 and 12345, 812345.
 *   "38"     the serial, a plain 38-bit field: value 6789.
 * The GTIN-14 8 0614141 12345 8 is indicator, company prefix, item
 * reference, check digit; the tag holds no check digit.
 *
 * A colon or hash field whose value is missing keeps its type text as its
 * value, read as hexadecimal digits (letters past F skipped), while a plain
 * field without a value is zero. So the values "3;0614141" with the layout
 * above give an item reference of 2 (the "2" of "P2") and a serial of 0,
 * without error, and QVRFID_DecodeEPC reads them back as
 * "3;0614141;2;0". Give every value the layout takes, or use the exports
 * by name below, which refuse a missing field.
 *
 * RFID_EncodeRaw converts one value: (L"abc", 1) gives L"0ABC", (L"255", 2)
 * gives L"FF", (L"0", 2) gives null. */
QV_IMPORT wchar_t* RFID_EncodeEPC(const wchar_t* values, const wchar_t* layout, int mode)
    QV_DECORATED(QV_EXPORT_RFID_ENCODE_EPC);
QV_IMPORT wchar_t* RFID_EncodeRaw(const wchar_t* value, int mode)
    QV_DECORATED(QV_EXPORT_RFID_ENCODE_RAW);

#undef QV_IMPORT
#undef QV_DECORATED

#endif /* QV_NO_PROTOTYPES */

/* The record of a driver command, as DI_Command builds it and as a host
 * builds it for DriverInterface::Command: a window handle, then five bools,
 * laid out alike by every compiler (16 bytes). Command clears the four result
 * flags, sets supported and has-UI, and runs the command only when execute is
 * set and the command is supported. */
struct DriverCommand {
    HWND__* parentWindow = nullptr; /* owner of any UI; null from DI_Command */
    bool supported = false;
    bool hasUserInterface = false;
    /* Bits 0x20 and 0x10 of the DAL module's action flags for the command,
     * filled only by the advanced interface; no export reads them. */
    bool dalActionBit20 = false;
    bool dalActionBit10 = false;
    bool execute = false; /* input: false only reports support */
};

#ifndef QV_LIBRARY_DRIVER_INTERFACE
/* The object behind an HDRIVERINTERFACE, for hosts that hold the handle as a
 * pointer: reinterpret_cast<DriverInterface*>(handle). Its vtable has the
 * slots below at exactly these entries, whatever compiler built the host.
 *
 * Entry 0 is a scalar deleting destructor in the shape Microsoft's compiler
 * gives one: it destroys the object, frees its memory from the library's own
 * heap when bit 0 of the flags is set, and returns the object's address. A
 * host built with Microsoft's compiler (or clang for the MSVC ABI) writes
 * "delete driver"; a g++ host calls driver->DeleteThis(1). Either is the same
 * as DI_Close(handle).
 *
 * Slots whose arguments and results are plain types work from a host of either
 * compiler: 2, 5 to 8, 11, 15 to 22 and 27. The others (3, 4, 9, 10, 12 to 14,
 * 23 to 26, 28 to 30) pass the library's own types (its text type, byte
 * buffers, the odometer record, a shared event-log pointer) and are only for a
 * host built with the library's own toolchain and headers
 * (driver_interface/driver_interface.h); here they only hold their places. A
 * host built with another compiler gets text through the DI_ exports. One
 * interface is used by one thread at a time.
 *
 * Like the exports, no slot lets an exception out: a failure inside gives the
 * slot's neutral answer (false, 0, severity 1, a command record with its result
 * flags clear). A call made on an interface while it is already inside a call
 * on the same thread (from a window procedure that runs while the library
 * waits for the driver) gets the neutral answer at once; entry 0 then destroys
 * nothing and returns null. */
class DriverInterface {
public:
#if defined(_MSC_VER)
    virtual ~DriverInterface() {}
#else
    virtual void* DeleteThis(unsigned int flags) = 0;
#endif
    virtual void SetPrinterHandle(void* printer) = 0;                           /* 1 */
    virtual bool IsAdvanced() = 0;                                              /* 2 */
    virtual void LibraryTypesSlot3() = 0;                                       /* 3 */
    virtual void LibraryTypesSlot4() = 0;                                       /* 4 */
    virtual bool HasPrinterStatus(int statusId) = 0;                            /* 5 */
    virtual int GetPrinterStatusSeverity() = 0;                                 /* 6 */
    virtual unsigned int GetPrinterStatusFlags() = 0;                           /* 7 */
    virtual unsigned int GetPrinterExtendedStatusFlags() = 0;                   /* 8 */
    virtual void LibraryTypesSlot9() = 0;                                       /* 9 */
    virtual void LibraryTypesSlot10() = 0;                                      /* 10 */
    virtual void Command(int command, DriverCommand& record) = 0;               /* 11 */
    virtual void LibraryTypesSlot12() = 0;                                      /* 12 */
    virtual void LibraryTypesSlot13() = 0;                                      /* 13 */
    virtual void LibraryTypesSlot14() = 0;                                      /* 14 */
    virtual bool ResetSettings(unsigned int flags) = 0;                         /* 15 */
    virtual bool PauseJob(unsigned int jobId) = 0;                              /* 16 */
    virtual bool ResumeJob(unsigned int jobId) = 0;                             /* 17 */
    virtual bool DeleteJob(unsigned int jobId) = 0;                             /* 18 */
    virtual bool RestartJob(unsigned int jobId) = 0;                            /* 19 */
    virtual bool SetJobPriority(unsigned int jobId, unsigned int priority) = 0; /* 20 */
    /* Minutes after midnight, as the spooler has them. */
    virtual bool SetJobStartTime(unsigned int jobId, unsigned int minutes) = 0; /* 21 */
    virtual bool SetJobUntilTime(unsigned int jobId, unsigned int minutes) = 0; /* 22 */
    virtual void LibraryTypesSlot23() = 0;                                      /* 23 */
    virtual void LibraryTypesSlot24() = 0;                                      /* 24 */
    virtual void LibraryTypesSlot25() = 0;                                      /* 25 */
    virtual void LibraryTypesSlot26() = 0;                                      /* 26 */
    virtual bool IsBidiEnabled() = 0;                                           /* 27 */

protected:
#if !defined(_MSC_VER)
    ~DriverInterface() {}
#endif
};
#endif /* QV_LIBRARY_DRIVER_INTERFACE */

#endif /* __cplusplus */

#endif /* QUORVEL_DRIVER_UTILITY_H */
