#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/handles.h"
#include "core/ostring.h"
#include "core/seam.h"

class OEventLog;

// The dump writer itself. Under Wine one dump of a test program takes many
// seconds, so tests of what happens around it put a quick one in.
struct OMiniDumpApi {
    using WriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                    PMINIDUMP_EXCEPTION_INFORMATION,
                                    PMINIDUMP_USER_STREAM_INFORMATION,
                                    PMINIDUMP_CALLBACK_INFORMATION);
    WriteDump writeDump = ::MiniDumpWriteDump;
};
using OMiniDumpOverride = ScopedApi<OMiniDumpApi>;

// Writes crash dumps of the process for unrecoverable errors: at most one a
// minute, one thread at a time (a thread that finds another writing gives up
// at once), into "qvcrash_" + four digits + ".dmp" files numbered after the
// newest one there (9999 wraps to 0000). The folder keeps the newest 10 dumps
// and at most 256 MiB of them. A print service running as the system loads
// the library, so nothing is written through a link or into a folder that
// someone else owns.
class OMiniDump {
public:
    // Attempts closer together than this are refused.
    static constexpr uint64_t kProximityMs = 60000;
    // Data segments and indirectly referenced memory.
    static constexpr int32_t kDumpType = 0x41;
    // What the folder may hold, the dump being written included.
    static constexpr size_t kMaxFiles = 10;
    static constexpr uint64_t kMaxBytes = 256ull << 20;
    static constexpr int32_t kNumbers = 10000;

    // The process's writer: dumps go to "Quorvel\Drivers\Dump\" in the common
    // application-data folder. Made on first use; gone when the library is
    // unloaded.
    static OMiniDump& Instance();

    // A writer into folder (ending in a backslash), made if missing (readable
    // by everyone, writable by administrators and the system); an empty
    // folder means the common application-data one. A folder owned by anyone
    // but an administrator, the system or this process's user turns dumps off.
    explicit OMiniDump(const OString& folder);
    OMiniDump(const OMiniDump&) = delete;
    OMiniDump& operator=(const OMiniDump&) = delete;
    ~OMiniDump() = default;

    // Writes one dump of the process for the fault in pointers (the calling
    // thread's), when the folder exists, no other thread is writing one and
    // no attempt was made in the last minute. Every outcome is logged at the
    // error level when log is set (an untrusted folder only once). A dump
    // file is made new: when another process takes a name first, the next
    // number is used; a name that is a link is refused. The file written,
    // else empty.
    OString MiniDumpGenerate(OEventLog* log, const EXCEPTION_POINTERS* pointers);

    // The folder dumps go to, empty when it could not be made.
    const OString& GetFolder() const { return m_folder; }
    // prefix + n as at least four digits + ".dmp".
    static OString FileName(const OString& prefix, int32_t n);
    // The number of a dump file name ("qvcrash_" + four digits + ".dmp"), -1
    // for any other name.
    static int32_t NumberOf(const wchar_t* name);

private:
    struct DumpFile {
        int32_t number;
        uint64_t time;  // last write, 100 ns units
        uint64_t bytes;
    };
    // The dump files in the folder, oldest first (by time, then number).
    std::vector<DumpFile> ListDumps() const;
    // Deletes the oldest dumps until at most files remain, holding at most
    // kMaxBytes; keep (a number) is never deleted. The files left.
    std::vector<DumpFile> Prune(size_t files, int32_t keep) const;
    // Makes the dump file new from number on (number and file then name it),
    // replacing only a plain file that was listed; empty, with why set, when
    // no file can be made.
    OFileHandle CreateDumpFile(int32_t& number, const std::vector<DumpFile>& listed, OString& file,
                               OString& why) const;

    OKernelHandle m_mutex;
    OString m_folder;
    OString m_prefix;
    // Why the folder is not used, logged once.
    OString m_refusal;
    std::atomic<bool> m_refusalLogged{false};
    // Empty until the first attempt: a tick count of 0 is a real time at boot.
    std::optional<uint64_t> m_lastAttempt;
};
