#include "stopsignals.h"

#include <atomic>
#include <windows.h>

namespace jobs::stopsignals {

namespace {

std::atomic<int> requested{0};

// Windows has no signals: the console's control events stand for them.
BOOL WINAPI onControl(DWORD event) {
    const bool interrupt = event == CTRL_C_EVENT;
    if (interrupt && requested.load() != 0)
        ::ExitProcess(130);
    int none = 0;
    requested.compare_exchange_strong(none, interrupt ? 130 : 143);
    // Closing the console ends the process once this returns: give the ports time to close.
    if (event == CTRL_CLOSE_EVENT)
        ::Sleep(2000);
    return TRUE;
}

} // namespace

int wakeDescriptor() {
    return -1;
}

void install() {
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

int requestedExitCode() {
    return requested.load();
}

} // namespace jobs::stopsignals
