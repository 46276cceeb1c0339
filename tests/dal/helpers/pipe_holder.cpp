// Takes a pipe name before the proxy does: creates the server end
// (argv[1]; argv[2] instances), sets the named event argv[3], and waits to be
// ended (a minute at most).
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    HANDLE pipe =
        argc != 4 ? INVALID_HANDLE_VALUE
                  : ::CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                       std::wcstoul(argv[2], nullptr, 10), 256, 256, 0, nullptr);
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argc == 4 ? argv[3] : L"");
    if (pipe == INVALID_HANDLE_VALUE || ready == nullptr || !::SetEvent(ready)) {
        return 2;
    }
    ::Sleep(60000);
    return 0;
}
