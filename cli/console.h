#pragma once

#include <QString>

#include <functional>

// Human text on stderr, one whole line at a time from any thread, and the transfer code's debug
// trace, which goes the same way.
namespace cli {

enum class Verbosity { Quiet, Normal, Verbose };

namespace console {

void setVerbosity(Verbosity verbosity);
Verbosity verbosity();

// Writes text and a line end to stderr, through the line sink when one is set.
void line(const QString &text);
// Writes bytes to stderr as they are (progress redrawn in place), then flushes.
void raw(const QByteArray &bytes);

// Runs work with the console's lock held, so that what it writes is not split by other threads.
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
