#pragma once

#include "console.h"
#include "forwarder.h"
#include "protocol.h"
#include "session.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// The command line: commands, options, usage and exit codes.
namespace cli {

// The exit codes, as listed in the help text: the session's, and the front end's own.
using jobs::exitcodes::kDone;
using jobs::exitcodes::kImageRefused;
using jobs::exitcodes::kOutputLost;
using jobs::exitcodes::kUsage;
// The panel's address cannot be bound: the line cannot be shown what it does.
constexpr int kCannotBind = jobs::exitcodes::kOutputLost;

struct Options {
    QString command;
    QStringList operands;
    // The operands' bytes as given, for file names that are not valid text.
    QByteArrayList rawOperands;
    bool json = false;
    bool noProgress = false; // --no-progress: no progress events
    bool csv = false;        // report --csv
    // report --from and --to: the boards counted, from (included) up to to; invalid: open.
    QDateTime from;
    QDateTime to;
    // station --match
    QString match;
    // station --count: end once this many boards have loaded; 0 never.
    int count = 0;
    // station --listen: where the panel is served; empty: nowhere.
    QString listen;
    // station --panel-host: further names the panel's clients may give in their Host header.
    QStringList panelHosts;
    // --wait, --log, --station, --sha256 (lower case) and --slots, and the tool's own time-outs;
    // the image is set by the command that reads one.
    jobs::RunSettings run;
    // forward: the log, --to and --once; --init
    forward::Settings forward;
    bool init = false;
    // report URL: --station, --since and --until
    forward::Selection selection;
};

// Parses the command line. Returns the exit code when the program is done already (help,
// version, or a usage error, which is printed); otherwise fills options and sets the console's
// verbosity.
std::optional<int> parseCommandLine(int argc, char *argv[], Options *options);

// Prints "bootloader-cli: error" and the short usage; returns kUsage.
int usageError(const QString &error);

} // namespace cli
