#include "portcheck.h"

#include <QSerialPort>

namespace cli::portcheck {

// Windows keeps no lock files and has no /proc: which program holds a port, and the group that
// would grant access, cannot be told here. The port's own open error says the rest.
QString whyNotOpened(const QString &path, const QStringList &present) {
    QSerialPort port(path);
    if (port.open(QIODevice::ReadWrite)) {
        port.close();
        return QString();
    }
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such port %1 (%2)")
            .arg(path, present.isEmpty()
                           ? QStringLiteral("no serial ports are present")
                           : QStringLiteral("ports present: %1").arg(present.join(", ")));
    case QSerialPort::PermissionError:
        return QStringLiteral("%1 is in use by another program, or access is denied").arg(path);
    default:
        return QStringLiteral("%1 cannot be opened: %2").arg(path, port.errorString());
    }
}

// Only ports are reached by COM names here.
QString notSerialPort(const QString &) {
    return QString();
}

QString inUseBy(const QString &path) {
    return QStringLiteral("%1 is in use by another program").arg(path);
}

bool isCharacterDevice(const QString &path) {
    return path.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ||
           path.startsWith(QLatin1String("\\\\.\\"));
}

} // namespace cli::portcheck
