#pragma once

// Making an installed Wine printer the simulated label printer: its driver
// carries a simulated DAL module and its status comes from the simulated XPML
// server. What the conformance tests, the benchmarks and the demo's
// qvdemoprinter all do to a printer; it writes the machine's network settings
// through the library's printer registry, where the library reads them.

#include <windows.h>

#include <cstdint>
#include <string>

namespace QvSim {

// Where InstallDalModule puts the module copy for fileBase.
std::wstring DalModuleCopyPath(const std::wstring& fileBase);

// Copies module (a simulated DAL module) into the driver folder as the 64-bit
// twin (".d64") of the printer's "DAL Interface" value, which is set to
// fileBase + ".dll". The copy's path; empty on failure, with *error saying why.
std::wstring InstallDalModule(const std::wstring& printer, const std::wstring& module,
                              const std::wstring& fileBase, std::wstring* error);

// The registry path below HKLM of the printer's "Settings:<key>" (key empty:
// "Settings:" itself). Driver settings live below the printer data; Wine's
// SetPrinterDataExW would put a "Settings" key beside it.
std::wstring DriverSettingsKey(const std::wstring& printer, const std::wstring& key);

// Writes the REG_DWORD driver setting "Settings:<key>/<value>" of the printer.
bool SetDriverSetting(const std::wstring& printer, const std::wstring& key, const wchar_t* value,
                      DWORD number);

// Sets or clears PRINTER_ATTRIBUTE_ENABLE_BIDI with SetPrinterW level 2.
bool SetPrinterBidi(const std::wstring& printer, bool enabled);

// Bidi and status monitoring on, and the machine's network settings leading
// to localhost:port ("NETWORK:TCP Port", "NETWORK:Network Bidirectional" 0).
bool FollowXpmlServer(const std::wstring& printer, int32_t port);
// Removes the network values FollowXpmlServer writes.
void ForgetXpmlServer(const std::wstring& printer);

}  // namespace QvSim
