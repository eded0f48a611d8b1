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

} // namespace cli
