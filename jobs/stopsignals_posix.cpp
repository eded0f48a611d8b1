#include "stopsignals.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

namespace jobs::stopsignals {

namespace {

std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
// Written once a request came: its read end is wakeDescriptor().
int wakePipe[2] = {-1, -1};

void onSignal(int number) {
    if (number == SIGINT && requested.load() != 0) {
        // The second interrupt: end now, leaving the line that was being drawn ended, if stderr
        // takes it at once (a terminal paused with Ctrl-S, or a full pipe, must not hold the end).
        pollfd err{STDERR_FILENO, POLLOUT, 0};
        const char newline = '\n';
        if (::poll(&err, 1, 0) == 1 && (err.revents & POLLOUT))
            (void)!::write(STDERR_FILENO, &newline, 1);
        ::_exit(130);
    }
    int none = 0;
    requested.compare_exchange_strong(none, number == SIGINT ? 130 : 143);
    const char wake = 1;
    if (wakePipe[1] >= 0)
        (void)!::write(wakePipe[1], &wake, 1);
}

} // namespace

void install() {
    if (::pipe(wakePipe) == 0) {
        for (const int end : wakePipe) {
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
            ::fcntl(end, F_SETFL, O_NONBLOCK);
        }
    } else {
        wakePipe[0] = wakePipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
    // A reader of stdout or stderr that goes away (| head) must not end the uploads half-way:
    // the write fails instead, and output.h takes note.
    ::signal(SIGPIPE, SIG_IGN);
}

int requestedExitCode() {
    return requested.load();
}

int wakeDescriptor() {
    return wakePipe[0];
}

} // namespace jobs::stopsignals
