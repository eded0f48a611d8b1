#include "uploadjob.h"

#include "portcheck.h"
#include "protocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

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

UploadJob::UploadJob(const QString &port, const transfer::RecordList &records,
                     const ports::PortFacts &facts, const transfer::Timing &timing)
    : m_operation(Operation::Upload)
    , m_records(records)
    , m_waitMs(0)
    , m_raw(facts.bytes)
    , m_timing(timing)
    , m_facts(facts) {
    m_result.port = port;
    m_result.slot = facts.slot;
    m_result.records = int(records.size());
}

void UploadJob::setImage(const QString &name, const QString &sha256) {
    m_result.image = name;
    m_result.sha256 = sha256;
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

void UploadJob::run() {
    QElapsedTimer clock;
    clock.start();
    BoardResult &r = m_result;
    const bool upload = m_operation == Operation::Upload;

    ports::Resolution resolution;
    if (m_facts)
        resolution = {ports::reachByBytes(r.port, m_raw), std::nullopt, m_facts->serial,
                      m_facts->usb};
    else
        resolution = ports::waitFor(
            r.port, m_waitMs, [this] { return m_stop.load(); }, m_raw);
    // A name that is not valid text is opened by its bytes, through a handle on it, and told
    // by its readable form rather than by that handle.
    const QString opened = resolution.path;
    const bool byBytes = ports::lostInDecoding(r.port, m_raw);
    r.path = byBytes && !opened.isEmpty() ? transfer::systemLocation(ports::readableName(m_raw))
                                          : opened;
    r.serial = resolution.serial;
    r.usb = resolution.usb;
    transfer::Cause cause;
    cause.port = r.port;
    cause.path = r.path;
    // A second name of a device a board here has open already is refused on opening: it is
    // told of as no board from the start.
    if (m_facts && m_facts->device) {
        cause.otherName = transfer::inUseAs(*m_facts->device);
        if (!cause.otherName.isEmpty()) {
            cause.kind = transfer::Cause::Kind::SameDevice;
            r.cause = cause;
        }
    }
    emit started();
    r.cause.reset();
    cause.otherName.clear();

    // Checked without opening: what is not a serial port is never opened. The watch checked
    // what it took already.
    const transfer::NotSerial notSerial =
        !m_facts && !resolution.error && !opened.isEmpty() && !m_stop ? ports::notSerialPort(opened)
                                                                      : transfer::NotSerial();
    if (resolution.error) {
        r.cause = resolution.error;
    } else if (notSerial) {
        cause.kind = transfer::Cause::Kind::NotSerial;
        cause.notSerial = notSerial;
        r.cause = cause;
    } else if (r.path.isEmpty() && !m_stop) {
        cause.kind = transfer::Cause::Kind::PortMissing;
        cause.present = ports::presentNames(ports::enumerate());
        r.cause = cause;
    } else if (m_stop) {
        r.outcome =
            upload ? transfer::Outcome::FirmwareNotLoaded : transfer::Outcome::BootloaderNotEntered;
    } else if (upload && !m_unitCommand.isEmpty() && !nameUnit()) {
        // Nothing was sent: a board of no known unit is never loaded.
        r.outcome = transfer::Outcome::FirmwareNotLoaded;
        if (!m_stop) {
            cause.kind = transfer::Cause::Kind::UnitUnknown;
            cause.systemText = m_unitFailure;
            r.cause = cause;
        }
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
        r.sends = device.sends();
        {
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            m_device = nullptr;
        }
        if (r.outcome == transfer::Outcome::PortNotOpened) {
            transfer::LinkFailure failure = device.linkFailure();
            // An open that lost the race to another name of the device may fail on the port's
            // own lock instead; the device being in use here says why.
            // Its lock may be this process's own, under another name.
            if (failure.sameDeviceAs.isEmpty())
                failure.sameDeviceAs = !m_facts          ? transfer::inUseAs(opened)
                                       : m_facts->device ? transfer::inUseAs(*m_facts->device)
                                                         : QString();
            // A station's board names no ports present: listing them all is costly, and keeps
            // memory for good each time.
            r.cause = ports::whyNotOpened(
                r.port, r.path, failure,
                m_facts ? std::nullopt : std::optional<ports::PortList>(ports::enumerate()));
        } else if (!r.ok() && !m_stop) {
            r.cause = device.cause();
            // Told by the name it was given, not the file opened.
            if (r.cause)
                r.cause->port = r.port;
        }
    }

    ports::letGo(opened);
    // A stop ends whatever the job was doing; its cause is the stop. A second name stays none.
    if (m_stop && !r.ok() && !r.secondName()) {
        cause.kind = transfer::Cause::Kind::Interrupted;
        cause.entering = !upload;
        cause.acknowledged = r.acknowledged;
        cause.records = r.records;
        r.cause = cause;
    }
    r.seconds = clock.nsecsElapsed() / 1e9;
    emit finished();
}

bool UploadJob::nameUnit() {
    m_result.unit = QString();
    const std::optional<QString> unit = runUnitCommand(
        m_unitCommand, m_result, [this] { return m_stop.load(); }, &m_unitFailure);
    if (unit)
        m_result.unit = *unit;
    return unit.has_value();
}

std::optional<QString> runUnitCommand(const QString &command, const BoardResult &board,
                                      const std::function<bool()> &stop, QString *failure,
                                      int timeoutMs) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("BOOTLOADER_SLOT"), board.slot);
    environment.insert(QStringLiteral("BOOTLOADER_PORT"), board.port);
    environment.insert(QStringLiteral("BOOTLOADER_PATH"), board.path);
    environment.insert(QStringLiteral("BOOTLOADER_USB"), board.usb);
    environment.insert(QStringLiteral("BOOTLOADER_SERIAL"), board.serial);
    process.setProcessEnvironment(environment);
    // Its diagnostics go where the tool's own do; stdin is none, as a service's is.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!process.waitForStarted(timeoutMs)) {
        *failure = QStringLiteral("cannot start /bin/sh: %1").arg(process.errorString());
        return std::nullopt;
    }
    QElapsedTimer clock;
    clock.start();
    bool stopped = false;
    bool late = false;
    while (!process.waitForFinished(50)) {
        stopped = stop && stop();
        late = clock.elapsed() >= timeoutMs;
        if (stopped || late) {
            process.kill();
            process.waitForFinished(-1);
            break;
        }
    }
    const QByteArray output = process.readAllStandardOutput();
    const int end = output.indexOf('\n');
    const QString unit = QString::fromUtf8(end < 0 ? output : output.left(end)).trimmed();
    if (stopped)
        *failure = QStringLiteral("stopped");
    else if (late)
        *failure = QStringLiteral("no answer in %1 s").arg(timeoutMs / 1000.0);
    else if (process.exitStatus() != QProcess::NormalExit)
        *failure = QStringLiteral("killed");
    else if (process.exitCode() != 0)
        *failure = QStringLiteral("exit %1").arg(process.exitCode());
    else if (unit.isEmpty())
        failure->clear();
    else
        return unit;
    return std::nullopt;
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
