#pragma once

#include <QByteArray>

// stdout and stderr as a command-line front end writes them: whole pieces, flushed, and a record of
// output that could not be written (a reader that went away, a full disk), so that the uploads go
// on and the exit code tells of it afterwards.
//
// What the uploads and the station say is queued, and one writer thread of its own writes it in
// order: a reader that stops reading, or a terminal paused with Ctrl-S, holds up that thread
// only, never an upload, the results log or a stop. When the queue is full, the oldest pieces
// that only tell of progress are left out first (their count is said once at the end); no
// other piece is ever left out: the queue grows past its bound for those instead.
namespace cli::output {

enum class Stream { Stdout, Stderr };

// What a queued piece is, for when the reader falls behind.
enum class Kind {
    Kept,     // never left out: starts, results, outcomes, the summary, whole lines of text
    Progress, // a progress event or line, or a progress bar redrawn in place
    Trace,    // a debug line of -v
};

// Queues bytes for the writer thread and returns at once, from any thread. The pieces of a
// stream are written in the order they were queued.
void queue(Stream stream, const QByteArray &bytes, Kind kind = Kind::Kept);

// Writes bytes to stdout and flushes, after what was queued before. False when stdout did not
// take them all; the output is lost from then on, and later writes to it are skipped. For the
// main thread of commands that load no board (help, info, ports, report).
bool toStdout(const QByteArray &bytes);

// Whether output was lost on stdout or stderr.
bool lost();

// Ends the output and gives the program's exit code for code: kOutputLost when all went well
// but output was lost, code otherwise (a board's failure says more than the lost output).
// Waits until everything queued is written, however slow the reader. Once a stop was requested
// (stopsignals.h) it waits about a second more at most, and then ends the process at once with
// the stop's exit code, leaving the rest unwritten: call it last, once the log is closed.
int exitCode(int code);

} // namespace cli::output
