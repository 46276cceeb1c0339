#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/ostring.h"
#include "core/seam.h"

// The one system question Wine cannot answer for real: whether this process
// is a 32-bit one on 64-bit Windows (Wine never runs the library under WOW64).
// The default looks IsWow64Process up in kernel32 by name, as a system without
// it must still load the library, and fails with ERROR_PROC_NOT_FOUND there.
struct DalModuleApi {
    static BOOL WINAPI IsWow64ProcessByName(HANDLE process, PBOOL wow64);
    BOOL(WINAPI* isWow64Process)(HANDLE, PBOOL) = &IsWow64ProcessByName;
};
using ScopedDalModuleApi = ScopedApi<DalModuleApi>;

class DalChannel;   // dal/dal_channel.h
class PrinterInfo;  // printer/printer_info.h

// A driver's DAL module, reached in this process or through a proxy process.
//
// PrinterOpen loads the module named by the printer data (see GetDalModulePath)
// into this process, or starts a RunDLL32 proxy that loads it and serves its
// exports over a named pipe (dal/dal_proxy.h): under WOW64, and when the
// printer's driver setting "Settings:DAL/Isolation Mode" is 1, for modules of
// version 7.2.3.0 or later (older ones have no proxy entry). Isolated, a module
// that crashes or hangs takes down its proxy process, never the host. The way
// is chosen once, by PrinterOpen; every other operation is the same either
// way, fallbacks included.
//
// Every other operation takes the DAL handle PrinterOpen returned and does
// nothing (false, 0) when the module lacks its export (in this process looked
// up by name at each call; for the proxy, read from the module file when it
// is opened) or nothing is open. Through the proxy, a failed exchange (the
// proxy ended, the pipe broke) ends the operation the same quiet way; the
// pipe layer's exceptions never leave this class. Nothing here is locked: one
// object serves one caller at a time, on the thread whose window messages its
// waits dispatch.
//
// One operation at a time: a window procedure run by a wait's dispatching may
// call back into the same object, and a second exchange on the pipe would
// interleave its messages with the first's and share its event. While any
// operation runs (an exchange, the wait for the proxy to connect, a close),
// every other operation on the object returns its quiet failure (0, false,
// nothing) at once, without touching the module or the pipe; IsBusy says so.
//
// Lifecycle: PrinterClose closes the DAL handle and then frees the module or
// ends the proxy. A module loaded by a PrinterOpen that then failed stays
// loaded until PrinterClose, the next PrinterOpen or destruction. Destruction
// closes a DAL handle still open (close before free).
class DriverDLLProxy {
public:
    // Modules of this version or later run through the proxy.
    static constexpr uint64_t kProxyMinimumVersion = 0x0007000200030000;  // 7.2.3.0
    // How long PrinterOpen waits for a started proxy to connect.
    static constexpr DWORD kConnectTimeoutMs = 10000;
    // How long a proxy may take to leave once its pipe is closed before it is
    // ended.
    static constexpr DWORD kProxyExitGraceMs = 1000;

    DriverDLLProxy();
    ~DriverDLLProxy();
    DriverDLLProxy(const DriverDLLProxy&) = delete;
    DriverDLLProxy& operator=(const DriverDLLProxy&) = delete;

    // The DAL handle for the spooler printer handle (borrowed), 0 on failure.
    // Under WOW64 an unreadable version resource throws OException ("Internal
    // STOP() issued." with the system error code); nothing else throws but
    // allocation failure.
    uint64_t PrinterOpen(HANDLE printer);
    void PrinterClose(uint64_t dal);
    // The settings exports: the last error for the host (DalSettingsError), 0
    // when the module took the call. SettingsSave is 0 for a module without
    // DAL_Settings_Save, which keeps its settings its own way.
    DWORD SettingsSave(uint64_t dal);
    DWORD SettingsExport(uint64_t dal, const OString& path, uint32_t flags);
    DWORD SettingsImport(uint64_t dal, const OString& path, uint32_t flags);
    DWORD SettingsReset(uint64_t dal, uint32_t flags);
    bool PrinterAction(uint64_t dal, int32_t action);
    // Falls back to DAL_Printer_Action (without the window) when the module
    // has no DAL_Printer_ActionUI.
    bool PrinterActionUI(uint64_t dal, HWND parent, int32_t action);
    // The action's flag word (through the proxy: the reply's low 32 bits).
    uint32_t PrinterActionFlag(uint64_t dal, int32_t action);

