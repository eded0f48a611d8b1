// bootloader-sim: the simulated device as a program, for trying the tool without a board.

#include "behaviour.h"
#include "bootloader_version.h"
#include "simdevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPair>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitFailure = 1;

const char *const kDescription =
    "Acts as a device on a pseudo-terminal and prints the port to use, on one line of stdout.\n"
    "Records run from '{' to the next '}' and are acknowledged with three bytes whose middle\n"
    "byte is 0x00; the command \"@46FF$\", between records, is answered with \"KOK\". Runs until\n"
    "interrupted (SIGINT or SIGTERM), then prints a summary on stderr and writes the records it\n"
    "acknowledged to the --save file (and, with --report, what became of it as JSON, for\n"
    "programs). With --chaos it may also go away half-way, as an\n"
    "unplugged board: its port vanishes, and it ends as if stopped.\n"
    "\n"
    "Exit codes: 0 stopped by a signal (or gone away under --chaos), 1 no terminal or save\n"
    "or report file, 64 bad arguments.";

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 0;
    (void)!::write(signalPipe[1], &byte, 1);
}

void printLine(const QString &text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// The parser's help, with the program's name in its usage line rather than the path it was
// started by.
QString helpText(const QCommandLineParser &parser) {
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')),
                 QStringLiteral("Usage: bootloader-sim [options]"));
    return text;
}

int usageError(const QString &error) {
    printLine(QStringLiteral("bootloader-sim: %1").arg(error));
    std::fputs("Usage: bootloader-sim [options]\nTry 'bootloader-sim --help' for more.\n", stderr);
    return kExitUsage;
}

// Reads a whole number option of at least minimum; false (with an error) otherwise.
bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum,
                  int *value, QString *error) {
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const QString text = parser.value(option);
    *value = text.toInt(&ok);
    if (ok && *value >= minimum)
        return true;
    *error = QStringLiteral("--%1 needs a whole number of at least %2, not '%3'")
                 .arg(option.names().constFirst())
                 .arg(minimum)
                 .arg(text);
    return false;
}

// Reads --process-last: a whole number of at least 0, or none.
bool lastOption(const QCommandLineParser &parser, const QCommandLineOption &option, int *value,
                QString *error) {
    if (parser.value(option) == QLatin1String("none")) {
        *value = sim::Chaos::kNever;
        return true;
    }
    if (numberOption(parser, option, 0, value, error))
        return true;
    *error = QStringLiteral("--%1 needs a whole number of at least 0 or none, not '%2'")
                 .arg(option.names().constFirst(), parser.value(option));
    return false;
}

// The slow device's times, for people: "1200 ms" or "never answered".
QString slowTime(int ms) {
    return ms == sim::Chaos::kNever ? QStringLiteral("never answered")
                                    : QStringLiteral("%1 ms").arg(ms);
}

// Reads the --chaos seed, any whole number from 0 to 2^64-1; false (with an error) otherwise.
bool seedOption(const QCommandLineParser &parser, const QCommandLineOption &option, quint64 *seed,
                QString *error) {
    bool ok = false;
    const QString text = parser.value(option);
    *seed = text.toULongLong(&ok);
    if (ok && !text.startsWith(QLatin1Char('-')) && !text.startsWith(QLatin1Char('+')))
        return true;
    *error = QStringLiteral("--chaos needs a whole number from 0 to 18446744073709551615 as its "
                            "seed, not '%1'")
                 .arg(text);
    return false;
}

// What the device took in, shared between its thread and the main thread. A record counts as
// acknowledged or refused, and is saved, only once the last byte of its reply is on the line:
// one whose reply was still to come when the simulator stopped was never answered.
struct Tally {
    std::mutex mutex;
    QByteArray image; // the acknowledged records, in order
    int records = 0;  // records received, resends included
    int acknowledged = 0;
    int refused = 0;
    int commands = 0;
    // The record the device went away on, from 1; 0 while it has not.
    int wentAwayOn = 0;
    // The records held, each by its number in the image as the device counts them, in the
    // order their acknowledgements were written: a record held twice shows twice.
    QJsonArray held;
    // Sends of records answered past the host's window, or never answered as the last record.
    int pastWindow = 0;
    // The answers to messages whose replies are not written yet, by kind and index.
    QHash<QPair<int, int>, sim::Behaviour::Answer> unanswered;
};

