#include "uploadjob.h"

#include "portcheck.h"
#include "protocol.h"

#include <QElapsedTimer>
#include <QFile>

namespace jobs {

UploadJob::UploadJob(const QString &port, Operation operation, const transfer::RecordList &records,
                     int waitMs, const QByteArray &raw, const transfer::Timing &timing)
    : m_operation(operation)
    , m_records(records)
    , m_waitMs(waitMs)
    , m_raw(raw)
    , m_timing(timing) {
    m_result.port = port;
    m_result.records = operation == Operation::Upload ? int(records.size()) : 0;
}

UploadJob::~UploadJob() {
    if (m_thread) {
        requestStop();
        m_thread->wait();
    }
}

void UploadJob::start() {
    m_thread.reset(QThread::create([this] { run(); }));
    m_thread->start();
}

bool UploadJob::wait(int ms) {
    return !m_thread || m_thread->wait(ulong(ms));
}

void UploadJob::requestStop() {
    m_stop = true;
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    if (m_device)
        m_device->requestStop();
}

QString UploadJob::failureCause(const transfer::Device &device) const {
    const JobResult &r = m_result;
    const bool upload = m_operation == Operation::Upload;
    if (upload && device.deviceGone())
        return QStringLiteral("the device on %1 went away after %2 of %3 records")
            .arg(r.port)
            .arg(r.acknowledged)
            .arg(r.records);
    // A stray acknowledgement can come once every record was acknowledged: it came after the
    // last one.
    if (upload && device.outOfStep())
        return QStringLiteral("the device on %1 sent an acknowledgement that answers no send, "
                              "after record %2 of %3: it may hold a record twice")
            .arg(r.port)
            .arg(qMin(r.acknowledged + 1, r.records))
            .arg(r.records);
    if (upload)
        return QStringLiteral("the device on %1 did not acknowledge record %2 of %3 in %4 sends")
            .arg(r.port)
            .arg(r.acknowledged + 1)
            .arg(r.records)
            .arg(m_timing.recordSends);
    if (device.deviceGone())
        return QStringLiteral("the device on %1 went away").arg(r.port);
    return QStringLiteral("the device on %1 did not answer \"%2\" in %3 sends")
        .arg(r.port, QString::fromLatin1(transfer::kBootloaderCommand))
        .arg(m_timing.commandSends);
}

void UploadJob::run() {
    QElapsedTimer clock;
    clock.start();
    JobResult &r = m_result;
    const bool upload = m_operation == Operation::Upload;

    const ports::Resolution resolution = ports::waitFor(
        r.port, m_waitMs, [this] { return m_stop.load(); }, m_raw);
    // A name that is not valid text is opened by its bytes, through a handle on it, and told
    // by its readable form rather than by that handle.
    const QString opened = resolution.path;
    const bool byBytes = !m_raw.isEmpty() && QFile::encodeName(r.port) != m_raw;
    r.path = byBytes && !opened.isEmpty() ? transfer::systemLocation(ports::readableName(m_raw))
                                          : opened;
    r.serial = resolution.serial;
    emit started();

    // Checked without opening: what is not a serial port is never opened.
    const QString notSerial = resolution.error.isEmpty() && !opened.isEmpty() && !m_stop
                                  ? ports::notSerialPort(opened)
                                  : QString();
    if (!resolution.error.isEmpty()) {
        r.cause = resolution.error;
    } else if (!notSerial.isEmpty()) {
        r.cause = QStringLiteral("%1 is not a serial port: %2").arg(r.path, notSerial);
    } else if (r.path.isEmpty() && !m_stop) {
        r.cause = QStringLiteral("no port matches %1 (%2)")
                      .arg(r.port, ports::presentText(ports::enumerate()));
    } else if (m_stop) {
        r.outcome =
            upload ? transfer::Outcome::FirmwareNotLoaded : transfer::Outcome::BootloaderNotEntered;
    } else {
        // Made here, so that it lives on the thread that uses it.
        transfer::Device device;
        device.setTiming(m_timing);
        int percent = 0;
        QObject::connect(
            &device, &transfer::Device::progressChanged, &device,
            [&](int value) { percent = value; }, Qt::DirectConnection);
        QObject::connect(
            &device, &transfer::Device::recordAcknowledged, &device,
            [&](int done, int total) {
                r.acknowledged = done;
                emit progress(done, total, done == total ? 100 : percent);
            },
            Qt::DirectConnection);
        {
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            m_device = &device;
            if (m_stop)
                device.requestStop();
        }
        const transfer::LoadedImage image{m_records, std::nullopt, {}, {}};
        r.outcome = upload ? device.upload(image, opened) : device.enterBootloader(opened);
        {
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            m_device = nullptr;
        }
        if (r.outcome == transfer::Outcome::PortNotOpened) {
            transfer::LinkFailure failure = device.linkFailure();
            // An open that lost the race to another name of the device may fail on the port's
            // own lock instead; the device being in use here says why.
            if (failure.sameDeviceAs.isEmpty() && !failure.lockedElsewhere)
                failure.sameDeviceAs = transfer::inUseAs(opened);
            r.sameDeviceAs = failure.sameDeviceAs;
            r.cause = ports::whyNotOpened(r.port, r.path, failure, ports::enumerate());
        } else if (!r.ok() && !m_stop) {
            r.cause = failureCause(device);
        }
    }

    ports::letGo(opened);
    r.interrupted = m_stop && !r.ok();
    if (r.interrupted)
        r.cause = upload
                      ? QStringLiteral("Interrupted: %1 of %2 records acknowledged on %3")
                            .arg(r.acknowledged)
                            .arg(r.records)
                            .arg(r.port)
                      : QStringLiteral("Interrupted: bootloader mode not asked of %1").arg(r.port);
    r.seconds = clock.nsecsElapsed() / 1e9;
    emit finished();
}

void waitAll(const std::vector<UploadJob *> &jobs, const std::function<bool()> &stop) {
    bool stopping = false;
    for (UploadJob *job : jobs) {
        while (!job->wait(50)) {
            if (!stopping && stop()) {
                stopping = true;
                for (UploadJob *each : jobs)
                    each->requestStop();
            }
        }
    }
}

} // namespace jobs
