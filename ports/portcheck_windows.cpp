#include "portcheck.h"
#include "ports.h"

namespace ports {

// Only ports are reached by COM names here.
QString notSerialPort(const QString &) {
    return QString();
}

QString inUseBy(const QString &path) {
    return QStringLiteral("%1 is in use by another program").arg(path);
}

// Windows keeps no lock files and has no /proc or groups: which program holds a port, and who
// may open it, cannot be told here.
QString owningGroup(const QString &) {
    return QString();
}

// Windows passes the command line as UTF-16, which Qt decodes without loss.
QString reachByBytes(const QByteArray &raw) {
    return QString::fromLocal8Bit(raw);
}

bool isCharacterDevice(const QString &path) {
    return path.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ||
           path.startsWith(QLatin1String("\\\\.\\"));
}

std::optional<QString> usbSerialNumber(const QString &, const QString &) {
    return std::nullopt;
}

std::optional<PortList> usbPorts(const QString &) {
    return std::nullopt;
}

} // namespace ports
