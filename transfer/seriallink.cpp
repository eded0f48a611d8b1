#include "seriallink.h"

#include <QHash>
#include <QSerialPort>

#include <cerrno>
#include <memory>
#include <mutex>

#ifndef Q_OS_WIN
#include <QFile>

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace transfer {

namespace {

// The devices this process has open, by device number, with the name each was opened by.
std::mutex registryMutex;
QHash<quint64, QString> devicesInUse;

QString holderOf(quint64 number) {
    std::lock_guard<std::mutex> lock(registryMutex);
    return devicesInUse.value(number);
}

#ifndef Q_OS_WIN
std::optional<quint64> numberOf(const struct stat &info) {
    if (!S_ISCHR(info.st_mode))
        return std::nullopt;
    return quint64(info.st_rdev);
}
#endif

// Claims the device the open port reached for portName until the port closes. False when this
// process had it open already, under the name then put in failure.
bool claim(QSerialPort &port, const QString &portName, LinkFailure &failure) {
#ifdef Q_OS_WIN
    Q_UNUSED(port)
    Q_UNUSED(portName)
    Q_UNUSED(failure)
    return true;
#else
    struct stat info {};
    if (::fstat(port.handle(), &info) != 0)
        return true;
    const std::optional<quint64> number = numberOf(info);
    if (!number)
        return true;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        const auto held = devicesInUse.constFind(*number);
        if (held != devicesInUse.constEnd()) {
            failure.sameDeviceAs = *held;
            return false;
        }
        devicesInUse.insert(*number, portName);
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(&port, &QIODevice::aboutToClose, [number, connection] {
        {
            std::lock_guard<std::mutex> lock(registryMutex);
            devicesInUse.remove(*number);
        }
        QObject::disconnect(*connection);
    });
    return true;
#endif
}

// Takes the device's advisory lock, which every copy of this tool takes, root or not: the
// port's exclusive mode does not keep root out.
bool lockDevice(QSerialPort &port, LinkFailure &failure) {
#ifdef Q_OS_WIN
    Q_UNUSED(port)
    Q_UNUSED(failure)
    return true;
#else
    if (::flock(port.handle(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    failure.lockedElsewhere = true;
    failure.error = QSerialPort::PermissionError;
    failure.errorText = QStringLiteral("The device is locked by another process");
    return false;
#endif
}

#ifndef Q_OS_WIN
// The port's error for a failed open(), as the serial port names it.
QSerialPort::SerialPortError errorOfOpen(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return QSerialPort::DeviceNotFoundError;
    case EACCES:
    case EPERM:
    case EBUSY:
        return QSerialPort::PermissionError;
    case EAGAIN:
    case EIO:
        return QSerialPort::ResourceError;
    case EINVAL:
    case ENOTTY:
        return QSerialPort::UnsupportedOperationError;
    default:
        return QSerialPort::UnknownError;
    }
}

// The error number a port's error text stands for: the port says a system error in the
// system's words, and errno after its open is whatever the calls after the failing one left.
int errorOfText(const QString &text) {
    for (int error = 1; error < 256; ++error) {
        if (text == QString::fromLocal8Bit(std::strerror(error)))
            return error;
    }
    return 0;
}

// Opens the device at location as the port will, to learn what the system says of it before
// the port's own steps run: the open's own error, or another process's lock on the device.
// True when the port may go on to open it; a descriptor that is kept open until then.
bool probe(const QString &location, LinkFailure &failure, int *fd) {
    *fd =
        ::open(QFile::encodeName(location).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        failure.systemError = errno;
        failure.error = errorOfOpen(failure.systemError);
        failure.errorText = QString::fromLocal8Bit(std::strerror(failure.systemError));
        return false;
    }
    // Another open of this tool tries the lock for a moment too: a lock that stays is held.
    int tries = 0;
    while (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return true;
        if (++tries < 5) {
            ::usleep(10000);
            continue;
        }
        failure.lockedElsewhere = true;
        failure.error = QSerialPort::PermissionError;
        failure.errorText = QStringLiteral("The device is locked by another process");
        return false;
    }
    ::flock(*fd, LOCK_UN);
    return true;
}
#endif

} // namespace

QString systemLocation(const QString &portName) {
#ifdef Q_OS_WIN
    return portName;
#else
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
        portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
#endif
}

std::optional<quint64> deviceNumber(const QString &portName) {
#ifdef Q_OS_WIN
    Q_UNUSED(portName)
    return std::nullopt;
#else
    struct stat info {};
    if (portName.isEmpty() ||
        ::stat(QFile::encodeName(systemLocation(portName)).constData(), &info) != 0)
        return std::nullopt;
    return numberOf(info);
#endif
}

QString inUseAs(const QString &portName) {
    const std::optional<quint64> number = deviceNumber(portName);
    return number ? holderOf(*number) : QString();
}

QString inUseAs(quint64 deviceNumber) {
    return holderOf(deviceNumber);
}

bool openLink(QSerialPort &port, const QString &portName, LinkFailure *failure) {
    LinkFailure ignored;
    LinkFailure &why = failure ? *failure : ignored;
    why = LinkFailure();
    port.setPortName(portName);
    // Known before opening, so a device in use is not opened (and reconfigured) a second time.
    why.sameDeviceAs = inUseAs(portName);
    if (!why.sameDeviceAs.isEmpty())
        return false;
#ifdef Q_OS_WIN
    errno = 0;
    if (!port.open(QIODevice::ReadWrite)) {
        why.systemError = errno;
        why.error = port.error();
        why.errorText = port.errorString();
        return false;
    }
#else
    // The device is opened here first, held until the port has it too (so that its line is
    // not hung up between the two), and its failure told as the open itself said it.
    int probed = -1;
    const bool mayOpen = probe(systemLocation(portName), why, &probed);
    const bool opened = mayOpen && port.open(QIODevice::ReadWrite);
    if (probed >= 0)
        ::close(probed);
    if (!mayOpen)
        return false;
    if (!opened) {
        why.error = port.error();
        why.errorText = port.errorString();
        // The device opened a moment ago, so the port refused it in a step of its own: its lock
        // file (held by another program: no system error), or setting the line up, whose error
        // it tells in the system's words.
        why.systemError =
            why.error == QSerialPort::PermissionError ? 0 : errorOfText(why.errorText);
        return false;
    }
#endif
    // Checked again on what was opened: a link may have changed since.
    if (!claim(port, portName, why) || !lockDevice(port, why)) {
        port.close();
        return false;
    }
    const bool configured =
        port.setBaudRate(kBaudRate, QSerialPort::AllDirections) &&
        port.setDataBits(QSerialPort::Data8) && port.setParity(QSerialPort::NoParity) &&
        port.setStopBits(QSerialPort::OneStop) && port.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        why.systemError = errno;
        why.error = port.error();
        why.errorText = port.errorString();
    }
    return configured;
}

} // namespace transfer
