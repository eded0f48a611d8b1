#include "uploads.h"

#include "console.h"
#include "events.h"
#include "panel.h"
#include "ports.h"
#include "progressview.h"
#include "server.h"
#include "stopsignals.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#define STDOUT_FILENO 1
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

// Prints a job's outcome and its cause, each line beginning with the port when several ports
// are in use; a success only when not quiet.
void printOutcome(const jobs::BoardResult &result, bool prefixed) {
    if (result.ok() && result.onRecord != false && console::verbosity() == Verbosity::Quiet)
        return;
    const QString prefix = prefixed ? result.port + QStringLiteral(": ") : QString();
    console::line(prefix + jobs::outcomeText(result));
    if (result.cause)
        console::line(prefix + result.causeText());
    if (!result.notOnRecord.isEmpty())
        console::line(prefix + result.notOnRecord);
}

void printSummary(const std::vector<const jobs::BoardResult *> &boards) {
    QStringList ports{QStringLiteral("port")};
    QStringList outcomes{QStringLiteral("outcome")};
    QStringList records{QStringLiteral("records")};
    QStringList seconds{QStringLiteral("seconds")};
    for (const jobs::BoardResult *board : boards) {
        const jobs::BoardResult &result = *board;
        ports << result.port;
        outcomes << (result.interrupted() ? QStringLiteral("Interrupted")
                                          : jobs::outcomeText(result));
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

// A station's boards in progress on a terminal: a line each, redrawn in place below what is
// said, which is written above them. Safe from any thread.
class BoardLines {
public:
    BoardLines() {
        console::setLineSink([this](const QString &text) {
            QByteArray out = cleared();
            console::raw(out + text.toLocal8Bit() + '\n' + block());
        });
    }
    ~BoardLines() {
        console::setLineSink(nullptr);
        console::locked([this] { console::raw(cleared()); });
    }
    BoardLines(const BoardLines &) = delete;
    BoardLines &operator=(const BoardLines &) = delete;

    void progress(const QString &board, int percent) {
        console::locked([&] {
            const bool added = !m_percent.contains(board);
            if (!added && m_percent.value(board) == percent)
                return;
            m_percent.insert(board, percent);
            // A redraw that keeps the block's size may be left out when stderr falls behind:
            // each leaves the cursor where the one before it did.
            const QByteArray out = cleared();
            console::raw(out + block(), added ? output::Kind::Kept : output::Kind::Progress);
        });
    }
    void ended(const QString &board) {
        console::locked([&] {
            if (m_percent.remove(board) > 0) {
                const QByteArray out = cleared();
                console::raw(out + block());
            }
        });
    }

private:
    // Called with the console's lock held: what takes the block away (cleared() before block(),
    // which counts the lines it draws).
    QByteArray cleared() {
        const QByteArray out =
            m_drawn > 0 ? "\x1b[" + QByteArray::number(m_drawn) + "A\r\x1b[J" : QByteArray();
        m_drawn = 0;
        return out;
    }
    QByteArray block() {
        int width = 0;
        for (auto it = m_percent.constBegin(); it != m_percent.constEnd(); ++it)
            width = qMax(width, it.key().size());
        QByteArray out;
        for (auto it = m_percent.constBegin(); it != m_percent.constEnd(); ++it) {
            const int filled = it.value() * 30 / 100;
            out += it.key().leftJustified(width).toLocal8Bit() + "  [" + QByteArray(filled, '#') +
                   QByteArray(30 - filled, '.') + "] " +
                   QByteArray::number(it.value()).rightJustified(3) + "%\n";
        }
        m_drawn = int(m_percent.size());
        return out;
    }

    QMap<QString, int> m_percent;
    int m_drawn = 0;
};

// The slots a path glob --match also takes in, by their labels: their link's path, or the node
// it leads to now, matches it.
QStringList slotsCovered(const QString &match, const std::vector<jobs::Slot> &list) {
    QStringList covered;
    if (match.isEmpty() || ports::isUsbIdentity(match))
        return covered;
    const QString pattern =
        match.contains(QLatin1Char('/')) ? match : QStringLiteral("/dev/") + match;
    const QRegularExpression glob(QRegularExpression::anchoredPattern(
        QRegularExpression::wildcardToRegularExpression(pattern)));
    for (const jobs::Slot &slot : list) {
        if (ports::isUsbIdentity(slot.port))
            continue;
        const QString node = QFileInfo(slot.port).canonicalFilePath();
        if (glob.match(slot.port).hasMatch() || (!node.isEmpty() && glob.match(node).hasMatch()))
            covered << slot.label;
    }
    return covered;
}

// A stop request, as the session is given it.
jobs::StopRequest stopRequest() {
    return {jobs::stopsignals::requestedExitCode, jobs::stopsignals::wakeDescriptor()};
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
    hooks.ended = [](int loaded, int failed) { events::write(events::summary(loaded, failed)); };
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
    hooks.started = [&](int i, const jobs::BoardResult &board) {
        if (several)
            console::setThreadPort(board.port);
        events::write(events::start(board));
        if (view)
            view->started(i);
    };
    hooks.progress = [&](int i, const jobs::BoardResult &board, int done, int total, int percent) {
        events::write(events::progress(board, done, total, percent), output::Kind::Progress);
        if (view)
            view->acknowledged(i, done, total, percent);
    };
    hooks.finished = [several](const jobs::BoardResult &result, int exit) {
        events::write(events::result(result, exit));
        // A single port reports once its progress line has ended, after the run.
        if (several)
            printOutcome(result, true);
    };
    jobs::Session session(settingsOf(options, int(options.operands.size()) - 1), hooks,
                          stopRequest());
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
    hooks.finished = [](const jobs::BoardResult &result, int exit) {
        events::write(events::result(result, exit));
    };
    jobs::Session session(settingsOf(options, -1), hooks, stopRequest());
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
    // The panel, when served: a tile a slot, or a port where no slot names it.
    panel::Panel shown;
    panel::Panel *panel = options.listen.isEmpty() ? nullptr : &shown;
    const auto tile = [](const QString &port, const QString &slot) {
        return slot.isEmpty() ? port : slot;
    };
    hooks.started = [panel, tile](int, const jobs::BoardResult &board) {
        console::setThreadPort(board.port);
        events::write(events::start(board));
        if (panel)
            panel->started(tile(board.port, board.slot), board.port, board.records);
    };
    // On a terminal (stdout's and stderr's), a line per board in progress; plain lines
    // otherwise.
    std::unique_ptr<BoardLines> lines;
    if (console::verbosity() == Verbosity::Normal && ::isatty(STDOUT_FILENO) &&
        ::isatty(STDERR_FILENO))
        lines = std::make_unique<BoardLines>();
    BoardLines *shownLines = lines.get();
    hooks.progress = [panel, tile, shownLines](int, const jobs::BoardResult &board, int done,
                                               int total, int percent) {
        events::write(events::progress(board, done, total, percent), output::Kind::Progress);
        if (panel)
            panel->progress(tile(board.port, board.slot), percent);
        if (shownLines)
            shownLines->progress(tile(board.port, board.slot), percent);
    };
    hooks.gone = [panel, tile](const QString &port, const QString &slot) {
        events::write(events::gone(port, slot));
        if (panel)
            panel->gone(tile(port, slot));
    };
    const jobs::Session *session = nullptr;
    hooks.finished = [&session, slotted, panel, tile, shownLines](const jobs::BoardResult &result,
                                                                  int exit) {
        events::write(events::result(result, exit));
        if (shownLines)
            shownLines->ended(tile(result.port, result.slot));
        if (panel)
            panel->finished(tile(result.port, result.slot), result.ok(), result.causeKind(),
                            result.causeText(), result.seconds,
                            // Sends beyond one per record sent; a failure sent its last once.
                            result.sends - result.acknowledged - (result.ok() ? 0 : 1));
        if (result.ok() && result.onRecord != false && console::verbosity() == Verbosity::Quiet)
            return;
        // With slots, each line begins with the board's slot ("-": a port no slot names).
        const QString prefix =
            slotted
                ? (result.slot.isEmpty() ? QStringLiteral("-") : result.slot) + QStringLiteral("  ")
                : QString();
        console::line(prefix +
                      QStringLiteral("%1  %2  %3  %4 s")
                          .arg(result.port,
                               result.serial.isEmpty() ? QStringLiteral("-") : result.serial,
                               jobs::outcomeText(result), QString::number(result.seconds, 'f', 1)));
        if (result.cause)
            console::line(prefix + QStringLiteral("%1  %2").arg(result.port, result.causeText()));
        if (!result.notOnRecord.isEmpty())
            console::line(prefix + QStringLiteral("%1  %2").arg(result.port, result.notOnRecord));
        console::line(
            QStringLiteral("loaded %1, failed %2").arg(session->loaded()).arg(session->failed()));
    };
    jobs::Session station(settingsOf(options, 0), hooks, stopRequest());
    session = &station;
    // The panel listens before the image is read or any port opened: a refused address ends
    // the station at once.
    panel::Server server(shown);
    if (panel) {
        server.setHosts(options.panelHosts);
        const QString error = server.listen(options.listen);
        if (!error.isEmpty()) {
            console::line(QStringLiteral("bootloader-cli: ") + error);
            return kCannotBind;
        }
        // Port 0 took any free port: which one is told.
        if (options.listen == QLatin1String("0") || options.listen.endsWith(QLatin1String(":0")))
            console::line(QStringLiteral("Panel on %1").arg(server.boundAddress()));
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
    const QStringList covered = slotsCovered(options.match, options.run.slotList);
    if (!covered.isEmpty() && console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("--match %1 also covers slot%2 %3: a board on a slot's "
                                     "device is that slot's, whichever name appears first")
                          .arg(options.match, covered.size() == 1 ? "" : "s",
                               covered.join(QStringLiteral(", "))));
    if (panel) {
        shown.setStation(options.run.station);
        shown.setImage(options.operands[0], station.sha256(),
                       QCoreApplication::applicationVersion());
        for (const jobs::Slot &slot : options.run.slotList)
            shown.addSlot(slot.label, slot.port);
    }
    station.watch(options.match, options.count);
    lines.reset();
    return station.exitCode();
}

} // namespace cli
