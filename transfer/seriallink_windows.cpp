#include "seriallink_system.h"

#include <cerrno>

namespace transfer {

namespace linksystem {

bool openPort(QSerialPort &port, const QString &, LinkFailure &why) {
    errno = 0;
    if (port.open(QIODevice::ReadWrite))
        return true;
    why.systemError = errno;
    why.error = port.error();
    why.errorText = port.errorString();
    return false;
}

// The port's own exclusive open is all there is: one device has one name here.
std::optional<quint64> openedDevice(QSerialPort &) {
    return std::nullopt;
}

bool lockDevice(QSerialPort &, LinkFailure &) {
    return true;
}

} // namespace linksystem

QString systemLocation(const QString &portName) {
    return portName;
}

std::optional<quint64> deviceNumber(const QString &) {
    return std::nullopt;
}

} // namespace transfer
