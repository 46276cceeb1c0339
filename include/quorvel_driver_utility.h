/*
 * QuorvelDriverUtility.dll: the exports a host program calls.
 *
 * The functions are C++ functions exported under their MSVC-decorated names.
 * A host built with MSVC (or clang-cl) includes this header and links against
 * QuorvelDriverUtility.lib; a host built with mingw-w64 g++ does the same (the
 * declarations below carry the decorated names for it). A host that loads the
 * DLL at run time passes the QV_EXPORT_* names to GetProcAddress and casts to
 * the QV_PFN_* types.
 *
 * Text results are BSTRs: the caller frees each non-null result with
 * SysFreeString. An empty result is a null pointer, never an empty BSTR.
 * Nothing thrown inside the library unwinds into the host.
 */
#ifndef QUORVEL_DRIVER_UTILITY_H
#define QUORVEL_DRIVER_UTILITY_H

#ifndef __cplusplus
#error "The exports are C++ functions: include this header from C++."
#endif

/* The handle of a driver interface: the address of an object inside the
 * library, opaque to the host. */
struct HDRIVERINTERFACE__;
typedef HDRIVERINTERFACE__* HDRIVERINTERFACE;

/* The same type as HWND of <windows.h> (under STRICT, its default), named so
 * that the decorated names do not depend on how the host includes it. */
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

typedef HDRIVERINTERFACE (*QV_PFN_DI_OPEN)(void*);
typedef void (*QV_PFN_DI_CLOSE)(HDRIVERINTERFACE);
typedef bool (*QV_PFN_DI_IS_COMMAND_SUPPORTED)(HDRIVERINTERFACE, int);
typedef bool (*QV_PFN_DI_IS_COMMAND_UI)(HDRIVERINTERFACE, int);
typedef void (*QV_PFN_DI_COMMAND)(HDRIVERINTERFACE, int);
typedef void (*QV_PFN_DI_COMMAND_UI)(HDRIVERINTERFACE, HWND__*, int);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_STATUS_TEXT)(HDRIVERINTERFACE);
typedef unsigned long (*QV_PFN_DI_GET_PRINTER_STATUS_FLAGS)(HDRIVERINTERFACE);
typedef unsigned long (*QV_PFN_DI_GET_PRINTER_EXTENDED_STATUS_FLAGS)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_DRIVER_VERSION)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_DI_GET_PRINTER_DRIVER_DATE)(HDRIVERINTERFACE);
typedef wchar_t* (*QV_PFN_RFID_ENCODE_EPC)(const wchar_t*, const wchar_t*, int);
typedef wchar_t* (*QV_PFN_RFID_ENCODE_RAW)(const wchar_t*, int);

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

/* RFID tag data as upper-case hexadecimal, two digits per byte (BSTR), or null.
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
 * with no bits, gives null.
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

#endif /* QUORVEL_DRIVER_UTILITY_H */
