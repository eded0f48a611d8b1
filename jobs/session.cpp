#include "session.h"

#include "portcheck.h"
#include "station.h"

#include <QElapsedTimer>

#include <cmath>

namespace jobs {

using namespace exitcodes;

namespace {

// Why the results log cannot be had, as the session says it.
transfer::Cause logLost(const QString &path, const QString &error) {
    transfer::Cause lost;
    lost.kind = transfer::Cause::Kind::OutputLost;
    lost.path = path;
    lost.systemText = error;
    return lost;
}

} // namespace

QString outcomeText(const BoardResult &result) {
    if (result.ok() && result.onRecord == false)
        return QStringLiteral("Firmware loaded, but not on record");
    return transfer::outcomeText(result.outcome);
}

int Session::exitCode(const BoardResult &result) const {
    if (result.interrupted())
        return stopCode() ? stopCode() : int(kInterrupted);
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

Session::Session(RunSettings settings, Hooks hooks, StopRequest stop)
    : m_settings(std::move(settings))
    , m_hooks(std::move(hooks))
    , m_stop(std::move(stop)) {}

Session::~Session() = default;

void Session::say(const QString &text, Say say) const {
    if (m_hooks.note)
        m_hooks.note(text, say);
}

void Session::end() {
    if (m_hooks.ended)
        m_hooks.ended(m_loaded, m_failed);
}

bool Session::prepare(int boards) {
    m_failed = boards;
    const QString &shown = m_settings.image;
    m_image =
        transfer::loadImage(ports::reachByBytes(shown, m_settings.imageRaw, ports::Reach::Read));
    m_code = kImageRefused;
    if (m_image.refusal) {
        say(transfer::outcomeText(*m_image.refusal), Say::Always);
        say(transfer::imageRefusal(m_image.cause, shown).text(), Say::Always);
        end();
        return false;
    }
    m_sha256 = QString::fromLatin1(m_image.summary.sha256);
    // Checked before any port is opened: an old build under the same name is never loaded.
    if (!m_settings.sha256.isEmpty() && m_settings.sha256 != m_sha256) {
        transfer::Cause mismatch;
        mismatch.kind = transfer::Cause::Kind::DigestMismatch;
        mismatch.path = shown;
        mismatch.sha256 = m_sha256;
        mismatch.expectedSha256 = m_settings.sha256;
        say(mismatch.text(), Say::Always);
        end();
        return false;
    }
    QString error;
    // Another program's lock on the log is waited for, said, and given up on a stop request.
    m_log.setWaiting([this] { return stopCode() != 0; },
                     [this](const QString &text) { say(text, Say::Always); });
    if (!m_settings.logPath.isEmpty() && !m_log.open(m_settings.logPath, &error)) {
        m_stopCode = stopCode();
        say(logLost(m_settings.logPath, error).text(), Say::Error);
        m_code = kOutputLost;
        end();
        return false;
    }
    m_code = kDone;
    m_failed = 0;
    return true;
}

// In the log first: a board is reported done nowhere before it is accounted for there. Safe
// from any thread.
BoardResult Session::record(BoardResult result, int exit) {
    if (m_log.isOpen()) {
        resultlog::Record record = resultlog::Record::now();
        record.station = m_settings.station;
        record.slot = result.slot;
        record.port = result.port;
        record.path = result.where();
        record.serial = result.serial;
        record.usb = result.usb;
        record.sends = result.sends;
        record.image = result.image;
        record.sha256 = result.sha256;
        record.unit = result.unit;
        record.records = result.records;
        record.acknowledged = result.acknowledged;
        record.seconds = result.seconds;
        record.loaded = result.ok();
        record.exit = exit;
        record.causeKind = result.causeKind();
        record.cause = result.causeText();
        QString error;
        result.onRecord = m_log.append(record.toJson(), &error);
        if (!*result.onRecord) {
            // Told with the board, whatever became of it: a board is never reported as done
            // when it is not accounted for.
            result.notOnRecord = QStringLiteral("not on the log %1: %2").arg(m_log.path(), error);
            if (!m_logFailed.exchange(true))
                say(logLost(m_log.path(), error).text() + QStringLiteral("; no new board is taken"),
                    Say::Error);
        }
    }
    if (m_hooks.finished)
        m_hooks.finished(result, exit);
    return result;
}

void Session::run(const QStringList &ports, const QByteArrayList &raw, Operation operation) {
    const bool upload = operation == Operation::Upload;
    std::vector<UploadJob *> all;
    for (int i = 0; i < ports.size(); ++i) {
        m_jobs.push_back(std::make_unique<UploadJob>(ports[i], operation, m_image.records,
                                                     m_settings.waitMs, raw.value(i),
                                                     m_settings.timing));
        UploadJob *job = m_jobs.back().get();
        job->setImage(m_settings.image, upload ? m_sha256 : QString());
        job->setUnitCommand(m_settings.unitCommand);
        all.push_back(job);
        if (upload)
            tellOf(*job, i);
        QObject::connect(
            job, &UploadJob::finished, job,
            [this, job] {
                const BoardResult told = record(job->result(), exitCode(job->result()));
                job->setOnRecord(told.onRecord, told.notOnRecord);
            },
            Qt::DirectConnection);
    }
    for (UploadJob *job : all)
        job->start();
    waitAll(all, [this] { return stopCode() != 0; });

    for (UploadJob *job : all) {
        const BoardResult &result = job->result();
        (result.ok() ? m_loaded : m_failed) += 1;
        const int exit = exitCode(result);
        if (result.interrupted() && m_stopCode == 0)
            m_stopCode = exit;
        if (m_code == kDone)
            m_code = exit;
    }
    end();
}

void Session::tellOf(UploadJob &job, int index) {
    UploadJob *told = &job;
    QObject::connect(
        told, &UploadJob::started, told,
        [this, index, told] {
            if (m_hooks.started && !told->result().secondName())
                m_hooks.started(index, told->result());
        },
        Qt::DirectConnection);
    QObject::connect(
        told, &UploadJob::progress, told,
        [this, index, told](int done, int total, int percent) {
            if (m_hooks.progress)
                m_hooks.progress(index, told->result(), done, total, percent);
        },
        Qt::DirectConnection);
}

void Session::watch(const QString &selector, int count) {
    // Each slot's port, with its label, and the ports of the selector, with none.
    ports::SelectorList selectors;
    for (const Slot &slot : m_settings.slotList)
        selectors.push_back({slot.port, slot.label});
    if (!selector.isEmpty())
        selectors.push_back({selector, QString()});
    Station::Hooks hooks;
    hooks.made = [this](UploadJob &job) {
        job.setImage(m_settings.image, m_sha256);
        job.setUnitCommand(m_settings.unitCommand);
        tellOf(job, -1);
    };
    Station *current = nullptr;
    hooks.finished = [&](const BoardResult &result) {
        const int exit = exitCode(result);
        if (result.interrupted() && m_stopCode == 0)
            m_stopCode = exit;
        m_loaded = current->loaded();
        m_failed = current->failed();
        record(result, exit);
    };
    hooks.gone = m_hooks.gone;
    hooks.note = [this](const QString &text, bool verbose) {
        say(text, verbose ? Say::Verbose : Say::Normal);
    };

    Station station(selectors, m_image.records, m_settings.timing, hooks, count);
    current = &station;
    QElapsedTimer clock;
    clock.start();
    // Output that can no longer be written ends the station, and so does a log that cannot (a
    // line must not load boards it cannot account for): no new board is taken, and the boards
    // in progress are finished rather than cut short.
    while (stopCode() == 0 && !(m_hooks.lost && m_hooks.lost()) && !m_logFailed &&
           !station.batchDone()) {
        station.step(true, clock.elapsed());
        // Woken by a stop request as by a port.
        station.wait(clock.elapsed(), m_stop.wakeFd);
    }
    station.finish([this] { return stopCode() != 0; });
    m_loaded = station.loaded();
    m_failed = station.failed();
    m_code = station.batchDone() || m_failed == 0 ? kDone : kNotAcknowledged;
    end();
}

std::vector<const BoardResult *> Session::results() const {
    std::vector<const BoardResult *> all;
    for (const auto &job : m_jobs)
        all.push_back(&job->result());
    return all;
}

int Session::exitCode() const {
    if (m_stopCode != 0)
        return m_stopCode;
    // The boards went unaccounted for: that outweighs what became of them.
    return m_logFailed ? int(kOutputLost) : m_code;
}

} // namespace jobs