QPair<int, int> messageKey(const sim::SimDevice::Received &message) {
    return {int(message.kind), message.index};
}

const char *dropReason(sim::DropCause cause) {
    return cause == sim::DropCause::HostClosed ? "the host closed the port"
                                               : "the line went idle in it";
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bootloader-sim"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(bootloader::kVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which mean nothing here.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Prints a line for each message received."));
    const QCommandLineOption save(
        QStringLiteral("save"),
        QStringLiteral("Writes the acknowledged records, one after the other, to <file> on exit."),
        QStringLiteral("file"));
    const QCommandLineOption silent(
        QStringLiteral("silent"), QStringLiteral("Answers nothing, neither records nor commands."));
    const QCommandLineOption refuseEvery(
        QStringLiteral("refuse-every"),
        QStringLiteral("Refuses every <k>-th record once; the record's next send is taken."),
        QStringLiteral("k"));
    const QCommandLineOption split(QStringLiteral("split"),
                                   QStringLiteral("Writes each reply in two parts."));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Starts each reply <ms> milliseconds late."),
                                   QStringLiteral("ms"));
    const QCommandLineOption process(
        QStringLiteral("process"),
        QStringLiteral("Answers a record <ms> milliseconds after its last byte."),
        QStringLiteral("ms"));
    const QCommandLineOption baud(
        QStringLiteral("baud"),
        QStringLiteral("Paces the line at <rate> baud, e.g. 115200, in both directions: takes "
                       "the host's bytes and writes replies at that rate, ten bit times a byte "
                       "(default: no pacing)."),
        QStringLiteral("rate"));
    const QCommandLineOption processFirst(
        QStringLiteral("process-first"),
        QStringLiteral("Answers the first record it takes <ms> milliseconds after its last byte, "
                       "as a device that erases before its first write (default: as --process)."),
        QStringLiteral("ms"));
    const QCommandLineOption processLast(
        QStringLiteral("process-last"),
        QStringLiteral("With --records, answers each send of the image's last record <ms> "
                       "milliseconds after its last byte, or with none never answers it nor holds "
                       "it (default: as --process)."),
        QStringLiteral("ms|none"));
    const QCommandLineOption recordCount(
        QStringLiteral("records"),
        QStringLiteral("The image holds <n> records, so the device knows its last: the n-th, a "
                       "record with the contents of the one before being that record sent "
                       "again."),
        QStringLiteral("n"));
    const QCommandLineOption chaos(
        QStringLiteral("chaos"),
        QStringLiteral("Draws each record's answer from <seed>: at once, split, late (up to "
                       "900 ms), refused once, ignored once, or rarely (1 in 200) going away as "
                       "an unplugged board. The same seed draws the same series. Every draw but "
                       "going away is one the tool allows a device, paced or not: a series "
                       "without it loads."),
        QStringLiteral("seed"));
    const QCommandLineOption chaosSlow(
        QStringLiteral("chaos-slow"),
        QStringLiteral("With --chaos, also draws from the seed a slow device for the run, which "
                       "writes each record before its answer: a first record of up to 2000 ms, "
                       "every other one at once or up to 300 ms, and with --records a last one "
                       "of up to 2000 ms or never answered. The records' own draws stay the "
                       "seed's. Past the tool's second, an upload may end not loaded."));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Writes on exit, for programs, a JSON object to <file>: the records "
                       "received, acknowledged and refused, the commands, the bytes saved, "
                       "whether (went_away) and on which record (went_away_on) the device went "
                       "away, the records held in order (held) and the sends answered past the "
                       "tool's window (past_window)."),
        QStringLiteral("file"));
    parser.addOptions({help, version, verbose, save, report, silent, refuseEvery, split, delay,
                       process, processFirst, processLast, recordCount, baud, chaos, chaosSlow});

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(helpText(parser).toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("bootloader-sim %s\n", bootloader::kVersion);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    sim::Faults faults;
    faults.silent = parser.isSet(silent);
    faults.splitReplies = parser.isSet(split);
    int pacing = 0;
    QString error;
    if (!numberOption(parser, refuseEvery, 1, &faults.refuseEvery, &error) ||
        !numberOption(parser, delay, 0, &faults.delayMs, &error) ||
        !numberOption(parser, process, 0, &faults.processMs, &error) ||
        !numberOption(parser, processFirst, 0, &faults.firstProcessMs, &error) ||
        !numberOption(parser, recordCount, 1, &faults.recordCount, &error) ||
        !numberOption(parser, baud, 1, &pacing, &error))
        return usageError(error);
    faults.lastProcessMs = faults.processMs;
    if (parser.isSet(processLast)) {
        if (!parser.isSet(recordCount))
            return usageError(QStringLiteral("--process-last needs --records"));
        if (!lastOption(parser, processLast, &faults.lastProcessMs, &error))
            return usageError(error);
    }
    if (parser.isSet(chaosSlow) && !parser.isSet(chaos))
        return usageError(QStringLiteral("--chaos-slow needs --chaos"));
    if (parser.isSet(chaos)) {
        if (!seedOption(parser, chaos, &faults.chaosSeed, &error))
            return usageError(error);
        // Chaos draws every answer itself, within the host's limits; the other faults would take
        // them past those.
        for (const QCommandLineOption *fault :
             {&silent, &refuseEvery, &split, &delay, &process, &processFirst, &processLast}) {
            if (parser.isSet(*fault))
                return usageError(QStringLiteral("--chaos cannot be combined with --%1")
                                      .arg(fault->names().constFirst()));
        }
        faults.chaos = true;
        faults.chaosSlow = parser.isSet(chaosSlow);
    }

    // Tried now, so a path that cannot be written is known before anything is sent; the file
    // itself is replaced only on exit, whole, so a simulator killed meanwhile leaves it as it was.
    const QString savePath = parser.value(save);
    const QString reportPath = parser.value(report);
    for (const QCommandLineOption *file : {&save, &report}) {
        if (!parser.isSet(*file))
            continue;
        QSaveFile probe(parser.value(*file));
        const bool writable = probe.open(QIODevice::WriteOnly);
        probe.cancelWriting();
        if (!writable) {
            printLine(QStringLiteral("bootloader-sim: cannot write %1: %2")
                          .arg(parser.value(*file), probe.errorString()));
            return kExitFailure;
        }
    }

    // Signals only write a byte; the event loop sees it and stops.
    if (::pipe(signalPipe) != 0) {
        printLine(QStringLiteral("bootloader-sim: cannot set up signal handling"));
        return kExitFailure;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
    // A reader that went away must not end the device.
    std::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    Tally tally;
    sim::Behaviour behaviour(faults);
    const bool logMessages = parser.isSet(verbose);
    sim::SimDevice device;
    device.setPacing(pacing);
    if (logMessages) {
        device.setDropObserver([](const QByteArray &partial, sim::DropCause cause) {
            std::fprintf(stderr, "dropped an unfinished record (%d bytes): %s\n",
                         int(partial.size()), dropReason(cause));
        });
    }
    device.setResponder([&](const sim::SimDevice::Received &message) {
        const sim::Behaviour::Answer answer = behaviour.answer(message);
        std::lock_guard<std::mutex> lock(tally.mutex);
        if (message.kind == sim::SimDevice::Received::Command)
            ++tally.commands;
        else
            ++tally.records;
        tally.pastWindow += answer.pastWindow ? 1 : 0;
        tally.unanswered.insert(messageKey(message), answer);
        return answer.reply;
    });
    device.setReplyObserver([&](const sim::SimDevice::Received &message) {
        sim::Behaviour::Verdict verdict;
        {
            std::lock_guard<std::mutex> lock(tally.mutex);
            const sim::Behaviour::Answer answer = tally.unanswered.take(messageKey(message));
            verdict = answer.verdict;
            if (message.kind == sim::SimDevice::Received::Record) {
                if (verdict == sim::Behaviour::Verdict::Acknowledged) {
                    ++tally.acknowledged;
                    tally.image += message.bytes;
                    tally.held.append(answer.record);
                } else if (verdict == sim::Behaviour::Verdict::Refused) {
                    ++tally.refused;
                }
            }
        }
        if (logMessages) {
            const bool record = message.kind == sim::SimDevice::Received::Record;
            std::fprintf(stderr, "%s %d (%d bytes): %s\n", record ? "record" : "command",
                         message.index + 1, int(message.bytes.size()),
                         sim::Behaviour::verdictName(verdict));
        }
    });
    // A device that went away ends the simulator as a signal would: its summary, its save.
    device.setHangUpObserver([&](const sim::SimDevice::Received &message) {
        {
            std::lock_guard<std::mutex> lock(tally.mutex);
            tally.wentAwayOn = message.index + 1;
        }
        if (logMessages)
            std::fprintf(stderr, "record %d (%d bytes): %s\n", message.index + 1,
                         int(message.bytes.size()),
                         sim::Behaviour::verdictName(sim::Behaviour::Verdict::HungUp));
        onSignal(0);
    });
    if (faults.chaosSlow) {
        const sim::Chaos::Slow slow = behaviour.slow();
        printLine(QStringLiteral("bootloader-sim: slow device: first record %1, others %2, the "
                                 "last %3")
                      .arg(slowTime(slow.firstMs), slowTime(slow.recordMs),
                           faults.recordCount > 0 ? slowTime(slow.lastMs)
                                                  : QStringLiteral("as the others")));
    }
    if (!device.start()) {
        printLine(QStringLiteral("bootloader-sim: cannot open a pseudo-terminal"));
        return kExitFailure;
    }
    std::printf("%s\n", device.portName().toLocal8Bit().constData());
    std::fflush(stdout);

    app.exec();
    device.stop();

    std::lock_guard<std::mutex> lock(tally.mutex);
    if (tally.wentAwayOn > 0)
        printLine(QStringLiteral("bootloader-sim: went away on record %1, as an unplugged board")
                      .arg(tally.wentAwayOn));
    QString summary =
        QStringLiteral("bootloader-sim: records: %1 received, %2 acknowledged, %3 refused; "
                       "commands: %4")
            .arg(tally.records)
            .arg(tally.acknowledged)
            .arg(tally.refused)
            .arg(tally.commands);
    int code = 0;
    bool saved = false;
    if (parser.isSet(save)) {
        QSaveFile saveFile(savePath);
        if (saveFile.open(QIODevice::WriteOnly) &&
            saveFile.write(tally.image) == tally.image.size() && saveFile.commit()) {
            saved = true;
            summary +=
                QStringLiteral("; saved %1 bytes to %2").arg(tally.image.size()).arg(savePath);
        } else {
            summary +=
                QStringLiteral("; cannot write %1: %2").arg(savePath, saveFile.errorString());
            code = kExitFailure;
        }
    }
    printLine(summary);
    if (parser.isSet(report)) {
        const QJsonObject verdicts{
            {"records", tally.records},
            {"acknowledged", tally.acknowledged},
            {"refused", tally.refused},
            {"commands", tally.commands},
            {"saved", saved ? QJsonValue(tally.image.size()) : QJsonValue(QJsonValue::Null)},
            {"went_away", tally.wentAwayOn > 0},
            {"went_away_on",
             tally.wentAwayOn > 0 ? QJsonValue(tally.wentAwayOn) : QJsonValue(QJsonValue::Null)},
            {"held", tally.held},
            {"past_window", tally.pastWindow}};
        QSaveFile reportFile(reportPath);
        if (!reportFile.open(QIODevice::WriteOnly) ||
            reportFile.write(QJsonDocument(verdicts).toJson(QJsonDocument::Compact) + '\n') < 0 ||
            !reportFile.commit()) {
            printLine(QStringLiteral("bootloader-sim: cannot write %1: %2")
                          .arg(reportPath, reportFile.errorString()));
            code = kExitFailure;
        }
    }
    return code;
}
