#pragma once

#include "commandline.h"
#include "firmwareimage.h"
#include "resultlog.h"
#include "uploadjob.h"

#include <atomic>

// 'upload PORT... FILE' and 'enter PORT': a job per port, all at once, with their progress,
// their outcomes and causes, a summary and the exit code.
namespace cli {

int runUpload(const Options &options);
int runEnter(const Options &options);

// The image of an upload or a station, read and split once for every port.
struct Image {
    QString shown; // the name as the user gave it
    transfer::LoadedImage loaded;
    QString sha256; // of the records as sent
};
// Reads the image operand at index; prints the refusal and its cause and returns false when it
// is refused, or when its digest is not the one --sha256 asks for.
bool readImage(const Options &options, int index, Image *image);

// The results log of a run (--log): a line for each board that finished, written before the
// board is reported anywhere else.
class RunLog {
public:
    // Opens the log options name, when they name one; prints why and returns false when it
    // cannot be written.
    bool open(const Options &options);
    // Writes the line of a finished job; false (and why, said once) when it could not be.
    // Safe from any thread.
    bool record(const jobs::JobResult &result, int exit, const Image &image);
    // Whether a line could not be written: the run must take no new board, and ends with
    // kOutputLost.
    bool failed() const { return m_failed; }

private:
    resultlog::ResultLog m_log;
    QString m_station;
    std::atomic<bool> m_failed{false};
};

// The exit code of a finished job: 0 done, 1 not acknowledged, 3 port not opened, or the stop
// signal's.
int exitCode(const jobs::JobResult &result);

} // namespace cli