    // Why the last PrinterOpen did not load the module the printer data
    // names (LocateModule's refusal); empty when it was not refused.
    const OString& Refusal() const { return m_refusal; }

    // True while an operation runs on this object (seen from a window
    // procedure its wait dispatched).
    bool IsBusy() const { return m_busy; }

    // The name the next proxy pipe of this object takes, unless another
    // object of the process opens one first.
    OString NextPipeName() const;

    // Which way the module is reached (both false before PrinterOpen).
    bool IsInProcess() const;
    bool IsProxied() const;

    // The module's full path: the package folder or the driver directory
    // (from PrinterInfo), a backslash and the file name of the printer data
    // "DAL Interface V3" (package driver) or "DAL Interface" (classic driver,
    // ".dll" read as ".d64"). Empty when the value cannot be read.
    static OString GetDalModulePath(HANDLE printer);
    // Where PrinterOpen takes the module from, or why it will not: path is
    // empty without a DAL value; refusal (for people) is set when the path's
    // form is unsound (DalModulePathFault), it lies outside both the driver
    // directory the spooler names and the system's driver store, or a reparse
    // point or link on the way leads elsewhere. Printer data is not the
    // host's to trust: whoever may set it, or the server of a printer
    // connection, would otherwise choose code that runs in every host. The
    // file is pinned (no writer, no rename) while pin is held, so what was
    // checked is what loads. Nothing of the module is read.
    struct ModuleLocation {
        OString path;
        OString refusal;
        OFileHandle pin;
    };
    static ModuleLocation LocateModule(HANDLE printer, const PrinterInfo& info);
    // The module file's version resource: Read with version set (the fixed
    // file version, major in the top 16 bits), Unreadable with error set, or
    // NoFixedInfo. Reads the file only; the module is never loaded.
    enum class VersionRead { Read, Unreadable, NoFixedInfo };
    static VersionRead ReadModuleVersion(const OString& path, uint64_t& version, DWORD& error);
    // Which of the names the library uses (its DAL_ calls and the proxy's
    // entries) the module file exports, read from its bytes as they lie on
    // disk (DalImageExportNames): the module is never mapped. False when the
    // file cannot be read or is no PE image.
    static bool ReadModuleExports(const OString& path, std::vector<std::string>& names);
    // PrinterOpen's choice of a proxy process, given whether the process runs
    // under WOW64 or the printer's "DAL/Isolation Mode" asks for isolation, and
    // what ReadModuleVersion answered: only a module known to have the proxy
    // entry leaves the process.
    static bool ChoosesProxy(bool wow64OrIsolated, VersionRead read, uint64_t version) {
        return wow64OrIsolated && read == VersionRead::Read && version >= kProxyMinimumVersion;
    }
    // Asked of the system once per process; later calls answer from memory.
    static bool IsRunningUnderWow64();
    // Forgets the answer, so the next IsRunningUnderWow64 asks again (tests
    // that install a DalModuleApi).
    static void ForgetBitness();
    // The full path of the RunDLL32 that runs the proxy (see DalRunDll32Path),
    // chosen by IsRunningUnderWow64. Empty when the system folders cannot be
    // read.
    static OString ProxyProgramPath();

private:
    // Runs body unless an operation is already running; then answers the
    // body's result type's zero (false, 0, nothing) at once.
    template <typename Body>
    auto OneAtATime(Body body) -> decltype(body());
    uint64_t Open(HANDLE printer);
    void Close(uint64_t dal);
    bool Action(uint64_t dal, int32_t action);
    // Ends the channel (a proxy given graceMs to leave) and forgets it.
    void EndChannel(DWORD graceMs);
    OString PipeName(uint32_t serial) const;

    std::unique_ptr<DalChannel> m_channel;  // chosen by PrinterOpen
    uint64_t m_open = 0;  // the DAL handle the last PrinterOpen returned, until closed
    bool m_busy = false;  // an operation runs
    OString m_refusal;    // of the last PrinterOpen
};
