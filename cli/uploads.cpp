#include "uploads.h"

#include "console.h"
#include "events.h"
#include "panel.h"
#include "ports.h"
#include "progressview.h"
#include "server.h"

#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

// Prints a job's outcome and its cause, each line beginning with the port when several ports
// are in use; a success only when not quiet.
void printOutcome(const jobs::JobResult &result, bool prefixed) {
    if (result.ok() && console::verbosity() == Verbosity::Quiet)
        return;
    const QString prefix = prefixed ? result.port + QStringLiteral(": ") : QString();
    console::line(prefix + transfer::outcomeText(result.outcome));
    if (result.cause)
        console::line(prefix + result.causeText());
}

void printSummary(const std::vector<const jobs::JobResult *> &boards) {
    QStringList ports{QStringLiteral("port")};
    QStringList outcomes{QStringLiteral("outcome")};
    QStringList records{QStringLiteral("records")};
    QStringList seconds{QStringLiteral("seconds")};
    for (const jobs::JobResult *board : boards) {
        const jobs::JobResult &result = *board;
        ports << result.port;
        outcomes << (result.interrupted ? QStringLiteral("Interrupted")
                                        : transfer::outcomeText(result.outcome));
        records << QStringLiteral("%1/%2").arg(result.acknowledged).arg(result.records);
        seconds << QString::number(result.seconds, 'f', 1);
    }
    const auto width = [](const QStringList &column) {
        int widest = 0;
        for (const QString &cell : column)
            widest = qMax(widest, cell.size());
        return widest;
    };
    for (int row = 0; row < ports.size(); ++row)
        console::line(ports[row].leftJustified(width(ports)) + QStringLiteral("  ") +
                      outcomes[row].leftJustified(width(outcomes)) + QStringLiteral("  ") +
                      records[row].rightJustified(width(records)) + QStringLiteral("  ") +
                      seconds[row].rightJustified(width(seconds)));
}

// What every run tells alike: its notes on stderr by verbosity, its summary event, and whether
// the output is lost.
jobs::Session::Hooks commonHooks() {
    jobs::Session::Hooks hooks;
    hooks.note = [](const QString &text, jobs::Session::Say say) {
        using Say = jobs::Session::Say;
        if (say == Say::Error)
            console::line(QStringLiteral("bootloader-cli: ") + text);
        else if (say == Say::Always ||
                 console::verbosity() >=
                     (say == Say::Verbose ? Verbosity::Verbose : Verbosity::Normal))
            console::line(text);
    };
    hooks.ended = [](const QJsonObject &summary) { events::write(summary); };
    hooks.lost = [] { return output::lost(); };
    return hooks;
}

// The session's settings from the options; image: the operand that names the image, or -1.
jobs::RunSettings settingsOf(const Options &options, int image) {
    jobs::RunSettings settings = options.run;
    settings.image = options.operands.value(image);
    settings.imageRaw = options.rawOperands.value(image);
    return settings;
}

} // namespace

int runUpload(const Options &options) {
    if (options.operands.size() < 2)
        return usageError(QStringLiteral("upload takes PORT... and FILE"));
    const QStringList portOperands = options.operands.mid(0, options.operands.size() - 1);
    const QString file = options.operands.last();
    const QString wrong = ports::uploadOperandsError(portOperands, file);
    if (!wrong.isEmpty())
        return usageError(wrong);

    const bool several = portOperands.size() > 1;
    const Verbosity verbosity = console::verbosity();
    if (verbosity != Verbosity::Quiet)
        console::line(QStringLiteral("Uploading %1 to %2").arg(file, portOperands.join(", ")));
    std::unique_ptr<ProgressView> view;
    jobs::Session::Hooks hooks = commonHooks();
    hooks.started = [&](int i, const jobs::UploadJob &job, const QJsonObject &event) {
        if (several)
            console::setThreadPort(job.port());
        events::write(event);
        if (view)
            view->started(i);
    };
    hooks.progress = [&](int i, const jobs::UploadJob &, int done, int total, int percent,
                         const QJsonObject &event) {
        events::write(event, output::Kind::Progress);
        if (view)
            view->acknowledged(i, done, total, percent);
    };
    hooks.finished = [several](const jobs::JobResult &result, int, const QJsonObject &event) {
        events::write(event);
        // One port reports after its progress line has ended, as before.
        if (several)
            printOutcome(result, true);
    };
    jobs::Session session(settingsOf(options, int(options.operands.size()) - 1), hooks);
    // The summary is always the last event: no port got the image.
    if (!session.prepare(int(portOperands.size())))
        return session.exitCode();

    QList<qint64> recordEnds;
    qint64 sent = 0;
    for (const QByteArray &record : session.records())
        recordEnds << (sent += record.size());
    // The trace would break into bars drawn in place, so -v always gets plain lines.
    if (verbosity != Verbosity::Quiet)
        view = std::make_unique<ProgressView>(
            portOperands, recordEnds, verbosity == Verbosity::Normal && ::isatty(STDERR_FILENO));
    session.run(portOperands, options.rawOperands, jobs::Operation::Upload);
    if (view)
        view->finish();
    if (!several)
        printOutcome(*session.results().front(), false);
    else if (verbosity != Verbosity::Quiet)
        printSummary(session.results());
    return session.exitCode();
}

