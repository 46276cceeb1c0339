// Keeps Wine's desktop in use for a whole test run; the run's set-up starts it
// with its output sent nowhere, and the Wine server's stop ends it.
//
// Wine starts its desktop process (explorer.exe /desktop) for the first
// program that needs the desktop (a window, a printer's device context), and
// closes it a second after the last program using the desktop has ended.
// That process inherits the standard error of the program that caused it,
// which under CTest is the pipe CTest reads to its end: the test that started
// it is then not over until the desktop idles, and in a busy parallel run,
// where some program always uses the desktop, that is past its time-out,
// although the test program itself ended long before. Held from here, the
// desktop process is started once, with no pipe of CTest's, and stays.
//
//   qv_desktop_holder.exe         starts a holder and returns 0 once it holds
//                                 the desktop, 1 when it could not
//   qv_desktop_holder.exe --hold  (the holder itself)
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/handles.h"

namespace {

constexpr DWORD kReadyWaitMs = 30000;

// A message-only window keeps this process a user of the desktop; asking for
// the desktop window first starts the desktop process, and waits for it, when
// none runs.
int Hold(HANDLE ready) {
    if (::GetDesktopWindow() == nullptr ||
        ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                          nullptr) == nullptr ||
        !::SetEvent(ready)) {
        return 1;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) {
        return Hold(reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10)));
    }
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    OKernelHandle ready(::CreateEventW(&inherited, TRUE, FALSE, nullptr));
    wchar_t path[MAX_PATH] = {};
    if (!ready || ::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
        return 1;
    }
    std::wstring command = L"\"" + std::wstring(path) + L"\" --hold " +
                           std::to_wstring(reinterpret_cast<uintptr_t>(ready.Get()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return 1;
    }
    ::CloseHandle(info.hThread);
    OKernelHandle holder(info.hProcess);
    const HANDLE waits[] = {ready.Get(), holder.Get()};
    return ::WaitForMultipleObjects(2, waits, FALSE, kReadyWaitMs) == WAIT_OBJECT_0 ? 0 : 1;
}
