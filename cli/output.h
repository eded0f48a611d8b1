#pragma once

#include <QByteArray>

// stdout and stderr as the program writes them: whole pieces, flushed, and a record of output
// that could not be written (a reader that went away, a full disk), so that the uploads go on
// and the exit code tells of it afterwards.
namespace cli::output {

// Writes bytes to stdout (or stderr) and flushes. False when the stream did not take them all;
// the output is lost from then on, and later writes to that stream are skipped. Not locked:
// callers that write from several threads hold their own lock.
bool toStdout(const QByteArray &bytes);
bool toStderr(const QByteArray &bytes);

// Whether output was lost on stdout or stderr.
bool lost();

// The program's exit code for code: kOutputLost when all went well but output was lost, code
// otherwise (a board's failure says more than the lost output).
int exitCode(int code);

} // namespace cli::output
