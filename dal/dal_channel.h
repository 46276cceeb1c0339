#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "core/ostring.h"

// How DriverDLLProxy reaches its DAL module, chosen once when the DAL printer
// is opened: the module loaded into this process, or a RunDLL32 proxy process
// behind a pipe. Each DAL operation is written once on top of a channel, so it
// behaves, and falls back, the same whichever way the module is reached.
// Private to dal/.

// The exports reached once the DAL printer is open.
enum class DalExport {
    PrinterClose,
    SettingsSave,
    SettingsExport,
    SettingsImport,
    SettingsReset,
    PrinterAction,
    PrinterActionUI,
    PrinterActionFlag,
};

// The export's name in the module ("DAL_Printer_Close", ...).
const char* DalExportName(DalExport which);

// One argument after the DAL handle: a number, or a NUL-terminated text.
struct DalArgument {
    int64_t number = 0;
    const wchar_t* text = nullptr;

    static DalArgument Number(int64_t value) { return DalArgument{value, nullptr}; }
    static DalArgument Text(const wchar_t* value) { return DalArgument{0, value}; }
};

// How a call ended. Missing: the module lacks the export and nothing ran, in
// this process or in the proxy. Failed: the channel broke (the proxy ended,
// the pipe failed) or none is open.
enum class DalCall { Done, Missing, Failed };

// The last error a settings export's call leaves for the host: 0 when it ran
// and the module returned TRUE (reply not 0); ERROR_PROC_NOT_FOUND when the
// module lacks the export; ERROR_BROKEN_PIPE when the channel failed; when the
// module returned FALSE, moduleError (its own last error, known only in this
// process), else ERROR_GEN_FAILURE.
DWORD DalSettingsError(DalCall call, int64_t reply, DWORD moduleError);

class DalChannel {
public:
    virtual ~DalChannel() = default;

    // DAL_Printer_Open for the spooler printer handle (borrowed) of the
    // printer named printerName (a proxy, in another process, opens it by
    // name): the DAL handle, 0 when the module lacks the export or the open
    // failed.
    virtual uint64_t Open(HANDLE printer, const OString& printerName) = 0;
    // Calls the export with the DAL handle and the arguments, in the order of
    // its parameters (flags and action numbers as 32-bit values, a window as
    // its handle). reply: its result zero-extended from its own width, or the
    // proxy's whole 8-byte answer. The pipe layer's exceptions do not leave.
    virtual DalCall Call(DalExport which, uint64_t dal,
                         std::initializer_list<DalArgument> arguments, int64_t& reply) = 0;
    // Frees the module, or closes the pipe and ends a proxy that does not
    // leave within graceMs (0: at once). Calls after it fail.
    virtual void End(DWORD graceMs) = 0;
    // Whether the module runs in a proxy process.
    virtual bool IsProxy() const = 0;
};

// The module at path loaded into this process; null when it cannot be loaded.
std::unique_ptr<DalChannel> MakeInProcessDalChannel(const OString& path);

// The module at path run by the RunDLL32 at program (full path) in a proxy
// that serves it on the pipe of that name; started by Open, which waits at
// most connectTimeoutMs for it to connect. The module's exports are read
// from its file here, as the pipe has no word for a missing one; null when
// the file's export table cannot be read.
std::unique_ptr<DalChannel> MakeProxyDalChannel(const OString& program, const OString& path,
                                                const OString& pipeName, DWORD connectTimeoutMs);
