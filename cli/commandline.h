#pragma once

#include "console.h"
#include "protocol.h"
#include "session.h"

#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <optional>

// The command line: commands, options, usage and exit codes.
namespace cli {

// The exit codes, as listed in the help text, are the session's.
using namespace jobs::exitcodes;

struct Options {
    QString command;
    QStringList operands;
    // The operands' bytes as given, for file names that are not valid text.
    QByteArrayList rawOperands;
    bool json = false;
    // --wait: how long to wait for each port to appear; 0 does not wait.
    int waitMs = 0;
    // station --match
    QString match;
    // --log: the results log, one JSON line per finished board; empty for none.
    QString logPath;
    // --station: the name of this station (a service's instance), for the log's records.
    QString station;
    // --sha256: the digest the image's records must have (lower case); empty for any.
    QString sha256;
    // station --count: end once this many boards have loaded; 0 never.
    int count = 0;
    // The time-outs of the device operations: the tool's own, from no option.
    transfer::Timing timing;
};

// Parses the command line. Returns the exit code when the program is done already (help,
// version, or a usage error, which is printed); otherwise fills options and sets the console's
// verbosity.
std::optional<int> parseCommandLine(int argc, char *argv[], Options *options);

// Prints "bootloader-cli: error" and the short usage; returns kUsage.
int usageError(const QString &error);

} // namespace cli
