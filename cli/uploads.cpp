#include "uploads.h"

#include "console.h"
#include "events.h"
#include "fileoperand.h"
#include "ports.h"
#include "progressview.h"
#include "stopsignals.h"

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

using Jobs = std::vector<std::unique_ptr<jobs::UploadJob>>;

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

void printSummary(const Jobs &boards) {
    QStringList ports{QStringLiteral("port")};
    QStringList outcomes{QStringLiteral("outcome")};
    QStringList records{QStringLiteral("records")};
    QStringList seconds{QStringLiteral("seconds")};
    for (const auto &board : boards) {
        const jobs::JobResult &result = board->result();
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

// Starts every job and waits for all of them, passing a stop request on to each.
// prefixTrace: each job's debug trace lines begin with its port.
void runAll(const Jobs &boards, bool prefixTrace) {
    std::vector<jobs::UploadJob *> all;
    for (const auto &board : boards) {
        jobs::UploadJob *job = board.get();
        if (prefixTrace)
            QObject::connect(
                job, &jobs::UploadJob::started, job, [job] { console::setThreadPort(job->port()); },
                Qt::DirectConnection);
        job->start();
        all.push_back(job);
    }
    jobs::waitAll(all, [] { return stopsignals::requestedExitCode() != 0; });
}

} // namespace

int exitCode(const jobs::JobResult &result) {
    if (result.interrupted)
        return stopsignals::requestedExitCode() ? stopsignals::requestedExitCode()
                                                : int(kInterrupted);
    switch (result.outcome) {
    case transfer::Outcome::FirmwareLoaded:
    case transfer::Outcome::BootloaderEntered:
        return kDone;
    case transfer::Outcome::FileNotOpen:
    case transfer::Outcome::FileEmpty:
    case transfer::Outcome::FirmwareNotFound:
        return kImageRefused;
    case transfer::Outcome::PortNotOpened:
        return kPortNotOpened;
    case transfer::Outcome::FirmwareNotLoaded:
    case transfer::Outcome::BootloaderNotEntered:
        break;
    }
    return kNotAcknowledged;
}

bool readImage(const Options &options, int index, Image *image) {
    image->shown = options.operands.at(index);
    const QString path = fileoperand::openablePath(image->shown, options.rawOperands.value(index));
    image->loaded = transfer::loadImage(path);
    if (image->loaded.refusal) {
        console::line(transfer::outcomeText(*image->loaded.refusal));
        console::line(transfer::imageRefusal(image->loaded.cause, image->shown).text());
        return false;
    }
    image->sha256 = QString::fromLatin1(image->loaded.summary.sha256);
    // Checked before any port is opened: an old build under the same name is never loaded.
    if (!options.sha256.isEmpty() && options.sha256 != image->sha256) {
        transfer::Cause mismatch;
        mismatch.kind = transfer::Cause::Kind::DigestMismatch;
        mismatch.path = image->shown;
        mismatch.sha256 = image->sha256;
        mismatch.expectedSha256 = options.sha256;
        console::line(mismatch.text());
        return false;
    }
    return true;
}

bool RunLog::open(const Options &options) {
    if (options.logPath.isEmpty())
        return true;
    QString error;
    m_station = options.station;
    if (m_log.open(options.logPath, &error))
        return true;
    transfer::Cause lost;
    lost.kind = transfer::Cause::Kind::OutputLost;
    lost.path = options.logPath;
    lost.systemText = error;
    console::line(QStringLiteral("bootloader-cli: ") + lost.text());
    return false;
}

bool RunLog::record(const jobs::JobResult &result, int exit, const Image &image) {
    if (!m_log.isOpen())
        return true;
    resultlog::Record record = resultlog::Record::now();
    record.station = m_station;
    record.port = result.port;
    record.path = result.path.isEmpty() ? result.port : result.path;
    record.serial = result.serial;
    record.usb = result.usb;
    record.sends = result.sends;
    record.image = image.shown;
    record.sha256 = image.sha256;
    record.records = result.records;
    record.acknowledged = result.acknowledged;
    record.seconds = result.seconds;
    record.loaded = result.ok();
    record.exit = exit;
    record.causeKind = result.causeKind();
    record.cause = result.causeText();
    QString error;
    if (m_log.append(record.toJson(), &error))
        return true;
    if (!m_failed.exchange(true))
        console::line(QStringLiteral("bootloader-cli: cannot write the log %1: %2; no new board "
                                     "is taken")
                          .arg(m_log.path(), error));
    return false;
}

int runUpload(const Options &options) {
    if (options.operands.size() < 2)
        return usageError(QStringLiteral("upload takes PORT... and FILE"));
    const QStringList portOperands = options.operands.mid(0, options.operands.size() - 1);
    const QString file = options.operands.last();
    const ports::PortList present = ports::enumerate();
    if (ports::looksLikePort(file, present) &&
        ports::notSerialPort(portOperands.first()).what == transfer::NotSerial::What::RegularFile)
        return usageError(QStringLiteral("FILE and PORT are the wrong way round: '%1' is a "
                                         "port, '%2' a file; give the ports first and the "
                                         "image last")
                              .arg(file, portOperands.first()));
    for (const QString &port : portOperands) {
        if (ports::isUsbIdentity(port) && !ports::usbIdentityError(port).isEmpty())
            return usageError(ports::usbIdentityError(port));
    }
    const QString same = ports::sameDevice(portOperands, present);
    if (!same.isEmpty())
        return usageError(QStringLiteral("%1 are the same device").arg(same));

    const bool several = portOperands.size() > 1;
    const Verbosity verbosity = console::verbosity();
    if (verbosity != Verbosity::Quiet)
        console::line(QStringLiteral("Uploading %1 to %2").arg(file, portOperands.join(", ")));
    Image image;
    if (!readImage(options, int(options.operands.size()) - 1, &image)) {
        // The summary is always the last event: no port got the image.
        events::summary(0, int(portOperands.size()));
        return kImageRefused;
    }
    RunLog log;
    if (!log.open(options)) {
        events::summary(0, int(portOperands.size()));
        return kOutputLost;
    }
    const transfer::RecordList &records = image.loaded.records;

    QList<qint64> recordEnds;
    qint64 sent = 0;
    for (const QByteArray &record : records)
        recordEnds << (sent += record.size());
    // The trace would break into bars drawn in place, so -v always gets plain lines.
    std::unique_ptr<ProgressView> view;
    if (verbosity != Verbosity::Quiet)
        view = std::make_unique<ProgressView>(
            portOperands, recordEnds, verbosity == Verbosity::Normal && ::isatty(STDERR_FILENO));

    Jobs boards;
    for (int i = 0; i < portOperands.size(); ++i) {
        boards.push_back(std::make_unique<jobs::UploadJob>(
            portOperands[i], jobs::Operation::Upload, records, options.waitMs,
            options.rawOperands.value(i), options.timing));
        jobs::UploadJob *job = boards.back().get();
        QObject::connect(
            job, &jobs::UploadJob::started, job,
            [&, i, job] {
                events::start(job->port(), file, records.size(), image.sha256);
                if (view)
                    view->started(i);
            },
            Qt::DirectConnection);
        QObject::connect(
            job, &jobs::UploadJob::progress, job,
            [&, i, job](int done, int total, int percent) {
                events::progress(job->port(), done, total, percent);
                if (view)
                    view->acknowledged(i, done, total, percent);
            },
            Qt::DirectConnection);
        QObject::connect(
            job, &jobs::UploadJob::finished, job,
            [&, several, job] {
                log.record(job->result(), exitCode(job->result()), image);
                events::result(job->result(), exitCode(job->result()));
                // One port reports after its progress line has ended, as before.
                if (several)
                    printOutcome(job->result(), true);
            },
            Qt::DirectConnection);
    }
    runAll(boards, several);
    if (view)
        view->finish();

    int loaded = 0;
    int code = kDone;
    int stopCode = 0;
    for (const auto &board : boards) {
        const jobs::JobResult &result = board->result();
        if (!several)
            printOutcome(result, false);
        loaded += result.ok() ? 1 : 0;
        if (result.interrupted && stopCode == 0)
            stopCode = exitCode(result);
        if (code == kDone)
            code = exitCode(result);
    }
    if (several && verbosity != Verbosity::Quiet)
        printSummary(boards);
    events::summary(loaded, int(boards.size()) - loaded);
    if (stopCode != 0)
        return stopCode;
    // The boards went unaccounted for: that outweighs what became of them.
    return log.failed() ? int(kOutputLost) : code;
}

int runEnter(const Options &options) {
    if (options.operands.size() != 1)
        return usageError(QStringLiteral("enter takes PORT only"));
    if (ports::isUsbIdentity(options.operands[0]) &&
        !ports::usbIdentityError(options.operands[0]).isEmpty())
        return usageError(ports::usbIdentityError(options.operands[0]));
    const transfer::RecordList none;
    Jobs boards;
    boards.push_back(std::make_unique<jobs::UploadJob>(
        options.operands[0], jobs::Operation::EnterBootloader, none, options.waitMs,
        options.rawOperands.value(0), options.timing));
    jobs::UploadJob *job = boards.back().get();
    QObject::connect(
        job, &jobs::UploadJob::finished, job,
        [job] { events::result(job->result(), exitCode(job->result())); }, Qt::DirectConnection);
    runAll(boards, false);
    const jobs::JobResult &result = job->result();
    printOutcome(result, false);
    events::summary(result.ok() ? 1 : 0, result.ok() ? 0 : 1);
    return exitCode(result);
}

} // namespace cli
