#include "commandline.h"

#include "bootloader_version.h"
#include "output.h"
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cmath>

namespace cli {

namespace {

const char *const kDescription =
    "Loads firmware into devices over serial ports, as the Bootloader window does.\n"
    "\n"
    "Commands:\n"
    "  upload PORT... FILE  Sends the records of the image FILE to the device on each PORT,\n"
    "                       all at once, each port on a thread of its own.\n"
    "  enter PORT           Asks the device on PORT to switch into its bootloader mode.\n"
    "  ports                Lists the serial ports present: name, path, VID:PID, serial\n"
    "                       number, manufacturer, description and location.\n"
    "  info FILE            Describes the image FILE: records, sizes, SHA-256, upload time.\n"
    "  station FILE --match SELECTOR | --slots SLOTS\n"
    "                       Uploads FILE to each matching port as it appears, until stopped\n"
    "                       (or until --count boards have loaded).\n"
    "  report LOG           Sums up a results log written with --log: boards loaded and\n"
    "                       failed, by image digest, cause and slot, serial numbers loaded\n"
    "                       twice; with --csv, a row for each board. --from and --to\n"
    "                       limit it to the boards of a shift. report URL does the same for\n"
    "                       the boards forward stored in a PostgreSQL database.\n"
    "  slots FILE           Appends 'Slot N = PORT' to FILE for each port that appears, until\n"
    "                       stopped (exit 0).\n"
    "  forward LOG --to URL Copies each board's line of LOG into the PostgreSQL database at\n"
    "                       URL (postgresql://...) as it is written, from where it stopped,\n"
    "                       until stopped; with --once, what is there. forward --init --to URL\n"
    "                       applies the schema.\n"
    "\n"
    "PORT is a short name from 'ports' (such as ttyUSB0), a path (such as /dev/pts/3), or\n"
    "usb:VID:PID[:SERIAL] in hexadecimal as 'ports' prints it. SELECTOR is usb:VID:PID[:SERIAL]\n"
    "or a path glob such as '/dev/ttyUSB*' (case-sensitive; without a folder, in /dev). Only\n"
    "serial ports are opened: not files, FIFOs, sockets, other devices or a process's own\n"
    "terminal. One device takes one job, whatever name it is reached by. Progress goes to\n"
    "stderr: a line per port redrawn in place on a terminal, one line per event otherwise.\n"
    "SIGINT, SIGTERM or SIGHUP stop after the current send and close the ports; a second SIGINT\n"
    "ends at once. Output that cannot be written (a reader that went away) stops no upload.\n"
    "\n"
    "Exit codes:\n"
    "  0    done (every board loaded)\n"
    "  1    a device did not acknowledge the image, or did not confirm the bootloader mode\n"
    "  2    the image was refused: it cannot be read, is empty, or holds no record\n"
    "  3    a port cannot be opened\n"
    "  64   bad arguments\n"
    "  74   output lost: stdout or stderr could not be written (the uploads still ran to\n"
    "       their end), or the results log could not be written or read (a station then\n"
    "       takes no new board)\n"
    "  130  stopped by SIGINT\n"
    "  143  stopped by SIGTERM or SIGHUP";

const char *const kUsageText =
    "Usage: bootloader-cli [-v | -q] [--json] [--wait SECONDS] upload PORT... FILE\n"
    "       bootloader-cli [options] enter PORT | ports | info FILE | report LOG\n"
    "       bootloader-cli [options] station FILE --match SELECTOR|--slots SLOTS [--count N]\n"
    "       bootloader-cli [options] slots FILE\n"
    "       bootloader-cli [options] forward LOG --to URL [--once] | forward --init --to URL\n"
    "Try 'bootloader-cli --help' for more.\n";

// The parser's help, with the program's name in its usage line rather than the path it was
// started by.
QString helpText(const QCommandLineParser &parser) {
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')),
                 QStringLiteral("Usage: bootloader-cli [options] command [arguments]"));
    return text;
}

// The raw bytes of each positional argument: argv without the options and their values, matched
// up with what the parser kept.
QByteArrayList rawPositionals(int argc, char *argv[], const QStringList &positionals) {
    QByteArrayList raw;
    int next = argc - 1;
    for (int i = positionals.size() - 1; i >= 0; --i) {
        QByteArray found;
        for (int j = next; j > 0; --j) {
            if (QString::fromLocal8Bit(argv[j]) == positionals[i]) {
                found = argv[j];
                next = j - 1;
                break;
            }
        }
        raw.prepend(found);
    }
    return raw;
}

} // namespace

