#pragma once

#include "commandline.h"

// 'upload PORT... FILE' and 'enter PORT': a Board per port, all at once, with their progress,
// their outcomes and causes, a summary and the exit code.
namespace cli {

int runUpload(const Options &options);
int runEnter(const Options &options);

// Image operand of options at index as a path to open (see fileoperand.h), and as shown.
QString imagePath(const Options &options, int index);

} // namespace cli
