#pragma once

#include "output.h"

#include <QString>

#include <functional>

// Human text on stderr, one whole line at a time from any thread, and the transfer code's debug
// trace, which goes the same way. All of it is queued (output.h): no call waits for stderr.
namespace cli {

enum class Verbosity { Quiet, Normal, Verbose };

namespace console {

void setVerbosity(Verbosity verbosity);
Verbosity verbosity();

// Writes text and a line end to stderr, through the line sink when one is set. kind: what the
// line is, should the reader fall behind.
void line(const QString &text, output::Kind kind = output::Kind::Kept);
// Writes bytes to stderr as they are (progress redrawn in place).
void raw(const QByteArray &bytes, output::Kind kind = output::Kind::Kept);

// Runs work with the console's lock held, so that what it writes is not split by other threads.
// The lock is held only as long as work takes: writing to stderr is left to the writer thread.
void locked(const std::function<void()> &work);

// While set, line() hands its text to sink instead (the progress view draws it above its bars).
// The sink is called with the console's lock held and may call raw().
void setLineSink(std::function<void(const QString &)> sink);

// Sends the transfer code's trace through line(): its debug lines with -v only, its warnings
// always. Lines from a thread that named its port are prefixed with "PORT: ".
void installMessageHandler();
void setThreadPort(const QString &port);

} // namespace console

} // namespace cli
