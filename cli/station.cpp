#include "station.h"

#include "console.h"
#include "events.h"
#include "output.h"
#include "portwatch.h"
#include "stopsignals.h"
#include "uploads.h"

#include <QElapsedTimer>
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

void report(const jobs::JobResult &result, Tally *tally, RunLog &log, const Image &image) {
    const int exit = exitCode(result);
    // In the log first: a board is reported done nowhere before it is accounted for there.
    log.record(result, exit, image);
    (result.ok() ? tally->loaded : tally->failed) += 1;
    if (result.interrupted && tally->stopCode == 0)
        tally->stopCode = exit;
    events::result(result, exit);
    if (result.ok() && console::verbosity() == Verbosity::Quiet)
        return;
    console::line(
        QStringLiteral("%1  %2  %3  %4 s")
            .arg(result.port, result.serial.isEmpty() ? QStringLiteral("-") : result.serial,
                 transfer::outcomeText(result.outcome), QString::number(result.seconds, 'f', 1)));
    if (!result.cause.isEmpty())
        console::line(QStringLiteral("%1  %2").arg(result.port, result.cause));
    console::line(QStringLiteral("loaded %1, failed %2").arg(tally->loaded).arg(tally->failed));
}

} // namespace

int runStation(const Options &options) {
    if (options.operands.size() != 1 || options.match.isEmpty())
        return usageError(QStringLiteral("station takes FILE and --match SELECTOR"));
    if (ports::isUsbIdentity(options.match) && !ports::usbIdentityError(options.match).isEmpty())
        return usageError(ports::usbIdentityError(options.match));

    Image image;
    if (!readImage(options, 0, &image)) {
        events::summary(0, 0);
        return kImageRefused;
    }
    RunLog log;
    if (!log.open(options)) {
        events::summary(0, 0);
        return kOutputLost;
    }
    if (console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("Station: uploading %1 (%2 records) to each port matching "
                                     "%3 as it appears; stop with Ctrl-C")
                          .arg(image.shown)
                          .arg(image.loaded.records.size())
                          .arg(options.match));

    const transfer::RecordList &records = image.loaded.records;
    Tally tally;
    ports::PortWatch watch(options.match);
    std::list<std::unique_ptr<jobs::UploadJob>> running;
    const auto say = [](const QStringList &lines, Verbosity least) {
        for (const QString &line : lines) {
            if (!line.isEmpty() && console::verbosity() >= least)
                console::line(line);
        }
    };
    const auto reap = [&] {
        for (auto it = running.begin(); it != running.end();) {
            if (!(*it)->wait(0)) {
                ++it;
                continue;
            }
            const jobs::JobResult &result = (*it)->result();
            // A second name of a device being loaded is no board: neither loaded nor failed.
            if (result.outcome == transfer::Outcome::PortNotOpened &&
                !result.sameDeviceAs.isEmpty())
                say({watch.refusedAsSameDevice(result.port, result.sameDeviceAs)},
                    Verbosity::Verbose);
            else
                report(result, &tally, log, image);
            it = running.erase(it);
        }
    };
    const auto busy = [&](const QString &port) {
        return std::any_of(running.begin(), running.end(),
                           [&](const auto &board) { return board->port() == port; });
    };
    QElapsedTimer clock;
    clock.start();
    // A batch (--count) is done once that many boards have loaded.
    const auto batchDone = [&] { return options.count > 0 && tally.loaded >= options.count; };
    // Output that can no longer be written ends the station, and so does a log that cannot (a
    // line must not load boards it cannot account for): no new board is taken, and the boards
    // in progress are finished below rather than cut short.
    while (stopsignals::requestedExitCode() == 0 && !output::lost()) {
        reap();
        if (log.failed() || batchDone())
            break;
        const ports::PortWatch::Step step = watch.poll(ports::enumerate(), busy, clock.elapsed());
        say(step.passedOver, Verbosity::Verbose);
        if (!step.waiting.isEmpty())
            say({step.waiting}, Verbosity::Normal);
        for (const QString &port : step.take) {
            // A batch takes no more boards than it still needs; the rest wait their turn.
            if (options.count > 0 && tally.loaded + int(running.size()) >= options.count) {
                watch.release(port);
                continue;
            }
            running.push_back(
                std::make_unique<jobs::UploadJob>(port, jobs::Operation::Upload, records));
            jobs::UploadJob *job = running.back().get();
            QObject::connect(
                job, &jobs::UploadJob::started, job,
                [&, job] {
                    console::setThreadPort(job->port());
                    // A second name of a device in use here is refused on opening, and is no
                    // board.
                    if (transfer::inUseAs(job->result().path).isEmpty())
                        events::start(job->port(), image.shown, records.size(), image.sha256);
                },
                Qt::DirectConnection);
            QObject::connect(
                job, &jobs::UploadJob::progress, job,
                [job](int done, int total, int percent) {
                    events::progress(job->port(), done, total, percent);
                },
                Qt::DirectConnection);
            job->start();
        }
        for (int slept = 0; slept < kPollMs && stopsignals::requestedExitCode() == 0; slept += 50)
            QThread::msleep(50);
    }

    bool stopping = false;
    for (const auto &board : running) {
        while (!board->wait(50)) {
            if (!stopping && stopsignals::requestedExitCode() != 0) {
                stopping = true;
                for (const auto &each : running)
                    each->requestStop();
            }
        }
    }
    reap();
    events::summary(tally.loaded, tally.failed);
    if (tally.stopCode != 0)
        return tally.stopCode;
    if (log.failed())
        return kOutputLost;
    if (batchDone())
        return kDone;
    return tally.failed == 0 ? kDone : kNotAcknowledged;
}

} // namespace cli