int runEnter(const Options &options) {
    if (options.operands.size() != 1)
        return usageError(QStringLiteral("enter takes PORT only"));
    if (!ports::operandError(options.operands[0]).isEmpty())
        return usageError(ports::operandError(options.operands[0]));
    jobs::Session::Hooks hooks = commonHooks();
    hooks.finished = [](const jobs::JobResult &, int, const QJsonObject &event) {
        events::write(event);
    };
    jobs::Session session(settingsOf(options, -1), hooks);
    session.run(options.operands, options.rawOperands, jobs::Operation::EnterBootloader);
    printOutcome(*session.results().front(), false);
    return session.exitCode();
}

int runStation(const Options &options) {
    const bool slotted = !options.run.slotList.empty();
    if (options.operands.size() != 1 || (options.match.isEmpty() && !slotted))
        return usageError(QStringLiteral("station takes FILE and --match SELECTOR"));
    if (!options.match.isEmpty() && !ports::operandError(options.match).isEmpty())
        return usageError(ports::operandError(options.match));
    jobs::Session::Hooks hooks = commonHooks();
    hooks.started = [](int, const jobs::UploadJob &job, const QJsonObject &event) {
        console::setThreadPort(job.port());
        events::write(event);
    };
    hooks.progress = [](int, const jobs::UploadJob &, int, int, int, const QJsonObject &event) {
        events::write(event, output::Kind::Progress);
    };
    const jobs::Session *session = nullptr;
    hooks.finished = [&session, slotted](const jobs::JobResult &result, int,
                                         const QJsonObject &event) {
        events::write(event);
        if (result.ok() && console::verbosity() == Verbosity::Quiet)
            return;
        // With slots, each line begins with the board's slot ("-": a port no slot names).
        const QString slot = session->slotOf(result.port);
        const QString prefix =
            slotted ? (slot.isEmpty() ? QStringLiteral("-") : slot) + QStringLiteral("  ")
                    : QString();
        console::line(prefix +
                      QStringLiteral("%1  %2  %3  %4 s")
                          .arg(result.port,
                               result.serial.isEmpty() ? QStringLiteral("-") : result.serial,
                               transfer::outcomeText(result.outcome),
                               QString::number(result.seconds, 'f', 1)));
        if (result.cause)
            console::line(prefix + QStringLiteral("%1  %2").arg(result.port, result.causeText()));
        console::line(
            QStringLiteral("loaded %1, failed %2").arg(session->loaded()).arg(session->failed()));
    };
    jobs::Session station(settingsOf(options, 0), hooks);
    session = &station;
    // The panel listens before the image is read or any port opened: a refused address ends
    // the station at once.
    panel::Panel shown;
    panel::Server server(shown);
    if (!options.listen.isEmpty()) {
        server.setHosts(options.panelHosts);
        const QString error = server.listen(options.listen);
        if (!error.isEmpty()) {
            console::line(QStringLiteral("bootloader-cli: ") + error);
            return kOutputLost;
        }
        // Port 0 took any free port: which one is told.
        if (options.listen == QLatin1String("0") || options.listen.endsWith(QLatin1String(":0")))
            console::line(QStringLiteral("Panel on %1").arg(server.boundAddress()));
        station.show(&shown);
    }
    if (!station.prepare(0))
        return station.exitCode();
    if (console::verbosity() != Verbosity::Quiet)
        console::line(
            QStringLiteral("Station: uploading %1 (%2 records) to each port %3 as it appears; "
                           "stop with Ctrl-C")
                .arg(
                    options.operands[0], QString::number(station.records().size()),
                    (slotted ? QStringLiteral("of a slot") : QString()) +
                        (slotted && !options.match.isEmpty() ? QStringLiteral(" or ") : QString()) +
                        (options.match.isEmpty() ? QString() : "matching " + options.match)));
    station.watch(options.match, options.count);
    return station.exitCode();
}

} // namespace cli
