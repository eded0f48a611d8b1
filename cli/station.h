#pragma once

#include "commandline.h"

// 'station FILE --match SELECTOR': watches for matching ports and uploads to each new one on a
// thread of its own, until stopped; a line per board and a running tally.
namespace cli {

int runStation(const Options &options);

} // namespace cli
