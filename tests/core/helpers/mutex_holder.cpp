// Holds a named OMutex for the lock tests, from a second process.
//
//   core_mutex_holder <mutex name> <ready event> <release event> release|abandon
//
// Locks the mutex, signals the ready event, then either waits (up to 30 s) for
// the release event and unlocks, or exits at once still holding the mutex so
// that the next waiter finds it abandoned. Exit code 0 on success, 2 when the
// lock was not held, 3 on bad arguments, 4 when an event is missing.
#include <windows.h>

#include <string>

#include "core/locks.h"

namespace {

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        return 3;
    }
    std::wstring ready = Widen(argv[2]);
    std::wstring release = Widen(argv[3]);
    std::string mode = argv[4];
    OKernelHandle readyEvent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str()));
    OKernelHandle releaseEvent(::OpenEventW(SYNCHRONIZE, FALSE, release.c_str()));
    if (!readyEvent || !releaseEvent) {
        return 4;
    }
    OMutex mutex(OString(Widen(argv[1]).c_str()), 5000);
    if (!mutex.Lock()) {
        return 2;
    }
    ::SetEvent(readyEvent.Get());
    if (mode == "abandon") {
        // The handle closes at process exit with the mutex still owned.
        ::ExitProcess(0);
    }
    ::WaitForSingleObject(releaseEvent.Get(), 30000);
    mutex.Unlock();
    return 0;
}
