#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/seam.h"

// The job calls of the basic interface, which Wine cannot stand in for: its
// EnumJobsW never lists a job, SetJobW level 2 brings its spooler down, and its
// job control answers TRUE while changing nothing. Real functions by default; a
// test installs its own through ScopedBasicSpooler. Every other spooler call of
// the interface goes to the system directly.
struct BasicSpooler {
    decltype(&::EnumJobsW) enumJobs = ::EnumJobsW;  // level 2, the first job's status
    decltype(&::GetJobW) getJob = ::GetJobW;        // level 2, read-modify-write
    decltype(&::SetJobW) setJob = ::SetJobW;        // level 0 control, level 2 write-back

    // The functions in force (process-wide; the real ones unless overridden).
    static const BasicSpooler& Current() { return ScopedApi<BasicSpooler>::Current(); }
};

using ScopedBasicSpooler = ScopedApi<BasicSpooler>;
