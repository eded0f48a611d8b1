#include "station.h"

#include "board.h"
#include "console.h"
#include "imagefile.h"
#include "portselect.h"
#include "stopsignals.h"
#include "uploads.h"

#include <QSet>
#include <QThread>

#include <algorithm>
#include <climits>

#include <list>
#include <memory>

namespace cli {

namespace {

// How often the ports are looked for.
constexpr int kPollMs = 250;

struct Tally {
    int loaded = 0;
    int failed = 0;
    int stopCode = 0;
};

void report(const Board &board, Tally *tally) {
    const events::Result &result = board.result();
    (result.ok ? tally->loaded : tally->failed) += 1;
    if (result.interrupted && tally->stopCode == 0)
        tally->stopCode = result.exit;
    events::result(result);
    if (result.ok && console::verbosity() == Verbosity::Quiet)
        return;
    console::line(QStringLiteral("%1  %2  %3  %4 s")
                      .arg(board.port(),
                           result.serial.isEmpty() ? QStringLiteral("-") : result.serial,
                           result.outcome)
                      .arg(result.seconds, 0, 'f', 1));
    if (!result.cause.isEmpty())
        console::line(QStringLiteral("%1  %2").arg(board.port(), result.cause));
    console::line(QStringLiteral("loaded %1, failed %2").arg(tally->loaded).arg(tally->failed));
}

} // namespace

int runStation(const Options &options) {
    if (options.operands.size() != 1 || options.match.isEmpty())
        return usageError(QStringLiteral("station takes FILE and --match SELECTOR"));
    if (ports::isUsbIdentity(options.match) && !ports::usbIdentityError(options.match).isEmpty())
        return usageError(ports::usbIdentityError(options.match));

    imagefile::Image image{imagePath(options, 0), options.operands[0], {}, {}};
    if (!imagefile::read(&image))
        return kImageRefused;
    if (console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("Station: uploading %1 (%2 records) to each port matching "
                                     "%3 as it appears; stop with Ctrl-C")
                          .arg(image.shown)
                          .arg(image.loaded.records.size())
                          .arg(options.match));

    Board::Hooks hooks;
    hooks.started = [&](Board &board) {
        events::start(board.port(), image.shown, image.loaded.records.size(), image.sha256);
    };
    hooks.acknowledged = [](Board &board, int done, int total, int percent) {
        events::progress(board.port(), done, total, percent);
    };

    Tally tally;
    // Ports seen and handled; one is taken again only after it went away and came back.
    QSet<QString> handled;
    std::list<std::unique_ptr<Board>> running;
    int next = 0;
    const auto reap = [&] {
        for (auto it = running.begin(); it != running.end();) {
            if ((*it)->wait(0)) {
                report(**it, &tally);
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    };
    while (stopsignals::requestedExitCode() == 0) {
        const QStringList present = ports::matching(options.match);
        for (const QString &port : present) {
            if (handled.contains(port))
                continue;
            handled.insert(port);
            running.push_back(std::make_unique<Board>(next++, port, &image, 0, hooks));
            running.back()->start(true);
        }
        reap();
        for (auto it = handled.begin(); it != handled.end();) {
            const QString port = *it;
            const bool busy = std::any_of(running.begin(), running.end(),
                                          [&](const auto &board) { return board->port() == port; });
            if (!present.contains(port) && !busy)
                it = handled.erase(it);
            else
                ++it;
        }
        for (int slept = 0; slept < kPollMs && stopsignals::requestedExitCode() == 0; slept += 50)
            QThread::msleep(50);
    }

    for (const auto &board : running)
        board->requestStop();
    for (const auto &board : running)
        board->wait(INT_MAX);
    reap();
    events::summary(tally.loaded, tally.failed);
    if (tally.stopCode != 0)
        return tally.stopCode;
    return tally.failed == 0 ? kDone : kNotAcknowledged;
}

} // namespace cli
