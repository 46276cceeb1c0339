#pragma once

#include <windows.h>

#include <cstdint>

#include "core/handles.h"
#include "core/ostring.h"

class OEventLog;

// Writes crash dumps of the process for unrecoverable errors: at most one a
// minute, one thread at a time (a thread that finds another writing gives up
// at once), into "qvcrash_" + four digits + ".dmp" files numbered past the
// ones already there.
class OMiniDump {
public:
    // Attempts closer together than this are refused.
    static constexpr uint64_t kProximityMs = 60000;
    // Data segments and indirectly referenced memory.
    static constexpr int32_t kDumpType = 0x41;

    // The process's writer: dumps go to "Quorvel\Drivers\Dump\" in the common
    // application-data folder. Made on first use; gone when the library is
    // unloaded.
    static OMiniDump& Instance();

    // A writer into folder (ending in a backslash), made if missing; an empty
    // folder means the common application-data one.
    explicit OMiniDump(const OString& folder);
    OMiniDump(const OMiniDump&) = delete;
    OMiniDump& operator=(const OMiniDump&) = delete;
    ~OMiniDump() = default;

    // Writes one dump of the process for the fault in pointers (the calling
    // thread's), when the folder exists, no other thread is writing one and
    // the last attempt is more than a minute old. Every outcome is logged at
    // the error level when log is set. The file written, else empty.
    OString MiniDumpGenerate(OEventLog* log, const EXCEPTION_POINTERS* pointers);

    // The folder dumps go to, empty when it could not be made.
    const OString& GetFolder() const { return m_folder; }
    // prefix + n as at least four digits + ".dmp".
    static OString FileName(const OString& prefix, int32_t n);

private:
    OKernelHandle m_mutex;
    OString m_folder;
    OString m_prefix;
    uint64_t m_lastAttempt = 0;
};
