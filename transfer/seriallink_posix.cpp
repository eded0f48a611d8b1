#include "seriallink_system.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace transfer {

namespace {

std::optional<quint64> numberOf(const struct stat &info) {
    if (!S_ISCHR(info.st_mode))
        return std::nullopt;
    return quint64(info.st_rdev);
}

void lockedElsewhere(LinkFailure &failure) {
    failure.lockedElsewhere = true;
    failure.error = QSerialPort::PermissionError;
    failure.errorText = QStringLiteral("The device is locked by another process");
}

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
        lockedElsewhere(failure);
        return false;
    }
    ::flock(*fd, LOCK_UN);
    return true;
}

} // namespace

namespace linksystem {

bool openPort(QSerialPort &port, const QString &portName, LinkFailure &why) {
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
    return true;
}

std::optional<quint64> openedDevice(QSerialPort &port) {
    struct stat info {};
    if (::fstat(port.handle(), &info) != 0)
        return std::nullopt;
    return numberOf(info);
}

bool lockDevice(QSerialPort &port, LinkFailure &why) {
    if (::flock(port.handle(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    lockedElsewhere(why);
    return false;
}

} // namespace linksystem

QString systemLocation(const QString &portName) {
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
        portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

std::optional<quint64> deviceNumber(const QString &portName) {
    struct stat info {};
    if (portName.isEmpty() ||
        ::stat(QFile::encodeName(systemLocation(portName)).constData(), &info) != 0)
        return std::nullopt;
    return numberOf(info);
}

} // namespace transfer
