// Ends holding a named OMutex, for the lock tests: a second process whose
// mutex the next waiter finds abandoned.
//
//   core_mutex_holder <mutex name> <ready event>
//
// Exit code 0 once the lock was held and the event signalled.
#include <windows.h>

#include "core/locks.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 3;
    }
    OKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, OString(argv[2]).GetWide()));
    OMutex mutex(OString(argv[1]), 5000);
    if (!ready || !mutex.Lock()) {
        return 2;
    }
    ::SetEvent(ready.Get());
    ::ExitProcess(0);  // the handle closes with the mutex still owned
}
