#pragma once

// Requests to stop from outside: SIGINT, SIGTERM and SIGHUP on POSIX systems; Ctrl-C, Ctrl-Break
// and closing the console on Windows. The first request is only recorded, for the program to
// finish its current send and close its ports; a second interrupt ends the program at once.
namespace jobs::stopsignals {

// Installs the handlers; call once, before any port is opened.
void install();

// 0 while no stop was requested; else the exit code it calls for: 130 for an interrupt
// (SIGINT, Ctrl-C), 143 for a termination (SIGTERM, SIGHUP, Ctrl-Break, console closed).
int requestedExitCode();

// A descriptor that becomes readable at the first request, for a wait on other things to end at
// it (it is never read); -1 where there is none.
int wakeDescriptor();

} // namespace jobs::stopsignals
