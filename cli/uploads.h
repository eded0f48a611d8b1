#pragma once

#include "commandline.h"

// The commands that run boards: 'upload PORT... FILE' and 'enter PORT' (a job per port, all at
// once, with their progress, outcomes and causes, and a summary) and 'station FILE --match
// SELECTOR' (a board on each matching port as it appears, a line each and a running tally). The
// session (jobs/session.h) runs them; what is here shows what it tells.
namespace cli {

int runUpload(const Options &options);
int runEnter(const Options &options);
int runStation(const Options &options);

// What every run tells alike: its notes on stderr by verbosity, its summary event, and whether
// the output is lost.
jobs::Session::Hooks commonHooks();
// The session's settings from the options; image: the operand that names the image, or -1.
jobs::RunSettings settingsOf(const Options &options, int image);

} // namespace cli
