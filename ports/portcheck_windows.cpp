#include "portcheck.h"
#include "ports.h"

#include <QDir>
#include <QFileInfo>

namespace ports {

// Only ports are reached by COM names here.
transfer::NotSerial notSerialPort(const QString &) {
    return {};
}

transfer::Cause inUseBy(const QString &path) {
    transfer::Cause cause;
    cause.kind = transfer::Cause::Kind::PortBusy;
    cause.path = path;
    return cause;
}

// Windows keeps no lock files and has no /proc or groups: which program holds a port, and who
// may open it, cannot be told here.
void describeAccess(const QString &, transfer::Cause *) {}

transfer::NotSerial notSerialPort(const QByteArray &) {
    return {};
}

// Windows passes the command line as UTF-16, which Qt decodes without loss.
bool lostInDecoding(const QString &, const QByteArray &) {
    return false;
}

QString reachByBytes(const QString &decoded, const QByteArray &, Reach) {
    return decoded;
}

void letGo(const QString &) {}

// Ports are no files here: no device numbers to follow.
std::optional<DeviceNode> deviceNode(const QByteArray &) {
    return std::nullopt;
}

bool isNodeOf(const QByteArray &, quint64) {
    return false;
}

bool mayOpen(const QByteArray &) {
    return true;
}

QByteArrayList folderEntries(const QByteArray &folder) {
    QByteArrayList names;
    const QStringList entries =
        QDir(QString::fromLocal8Bit(folder))
            .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : entries) {
        if (QFileInfo::exists(QString::fromLocal8Bit(folder) + QLatin1Char('/') + name))
            names << name.toLocal8Bit();
    }
    return names;
}

bool isCharacterDevice(const QString &path) {
    return path.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ||
           path.startsWith(QLatin1String("\\\\.\\"));
}

QString physicalLocation(const QString &, const QString &, const QString &) {
    return QString();
}

} // namespace ports
