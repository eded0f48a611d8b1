#pragma once

#include "commandline.h"
#include "firmwareimage.h"
#include "uploadjob.h"

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
// is refused.
bool readImage(const Options &options, int index, Image *image);

// The exit code of a finished job: 0 done, 1 not acknowledged, 3 port not opened, or the stop
// signal's.
int exitCode(const jobs::JobResult &result);

} // namespace cli
