// Holds a named OMutex for the lock tests, from a second process.
//
//   core_mutex_holder <mutex name> <ready event> <release event> release|abandon
//
// Locks the mutex, signals the ready event, then either waits (up to 30 s) for
// the release event and unlocks, or exits at once still holding the mutex so
// that the next waiter finds it abandoned. Exit code 0 on success, 2 when the
// lock was not held, 3 on bad arguments, 4 when an event is missing.
#include <windows.h>

#include <cstring>

#include "core/locks.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        return 3;
    }
    OKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, OString(argv[2]).GetWide()));
    OKernelHandle release(::OpenEventW(SYNCHRONIZE, FALSE, OString(argv[3]).GetWide()));
    if (!ready || !release) {
        return 4;
    }
    OMutex mutex(OString(argv[1]), 5000);
    if (!mutex.Lock()) {
        return 2;
    }
    ::SetEvent(ready.Get());
    if (std::strcmp(argv[4], "abandon") == 0) {
        ::ExitProcess(0);  // the handle closes with the mutex still owned
    }
    ::WaitForSingleObject(release.Get(), 30000);
    mutex.Unlock();
    return 0;
}
