// Ends holding the named OMutex given as its argument, so that the next
// waiter finds it abandoned. Exit code 0 once the lock was held.
#include <windows.h>

#include "core/locks.h"

int main(int argc, char** argv) {
    OMutex mutex(OString(argc == 2 ? argv[1] : ""), 5000);
    if (argc != 2 || !mutex.Lock()) {
        return 2;
    }
    ::ExitProcess(0);  // the handle closes with the mutex still owned
}
