#include "session.h"

#include "panel.h"
#include "portcheck.h"
#include "stationrunner.h"
#include "stopsignals.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cmath>

namespace jobs {

namespace events {

namespace {

QJsonValue stringOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

} // namespace

QJsonObject start(const QString &port, const QString &image, int records, const QString &sha256) {
    return {{"event", "start"},
            {"port", port},
            {"image", image},
            {"records", records},
            {"sha256", sha256}};
}

QJsonObject progress(const QString &port, int acknowledged, int records, int percent) {
    return {{"event", "progress"},
            {"port", port},
            {"acknowledged", acknowledged},
            {"records", records},
            {"percent", percent}};
}

QJsonObject result(const JobResult &result, int exit) {
    return {{"event", "result"},
            {"port", result.port},
            {"path", result.path.isEmpty() ? result.port : result.path},
            {"serial", stringOrNull(result.serial)},
            {"ok", result.ok()},
            {"outcome", transfer::outcomeText(result.outcome)},
            {"cause", stringOrNull(result.causeText())},
            {"exit", exit},
            {"acknowledged", result.acknowledged},
            {"records", result.records},
            {"interrupted", result.interrupted},
            {"seconds", std::round(result.seconds * 1000) / 1000},
            {"cause_kind", stringOrNull(result.causeKind())},
            {"on_record", result.onRecord ? QJsonValue(*result.onRecord) : QJsonValue()}};
}

QJsonObject summary(int loaded, int failed) {
    return {{"event", "summary"}, {"loaded", loaded}, {"failed", failed}};
}

} // namespace events

QString outcomeText(const JobResult &result) {
    if (result.ok() && result.onRecord == false)
        return QStringLiteral("Firmware loaded, but not on record");
    return transfer::outcomeText(result.outcome);
}

int exitCode(const JobResult &result) {
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

Session::Session(RunSettings settings, Hooks hooks)
    : m_settings(std::move(settings))
    , m_hooks(std::move(hooks)) {}

Session::~Session() = default;

void Session::say(const QString &text, Say say) const {
    if (m_hooks.note)
        m_hooks.note(text, say);
}

void Session::end() {
    if (m_hooks.ended)
        m_hooks.ended(events::summary(m_loaded, m_failed));
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
    m_log.setWaiting([] { return stopsignals::requestedExitCode() != 0; },
                     [this](const QString &text) { say(text, Say::Always); });
    if (!m_settings.logPath.isEmpty() && !m_log.open(m_settings.logPath, &error)) {
        m_stopCode = stopsignals::requestedExitCode();
        transfer::Cause lost;
        lost.kind = transfer::Cause::Kind::OutputLost;
        lost.path = m_settings.logPath;
        lost.systemText = error;
        say(lost.text(), Say::Error);
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
QJsonObject Session::slotted(QJsonObject event, const QString &slot) const {
    if (event.isEmpty())
        return event;
    if (!m_settings.slotList.empty())
        event.insert(QStringLiteral("slot"), slot.isEmpty() ? QJsonValue() : QJsonValue(slot));
    if (m_panel)
        m_panel->event(event);
    return event;
}

JobResult Session::record(JobResult result, int exit, const QString &slot) {
    if (m_log.isOpen()) {
        resultlog::Record record = resultlog::Record::now();
        record.station = m_settings.station;
        record.slot = slot;
        record.port = result.port;
        record.path = result.path.isEmpty() ? result.port : result.path;
        record.serial = result.serial;
        record.usb = result.usb;
        record.sends = result.sends;
        record.image = m_settings.image;
        record.sha256 = m_sha256;
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
                say(QStringLiteral("cannot write the log %1: %2; no new board is taken")
                        .arg(m_log.path(), error),
                    Say::Error);
        }
    }
    if (m_hooks.finished)
        m_hooks.finished(result, exit, slotted(events::result(result, exit), slot));
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
        all.push_back(job);
        if (upload) {
            QObject::connect(
                job, &UploadJob::started, job,
                [this, i, job] {
                    if (m_hooks.started)
                        m_hooks.started(i, *job,
                                        events::start(job->port(), m_settings.image,
                                                      int(m_image.records.size()), m_sha256));
                },
                Qt::DirectConnection);
            QObject::connect(
                job, &UploadJob::progress, job,
                [this, i, job](int done, int total, int percent) {
                    if (m_hooks.progress)
                        m_hooks.progress(i, *job, done, total, percent,
                                         events::progress(job->port(), done, total, percent));
                },
                Qt::DirectConnection);
        }
        QObject::connect(
            job, &UploadJob::finished, job,
            [this, job] {
                const JobResult told = record(job->result(), jobs::exitCode(job->result()));
                job->setOnRecord(told.onRecord, told.notOnRecord);
            },
            Qt::DirectConnection);
    }
    for (UploadJob *job : all)
        job->start();
    waitAll(all, [] { return stopsignals::requestedExitCode() != 0; });

    for (UploadJob *job : all) {
        const JobResult &result = job->result();
        (result.ok() ? m_loaded : m_failed) += 1;
        const int exit = jobs::exitCode(result);
        if (result.interrupted && m_stopCode == 0)
            m_stopCode = exit;
        if (m_code == kDone)
            m_code = exit;
    }
    end();
}

void Session::watch(const QString &selector, int count) {
    // The slots' ports first, so that a job's selector is its slot's index.
    QStringList selectors;
    for (const Slot &slot : m_settings.slotList)
        selectors << slot.port;
    if (!selector.isEmpty())
        selectors << selector;
    if (m_panel) {
        m_panel->setImage(m_settings.image, m_sha256, QCoreApplication::applicationVersion());
        for (const Slot &slot : m_settings.slotList)
            m_panel->addSlot(slot.label, slot.port);
    }
    Station::Hooks hooks;
    hooks.made = [this](UploadJob &made) {
        UploadJob *job = &made;
        const int index = job->facts() ? job->facts()->selector : -1;
        const QString label = index >= 0 && size_t(index) < m_settings.slotList.size()
                                  ? m_settings.slotList[size_t(index)].label
                                  : QString();
        m_labels.insert(job->port(), label);
        QObject::connect(
            job, &UploadJob::started, job,
            [this, job, label] {
                // A second name of a device in use here is refused on opening, and is no board:
                // nothing to tell of it.
                const ports::PortFacts *facts = job->facts();
                const bool board =
                    !facts || !facts->device || transfer::inUseAs(*facts->device).isEmpty();
                const QJsonObject event =
                    slotted(board ? events::start(job->port(), m_settings.image,
                                                  int(m_image.records.size()), m_sha256)
                                  : QJsonObject(),
                            label);
                if (m_hooks.started)
                    m_hooks.started(-1, *job, event);
            },
            Qt::DirectConnection);
        QObject::connect(
            job, &UploadJob::progress, job,
            [this, job, label](int done, int total, int percent) {
                const QJsonObject event =
                    slotted(events::progress(job->port(), done, total, percent), label);
                if (m_hooks.progress)
                    m_hooks.progress(-1, *job, done, total, percent, event);
            },
            Qt::DirectConnection);
    };
    Station *current = nullptr;
    hooks.finished = [&](const JobResult &result) {
        const int exit = jobs::exitCode(result);
        if (result.interrupted && m_stopCode == 0)
            m_stopCode = exit;
        m_loaded = current->loaded();
        m_failed = current->failed();
        record(result, exit, m_labels.value(result.port));
    };
    hooks.gone = [this](const QString &port) {
        slotted({{"event", "gone"}, {"port", port}}, m_labels.value(port));
    };
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
    while (stopsignals::requestedExitCode() == 0 && !(m_hooks.lost && m_hooks.lost()) &&
           !m_logFailed && !station.batchDone()) {
        station.step(true, clock.elapsed());
        // Woken by a stop request as by a port.
        station.wait(clock.elapsed(), stopsignals::wakeDescriptor());
    }
    station.finish([] { return stopsignals::requestedExitCode() != 0; });
    m_loaded = station.loaded();
    m_failed = station.failed();
    m_code = station.batchDone() || m_failed == 0 ? kDone : kNotAcknowledged;
    end();
}

std::vector<const JobResult *> Session::results() const {
    std::vector<const JobResult *> all;
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