int usageError(const QString &error) {
    console::line(QStringLiteral("bootloader-cli: %1").arg(error));
    console::raw(kUsageText);
    return kUsage;
}

std::optional<int> parseCommandLine(int argc, char *argv[], Options *options) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which mean nothing here.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    // Not addVersionOption(): its -v is taken by --verbose here.
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption verbose(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Shows the debug trace: records sent, replies refused, sends left."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Prints errors only."));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Writes events as JSON Lines on stdout; text stays on stderr."));
    const QCommandLineOption wait(
        QStringLiteral("wait"),
        QStringLiteral("upload, enter, station: waits up to <seconds> for each port to appear "
                       "before going on."),
        QStringLiteral("seconds"));
    const QCommandLineOption match(
        QStringLiteral("match"),
        QStringLiteral("station: the ports to upload to, usb:VID:PID[:SERIAL] or a path glob."),
        QStringLiteral("selector"));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("upload, station: appends a JSON line for each finished board to <file>, "
                       "synced to disk before the board is reported anywhere else."),
        QStringLiteral("file"));
    const QCommandLineOption sha256(
        QStringLiteral("sha256"),
        QStringLiteral("upload, station: refuses the image unless its records have this SHA-256 "
                       "(as 'info' prints it)."),
        QStringLiteral("hex"));
    const QCommandLineOption unitCommand(
        QStringLiteral("unit-command"),
        QStringLiteral("upload, station: runs <command> (/bin/sh -c) before each board's upload; "
                       "the first line it prints is the board's unit."),
        QStringLiteral("command"));
    const QCommandLineOption station(
        QStringLiteral("station"),
        QStringLiteral("upload, station: names this station in each line of the --log, e.g. "
                       "the service's instance."),
        QStringLiteral("name"));
    const QCommandLineOption noProgress(
        QStringLiteral("no-progress"),
        QStringLiteral("with --json: writes no progress events, only each board's start and "
                       "result and the summary (as the service does, for its journal)."));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("report: writes a CSV row for each board."));
    const QCommandLineOption from(
        QStringLiteral("from"),
        QStringLiteral("report: counts the boards that ended at <time> (ISO 8601, such as "
                       "2026-12-08T06:00Z; local time without an offset) or later."),
        QStringLiteral("time"));
    const QCommandLineOption to(
        QStringLiteral("to"),
        QStringLiteral("report: counts the boards that ended before <to>, a time (ISO 8601). "
                       "forward: the database <to> is, postgresql://[USER@]HOST[:PORT]/DBNAME"
                       "[?...], its password from PGPASSFILE or a service file."),
        QStringLiteral("to"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("station: ends once <n> boards have loaded."),
                                   QStringLiteral("n"));
    const QCommandLineOption slotsFile(
        QStringLiteral("slots"),
        QStringLiteral("station: the line's slots, a LABEL = PORT line each (see the manual)."),
        QStringLiteral("file"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("station: serves the panel, read-only, on [ADDRESS:]PORT (127.0.0.1)."),
        QStringLiteral("address"));
    const QCommandLineOption panelHost(
        QStringLiteral("panel-host"),
        QStringLiteral("station: a name the panel is reached by, besides its address and "
                       "localhost; may be given again."),
        QStringLiteral("name"));
    const QCommandLineOption init(QStringLiteral("init"),
                                  QStringLiteral("forward: applies the schema to the database."));
    const QCommandLineOption once(
        QStringLiteral("once"), QStringLiteral("forward: forwards what the log holds, then ends."));
    parser.addOptions({help,  version,   verbose, quiet,     json, noProgress, csv,
                       from,  to,        wait,    match,     log,  sha256,     station,
                       count, slotsFile, listen,  panelHost, init, once,       unitCommand});
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("upload, enter, ports, info, station, report, slots or forward."),
        QStringLiteral("command [arguments]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        output::toStdout(helpText(parser).toLocal8Bit());
        return kDone;
    }
    if (parser.isSet(version)) {
        output::toStdout(QByteArray("bootloader-cli ") + bootloader::kVersion + '\n');
        return kDone;
    }
    if (parser.isSet(verbose) && parser.isSet(quiet))
        return usageError(QStringLiteral("-v and -q cannot be given together"));
    // An option given again must not quietly take the place of the first: a service's unit can
    // pin a digest and still pass on options of its own.
    for (const QCommandLineOption *option : {&wait, &match, &log, &sha256, &station, &count,
                                             &slotsFile, &listen, &from, &to, &unitCommand}) {
        const QStringList values = parser.values(*option);
        const Qt::CaseSensitivity digits =
            option == &sha256 ? Qt::CaseInsensitive : Qt::CaseSensitive;
        for (const QString &value : values) {
            if (value.compare(values.first(), digits) != 0)
                return usageError(QStringLiteral("--%1 is given twice, as '%2' and as '%3'")
                                      .arg(option->names().constFirst(), values.first(), value));
        }
    }
    console::setVerbosity(parser.isSet(quiet)     ? Verbosity::Quiet
                          : parser.isSet(verbose) ? Verbosity::Verbose
                                                  : Verbosity::Normal);

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QByteArrayList raw = rawPositionals(argc, argv, args);
    options->command = args.first();
    options->operands = args.mid(1);
    options->rawOperands = raw.mid(1);
    options->json = parser.isSet(json);
    options->match = parser.value(match);
    options->noProgress = parser.isSet(noProgress);
    if (options->noProgress && !options->json)
        return usageError(QStringLiteral("--no-progress is for --json only"));
    options->csv = parser.isSet(csv);
    if (options->csv && (options->json || options->command != QLatin1String("report")))
        return usageError(QStringLiteral("--csv is for report only, without --json"));
    const bool reports = options->command == QLatin1String("report");
    const bool forwards = options->command == QLatin1String("forward");
    // --to names the database of forward, and a time of report.
    if ((parser.isSet(from) && !reports) || (parser.isSet(to) && !reports && !forwards))
        return usageError(QStringLiteral("--from and --to are for report only"));
    for (const auto &[option, time] : {std::pair{&from, &options->from}, {&to, &options->to}}) {
        if (!parser.isSet(*option) || !reports)
            continue;
        // A space for the T, as spreadsheets and people write a time, is taken too.
        QString text = parser.value(*option);
        if (text.size() > 10 && text.at(10) == QLatin1Char(' '))
            text[10] = QLatin1Char('T');
        *time = QDateTime::fromString(text, Qt::ISODate);
        if (!time->isValid())
            return usageError(QStringLiteral("--%1 takes a time in ISO 8601, such as "
                                             "2026-12-08T06:00:00Z, not '%2'")
                                  .arg(option->names().constFirst(), parser.value(*option)));
    }
    if (options->from.isValid() && options->to.isValid() && options->from >= options->to)
        return usageError(QStringLiteral("--from must be before --to"));
    if (parser.isSet(wait)) {
        bool ok = false;
        const double seconds = parser.value(wait).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
            return usageError(QStringLiteral("--wait takes a number of seconds, not '%1'")
                                  .arg(parser.value(wait)));
        options->run.waitMs = int(seconds * 1000);
    }
    if (parser.isSet(wait) && options->command != QLatin1String("upload") &&
        options->command != QLatin1String("enter") && options->command != QLatin1String("station"))
        return usageError(QStringLiteral("--wait is for upload, enter and station"));
    if (parser.isSet(match) && options->command != QLatin1String("station"))
        return usageError(QStringLiteral("--match is for station only"));
    if ((parser.isSet(slotsFile) || parser.isSet(listen)) &&
        options->command != QLatin1String("station"))
        return usageError(QStringLiteral("--slots and --listen are for station only"));
    options->listen = parser.value(listen);
    // An empty address (the service's LISTEN left empty) serves no panel.
    if (!options->listen.isEmpty() && !panel::addressError(options->listen).isEmpty())
        return usageError(panel::addressError(options->listen));
    if (parser.isSet(panelHost) && options->command != QLatin1String("station"))
        return usageError(QStringLiteral("--panel-host is for station only"));
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*)$"));
    for (const QString &name : parser.values(panelHost)) {
        if (!hostName.match(name).hasMatch())
            return usageError(
                QStringLiteral("--panel-host takes a host name, without port, not '%1'").arg(name));
        options->panelHosts.append(name);
    }
    if (parser.isSet(slotsFile)) {
        QString error;
        const auto read = jobs::readSlots(parser.value(slotsFile), &error);
        if (!read)
            return usageError(error);
        options->run.slotList = *read;
    }
    const bool loads =
        options->command == QLatin1String("upload") || options->command == QLatin1String("station");
    if ((parser.isSet(log) || parser.isSet(sha256)) && !loads)
        return usageError(QStringLiteral("--log and --sha256 are for upload and station"));
    const bool plantReport =
        options->command == QLatin1String("report") &&
        (options->operands.value(0).startsWith(QLatin1String("postgresql://")) ||
         options->operands.value(0).startsWith(QLatin1String("postgres://")));
    if (parser.isSet(station) && !loads && !plantReport)
        return usageError(QStringLiteral("--station is for upload and station"));
    if (plantReport) {
        QString error;
        const std::optional<forward::Connection> connection =
            forward::parseConnection(options->operands.value(0), &error);
        if (!connection)
            return usageError(error);
        options->forward.to = *connection;
        options->selection.station = parser.value(station);
        options->selection.from = options->from;
        options->selection.until = options->to;
    }
    if (parser.isSet(unitCommand) && !loads)
        return usageError(QStringLiteral("--unit-command is for upload and station"));
    options->run.unitCommand = parser.value(unitCommand);
    if (parser.isSet(unitCommand) && options->run.unitCommand.trimmed().isEmpty())
        return usageError(QStringLiteral("--unit-command takes a command"));
    options->run.station = parser.value(station);
    options->run.logPath = parser.value(log);
    if (parser.isSet(log) && options->run.logPath.isEmpty())
        return usageError(QStringLiteral("--log takes a file"));
    if (parser.isSet(sha256)) {
        static const QRegularExpression digest(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        options->run.sha256 = parser.value(sha256).toLower();
        if (!digest.match(options->run.sha256).hasMatch())
            return usageError(QStringLiteral("--sha256 takes 64 hexadecimal digits, not '%1'")
                                  .arg(parser.value(sha256)));
    }
    if (parser.isSet(count)) {
        bool ok = false;
        options->count = parser.value(count).toInt(&ok);
        if (options->command != QLatin1String("station"))
            return usageError(QStringLiteral("--count is for station only"));
        if (!ok || options->count < 1)
            return usageError(QStringLiteral("--count takes a number of boards of at least 1, "
                                             "not '%1'")
                                  .arg(parser.value(count)));
    }
    if ((parser.isSet(init) || parser.isSet(once)) && !forwards)
        return usageError(QStringLiteral("--init and --once are for forward only"));
    if (forwards) {
        if (!parser.isSet(to))
            return usageError(QStringLiteral("forward takes --to URL"));
        QString error;
        const std::optional<forward::Connection> connection =
            forward::parseConnection(parser.value(to), &error);
        if (!connection)
            return usageError(error);
        options->forward.to = *connection;
        options->forward.once = parser.isSet(once);
        options->init = parser.isSet(init);
        if (options->init ? !options->operands.isEmpty() || parser.isSet(once)
                          : options->operands.size() != 1)
            return usageError(QStringLiteral("forward takes LOG, or --init alone"));
        options->forward.log = options->operands.value(0);
    }
    return std::nullopt;
}

} // namespace cli
