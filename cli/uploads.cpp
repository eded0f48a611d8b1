#include "uploads.h"

#include "board.h"
#include "console.h"
#include "fileoperand.h"
#include "imagefile.h"
#include "portselect.h"
#include "progressview.h"
#include "stopsignals.h"

#include <QFileInfo>

#include <cstdio>
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

// Prints a board's outcome and its cause, each line beginning with the port when several
// ports are in use; a success only when not quiet.
void printOutcome(const Board &board, bool prefixed) {
    const events::Result &result = board.result();
    if (result.ok && console::verbosity() == Verbosity::Quiet)
        return;
    const QString prefix = prefixed ? board.port() + QStringLiteral(": ") : QString();
    console::line(prefix + result.outcome);
    if (!result.cause.isEmpty())
        console::line(prefix + result.cause);
}

void printSummary(const std::vector<std::unique_ptr<Board>> &boards) {
    QStringList ports{QStringLiteral("port")};
    QStringList outcomes{QStringLiteral("outcome")};
    QStringList records{QStringLiteral("records")};
    QStringList seconds{QStringLiteral("seconds")};
    for (const auto &board : boards) {
        const events::Result &result = board->result();
        ports << board->port();
        outcomes << (result.interrupted ? QStringLiteral("Interrupted") : result.outcome);
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

// Starts every board and waits for all of them, passing a stop request on to each.
void runAll(const std::vector<std::unique_ptr<Board>> &boards, bool prefixTrace) {
    for (const auto &board : boards)
        board->start(prefixTrace);
    bool stopping = false;
    for (const auto &board : boards) {
        while (!board->wait(50)) {
            if (!stopping && stopsignals::requestedExitCode() != 0) {
                stopping = true;
                for (const auto &each : boards)
                    each->requestStop();
            }
        }
    }
}

} // namespace

QString imagePath(const Options &options, int index) {
    return fileoperand::openablePath(options.operands.at(index), options.rawOperands.value(index));
}

int runUpload(const Options &options) {
    if (options.operands.size() < 2)
        return usageError(QStringLiteral("upload takes PORT... and FILE"));
    const QStringList portOperands = options.operands.mid(0, options.operands.size() - 1);
    const QString file = options.operands.last();
    if (ports::looksLikePort(file) && QFileInfo(portOperands.first()).isFile())
        return usageError(QStringLiteral("FILE and PORT are the wrong way round: '%1' is a "
                                         "port, '%2' a file; give the ports first and the "
                                         "image last")
                              .arg(file, portOperands.first()));
    for (const QString &port : portOperands) {
        if (ports::isUsbIdentity(port) && !ports::usbIdentityError(port).isEmpty())
            return usageError(ports::usbIdentityError(port));
    }
    const QString same = ports::sameDevice(portOperands);
    if (!same.isEmpty())
        return usageError(QStringLiteral("%1 are the same device").arg(same));

    const bool several = portOperands.size() > 1;
    const Verbosity verbosity = console::verbosity();
    if (verbosity != Verbosity::Quiet)
        console::line(QStringLiteral("Uploading %1 to %2").arg(file, portOperands.join(", ")));
    imagefile::Image image{imagePath(options, options.operands.size() - 1), file, {}, {}};
    if (!imagefile::read(&image)) {
        // The summary is always the last event: no port got the image.
        events::summary(0, int(portOperands.size()));
        return kImageRefused;
    }

    QList<qint64> recordEnds;
    qint64 sent = 0;
    for (const QByteArray &record : image.loaded.records)
        recordEnds << (sent += record.size());
    // The trace would break into bars drawn in place, so -v always gets plain lines.
    std::unique_ptr<ProgressView> view;
    if (verbosity != Verbosity::Quiet)
        view = std::make_unique<ProgressView>(
            portOperands, recordEnds, verbosity == Verbosity::Normal && ::isatty(STDERR_FILENO));

    Board::Hooks hooks;
    hooks.started = [&](Board &board) {
        events::start(board.port(), file, image.loaded.records.size(), image.sha256);
        if (view)
            view->started(board.index());
    };
    hooks.acknowledged = [&](Board &board, int done, int total, int percent) {
        events::progress(board.port(), done, total, percent);
        if (view)
            view->acknowledged(board.index(), done, total, percent);
    };
    hooks.finished = [&](Board &board) {
        events::result(board.result());
        // One port reports after its progress line has ended, as before.
        if (several)
            printOutcome(board, true);
    };
    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < portOperands.size(); ++i)
        boards.push_back(std::make_unique<Board>(i, portOperands[i], &image, options.waitMs, hooks,
                                                 options.rawOperands.value(i)));
    runAll(boards, several);
    if (view)
        view->finish();

    int loaded = 0;
    int code = kDone;
    int stopCode = 0;
    for (const auto &board : boards) {
        const events::Result &result = board->result();
        if (!several)
            printOutcome(*board, false);
        loaded += result.ok ? 1 : 0;
        if (result.interrupted && stopCode == 0)
            stopCode = result.exit;
        if (code == kDone)
            code = result.exit;
    }
    if (several && verbosity != Verbosity::Quiet)
        printSummary(boards);
    events::summary(loaded, int(boards.size()) - loaded);
    return stopCode != 0 ? stopCode : code;
}

int runEnter(const Options &options) {
    if (options.operands.size() != 1)
        return usageError(QStringLiteral("enter takes PORT only"));
    if (ports::isUsbIdentity(options.operands[0]) &&
        !ports::usbIdentityError(options.operands[0]).isEmpty())
        return usageError(ports::usbIdentityError(options.operands[0]));
    Board::Hooks hooks;
    hooks.finished = [](Board &board) { events::result(board.result()); };
    std::vector<std::unique_ptr<Board>> boards;
    boards.push_back(std::make_unique<Board>(0, options.operands[0], nullptr, options.waitMs, hooks,
                                             options.rawOperands.value(0)));
    runAll(boards, false);
    printOutcome(*boards.front(), false);
    const events::Result &result = boards.front()->result();
    events::summary(result.ok ? 1 : 0, result.ok ? 0 : 1);
    return result.exit;
}

} // namespace cli
