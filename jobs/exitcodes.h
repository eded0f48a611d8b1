#pragma once

// The exit codes a run ends with, and each board's (the "exit" of its results record).
namespace jobs::exitcodes {

enum ExitCode {
    kDone = 0,
    kNotAcknowledged = 1,
    kImageRefused = 2,
    kPortNotOpened = 3,
    kUsage = 64,
    kOutputLost = 74,   // EX_IOERR: stdout, stderr or the results log could not be written
    kInterrupted = 130, // SIGINT
    kTerminated = 143,  // SIGTERM or SIGHUP
};

} // namespace jobs::exitcodes
