#pragma once

#include <QByteArray>
#include <QString>

// What portcheck_posix.cpp leaves to a file of its own system's: Linux's (portcheck_linux.cpp:
// sysfs, handles on a name alone) or that of the other POSIX systems (portcheck_nolinux.cpp).
namespace ports::unixsystem {

// The name of the USB interface (e.g. 1-1.4:1.0) or device (1-1.4) above the tty numbered
// device, read from what sysRoot says of that one device; empty when unknown.
QString usbPlace(quint64 device, const QString &sysRoot);

// A name that reaches what raw names by a handle on the name alone, held until letGo(): a port
// is never opened by it. decoded when raw cannot be reached so; raw decoded as well as it can be
// where there are no such handles.
QString reachName(const QString &decoded, const QByteArray &raw);

// The name that opens the file behind the descriptor fd anew, as its own name would.
inline QString descriptorName(int fd) {
    return QStringLiteral("/dev/fd/%1").arg(fd);
}

} // namespace ports::unixsystem
