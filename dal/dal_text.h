#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ostring.h"

// The text and number rules of DAL module access, free of system calls.

// The file name of a DAL module from a "DAL Interface" or "DAL Interface V3"
// value: only the part after the last backslash. A classic driver's value
// names the 32-bit file; its 64-bit twin replaces every exact, case-sensitive
// ".dll" by ".d64" (".DLL" stays). A package driver's value is used as it is.
OString DalModuleFileName(const OString& value, bool classicLayout);

// Why a DAL module's path may not be used, decided from its text alone
// before anything touches the file; null when its form is sound. folder (the
// driver directory or the printer's "DriverPackage") must be an absolute
// drive path ("X:\\..."); neither it nor fileName may hold "/", a "." or ".."
// component, a ':' past the drive or a control character, and fileName no
// backslash: printer data that anyone with printer rights may set must not
// aim the loader at UNC shares, device paths or other folders.
const char* DalModulePathFault(std::wstring_view folder, std::wstring_view fileName);

// A version as one number, comparable with <: four 16-bit parts, most
// significant first. From the two words of VS_FIXEDFILEINFO (dwFileVersionMS,
// dwFileVersionLS), or from text such as "7.2.3.0": split at '.', each part's
// run of leading digits read as decimal (16 bits kept), at most four parts,
// missing parts 0.
uint64_t DalVersionFromWords(uint32_t mostSignificant, uint32_t leastSignificant);
uint64_t DalVersionFromText(const char* text);

// The lowest module version that carries the proxy entry.
constexpr const char* kDalProxyMinimumVersion = "7.2.3.0";

// "\\.\pipe\Quorvel-DriverDLLProxy-" and the 8 bytes of address in memory
// order (least significant first), two upper-case hex digits each, then "-",
// the process id and "-" and serial, 8 upper-case hex digits each: an address
// alone repeats across processes (terminal sessions) and across the opens of
// one object.
OString DalProxyPipeName(uint64_t address, uint32_t processId, uint32_t serial);

// The RunDLL32 that runs the proxy, by full path, so that no copy planted
// beside the host or in its current folder runs instead:
// <system folder>\rundll32.exe, or for a WOW64 process, whose system folder
// is the 32-bit one, <Windows folder>\Sysnative\rundll32.exe (the alias
// through which a 32-bit process reaches the 64-bit system folder). A
// trailing backslash on either folder is not doubled.
OString DalRunDll32Path(const OString& systemFolder, const OString& windowsFolder, bool wow64);

// "<RunDLL32 path>" "<module path>",DAL_Proxy <pipe name>
OString DalProxyCommandLine(const OString& runDll32, const OString& modulePath,
                            const OString& pipeName);

// The debugger line of a failed pipe transfer, for example
// "DriverDLLProxy::PutPipeData() failed: bytesToWrite=8;bytesWritten=0;GetLastError()=232".
// write chooses the PutPipeData/bytesToWrite/bytesWritten names, else the
// GetPipeData/bytesToRead/bytesRead ones; numbers are signed 32-bit decimals.
OString DalPipeFailureText(bool write, int32_t wanted, int32_t moved, int32_t error);

// The proxy pipe's items as the bytes of their messages. A number is one
// message of 8 bytes, least significant first. A text is two: its length in
// code units, 2 bytes little-endian, then that many UTF-16LE units; a text
// longer than 65535 units is cut to the low 16 bits of its length.
std::array<uint8_t, 8> EncodePipeNumber(int64_t value);
int64_t DecodePipeNumber(const std::array<uint8_t, 8>& bytes);
// The text's two messages back to back: the first 2 bytes are the length.
std::vector<uint8_t> EncodePipeText(std::wstring_view text);
// As the proxy reads a text: false unless the bytes hold exactly a length and
// that many units.
bool DecodePipeText(std::span<const uint8_t> messages, std::wstring& text);

// Which of the wanted names a module file exports, read from the file's
// bytes as they lie on disk, for either bitness: a 64-bit module's table is
// read by a 32-bit process under WOW64, which cannot load it. names gets each
// wanted name found, once. A file without an export directory exports
// nothing. False when the bytes are not a PE image, a part of the table lies
// outside them, or the file is beyond what a loader takes (more than 96
// sections, a name of 512 bytes or more, more than kDalMaxExportNames
// names). Names are compared where they lie, never copied: the work and the
// memory stay bounded by the file, whatever its name table points at.
constexpr uint32_t kDalMaxExportNames = 65536;
bool DalImageExportNames(std::span<const uint8_t> file, std::span<const char* const> wanted,
                         std::vector<std::string>& names);
