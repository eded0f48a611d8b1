#include "board.h"

#include "commandline.h"
#include "console.h"
#include "portcheck.h"
#include "portselect.h"
#include "protocol.h"
#include "stopsignals.h"

#include <QElapsedTimer>

namespace cli {

int exitCode(transfer::Outcome outcome) {
    switch (outcome) {
    case transfer::Outcome::FirmwareLoaded:
    case transfer::Outcome::BootloaderEntered:
        return kDone;
    case transfer::Outcome::FileNotOpen:
    case transfer::Outcome::FileEmpty:
    case transfer::Outcome::FirmwareNotFound:
        return kImageRefused;
    case transfer::Outcome::PortBusy:
        return kPortNotOpened;
    case transfer::Outcome::FirmwareNotLoaded:
    case transfer::Outcome::BootloaderNotEntered:
        break;
    }
    return kNotAcknowledged;
}

Board::Board(int index, const QString &port, const imagefile::Image *image, int waitMs, Hooks hooks,
             const QByteArray &rawPort)
    : m_index(index)
    , m_port(port)
    , m_rawPort(rawPort)
    , m_image(image)
    , m_waitMs(waitMs)
    , m_hooks(std::move(hooks)) {}

Board::~Board() {
    if (m_thread) {
        requestStop();
        m_thread->wait();
    }
}

void Board::start(bool prefixTrace) {
    m_thread.reset(QThread::create([this, prefixTrace] { run(prefixTrace); }));
    m_thread->start();
}

bool Board::wait(int ms) {
    return !m_thread || m_thread->wait(ulong(ms));
}

void Board::requestStop() {
    m_stop = true;
    m_device.requestStop();
}

QString Board::cause(transfer::Outcome outcome) const {
    const int total = m_image ? m_image->loaded.records.size() : 0;
    if (m_stop && !transfer::isSuccess(outcome))
        return m_image ? QStringLiteral("Interrupted: %1 of %2 records acknowledged on %3")
                             .arg(m_acknowledged)
                             .arg(total)
                             .arg(m_port)
                       : QStringLiteral("Interrupted: bootloader mode not asked of %1").arg(m_port);
    switch (outcome) {
    case transfer::Outcome::PortBusy:
        if (m_path.isEmpty())
            return QStringLiteral("no port matches %1 (%2)")
                .arg(m_port, ports::presentNames().isEmpty()
                                 ? QStringLiteral("no serial ports are present")
                                 : QStringLiteral("ports present: %1")
                                       .arg(ports::presentNames().join(", ")));
        if (!m_notSerial.isEmpty())
            return QStringLiteral("%1 is not a serial port: %2").arg(m_path, m_notSerial);
        if (!m_sameDeviceAs.isEmpty())
            return QStringLiteral("%1 is the same device as %2").arg(m_port, m_sameDeviceAs);
        // Not opened again to find out: the holder's device is left as it is.
        if (m_device.linkFailure().lockedElsewhere)
            return portcheck::inUseBy(m_path);
        return portcheck::whyNotOpened(m_path, ports::presentNames());
    case transfer::Outcome::FirmwareNotLoaded:
        if (m_device.deviceGone())
            return QStringLiteral("the device on %1 went away after %2 of %3 records")
                .arg(m_port)
                .arg(m_acknowledged)
                .arg(total);
        return QStringLiteral("the device on %1 did not acknowledge record %2 of %3 in %4 sends")
            .arg(m_port)
            .arg(m_acknowledged + 1)
            .arg(total)
            .arg(transfer::kRecordSends);
    case transfer::Outcome::BootloaderNotEntered:
        if (m_device.deviceGone())
            return QStringLiteral("the device on %1 went away").arg(m_port);
        return QStringLiteral("the device on %1 did not answer \"%2\" in %3 sends")
            .arg(m_port, QString::fromLatin1(transfer::kBootloaderCommand))
            .arg(transfer::kCommandSends);
    default:
        return QString();
    }
}

void Board::run(bool prefixTrace) {
    if (prefixTrace)
        console::setThreadPort(m_port);
    QElapsedTimer clock;
    clock.start();
    const int total = m_image ? m_image->loaded.records.size() : 0;

    const ports::Resolution resolution = ports::waitFor(
        m_port, m_waitMs, [this] { return m_stop.load(); }, m_rawPort);
    m_path = resolution.path;
    m_result.port = m_port;
    m_result.path = m_path;
    m_result.records = total;
    if (!m_path.isEmpty())
        m_result.serial = ports::serialNumber(m_path);
    if (m_hooks.started)
        m_hooks.started(*this);

    // Checked without opening: what is not a serial port is never opened.
    if (resolution.error.isEmpty() && !m_path.isEmpty() && !m_stop)
        m_notSerial = portcheck::notSerialPort(m_path);

    if (!resolution.error.isEmpty()) {
        m_outcome = transfer::Outcome::PortBusy;
        m_result.cause = resolution.error;
    } else if (!m_notSerial.isEmpty()) {
        m_outcome = transfer::Outcome::PortBusy;
        m_result.cause = cause(m_outcome);
    } else if (m_stop || m_path.isEmpty()) {
        m_outcome = m_image ? transfer::Outcome::FirmwareNotLoaded
                            : transfer::Outcome::BootloaderNotEntered;
        if (m_path.isEmpty() && !m_stop)
            m_outcome = transfer::Outcome::PortBusy;
        m_result.cause = cause(m_outcome);
    } else {
        QObject::connect(
            &m_device, &transfer::Device::progressChanged, &m_device,
            [this](int percent) { m_percent = percent; }, Qt::DirectConnection);
        QObject::connect(
            &m_device, &transfer::Device::recordAcknowledged, &m_device,
            [this](int done, int records) {
                m_acknowledged = done;
                if (m_hooks.acknowledged)
                    m_hooks.acknowledged(*this, done, records, done == records ? 100 : m_percent);
            },
            Qt::DirectConnection);
        m_outcome =
            m_image ? m_device.upload(m_image->loaded, m_path) : m_device.enterBootloader(m_path);
        if (m_outcome == transfer::Outcome::PortBusy) {
            const transfer::LinkFailure &failure = m_device.linkFailure();
            m_sameDeviceAs = failure.sameDeviceAs;
            // An open that lost the race to another name of the device may fail on the port's
            // own lock instead; the device being in use here says why.
            if (m_sameDeviceAs.isEmpty() && !failure.lockedElsewhere)
                m_sameDeviceAs = transfer::inUseAs(m_path);
        }
        m_result.cause = cause(m_outcome);
    }

    m_result.ok = transfer::isSuccess(m_outcome);
    m_result.outcome = outcomeText(m_outcome);
    m_result.interrupted = m_stop && !m_result.ok;
    m_result.exit = m_result.interrupted
                        ? (stopsignals::requestedExitCode() ? stopsignals::requestedExitCode()
                                                            : int(kInterrupted))
                        : exitCode(m_outcome);
    m_result.acknowledged = m_acknowledged;
    m_result.seconds = clock.nsecsElapsed() / 1e9;
    if (m_hooks.finished)
        m_hooks.finished(*this);
}

} // namespace cli
