#include "station.h"

#include "console.h"
#include "events.h"
#include "output.h"
#include "stationrunner.h"
#include "stopsignals.h"
#include "uploads.h"

#include <QElapsedTimer>

namespace cli {

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
    const transfer::RecordList &records = image.loaded.records;
    if (console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("Station: uploading %1 (%2 records) to each port matching "
                                     "%3 as it appears; stop with Ctrl-C")
                          .arg(image.shown, QString::number(records.size()), options.match));

    int stopCode = 0;
    jobs::Station::Hooks hooks;
    hooks.made = [&](jobs::UploadJob &made) {
        jobs::UploadJob *job = &made;
        QObject::connect(
            job, &jobs::UploadJob::started, job,
            [&, job] {
                console::setThreadPort(job->port());
                // A second name of a device in use here is refused on opening, and is no board.
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
    };
    jobs::Station *current = nullptr;
    hooks.finished = [&](const jobs::JobResult &result) {
        const int exit = exitCode(result);
        // In the log first: a board is reported done nowhere before it is accounted for there.
        log.record(result, exit, image);
        if (result.interrupted && stopCode == 0)
            stopCode = exit;
        events::result(result, exit);
        if (result.ok() && console::verbosity() == Verbosity::Quiet)
            return;
        console::line(QStringLiteral("%1  %2  %3  %4 s")
                          .arg(result.port,
                               result.serial.isEmpty() ? QStringLiteral("-") : result.serial,
                               transfer::outcomeText(result.outcome),
                               QString::number(result.seconds, 'f', 1)));
        if (result.cause)
            console::line(QStringLiteral("%1  %2").arg(result.port, result.causeText()));
        console::line(
            QStringLiteral("loaded %1, failed %2").arg(current->loaded()).arg(current->failed()));
    };
    hooks.note = [](const QString &text, bool verbose) {
        if (console::verbosity() >= (verbose ? Verbosity::Verbose : Verbosity::Normal))
            console::line(text);
    };

    jobs::Station station(options.match, records, options.timing, hooks, options.count);
    current = &station;
    QElapsedTimer clock;
    clock.start();
    // Output that can no longer be written ends the station, and so does a log that cannot (a
    // line must not load boards it cannot account for): no new board is taken, and the boards
    // in progress are finished rather than cut short.
    while (stopsignals::requestedExitCode() == 0 && !output::lost() && !log.failed() &&
           !station.batchDone()) {
        station.step(true, clock.elapsed());
        // Woken by a stop request as by a port.
        station.wait(clock.elapsed(), stopsignals::wakeDescriptor());
    }
    station.finish([] { return stopsignals::requestedExitCode() != 0; });

    events::summary(station.loaded(), station.failed());
    if (stopCode != 0)
        return stopCode;
    if (log.failed())
        return kOutputLost;
    if (station.batchDone())
        return kDone;
    return station.failed() == 0 ? kDone : kNotAcknowledged;
}

} // namespace cli
