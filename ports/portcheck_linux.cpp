#include "portcheck.h"

#include "portcheck_system.h"
#include "ports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// What Linux tells of its ports beyond POSIX: the devices' own folders in sysfs, and handles on
// a name alone (O_PATH).
namespace ports {

namespace {

// The tty's own folder in sysfs, links resolved, from its device number; empty when the system
// says nothing of it.
QString ttyFolder(quint64 number, const QString &sysRoot) {
    const dev_t rdev = dev_t(number);
    return QFileInfo(
               QStringLiteral("%1/dev/char/%2:%3").arg(sysRoot).arg(major(rdev)).arg(minor(rdev)))
        .canonicalFilePath();
}

// The USB device above a tty's folder: the first folder up with a vendor identifier (a ttyACM's
// tty folder is three levels below it, a ttyUSB's four); empty when there is none.
QString usbDeviceAbove(QString folder) {
    for (int up = 0; up < 6 && !folder.isEmpty() && folder != QLatin1String("/"); ++up) {
        if (QFileInfo::exists(folder + QStringLiteral("/idVendor")))
            return folder;
        folder = QFileInfo(folder).path();
    }
    return QString();
}

QString attribute(const QString &folder, const char *name) {
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed();
}

// The adapter whose USB device's folder is device.
UsbAdapter adapterAt(const QString &device) {
    return UsbAdapter{true, quint16(attribute(device, "idVendor").toUInt(nullptr, 16)),
                      quint16(attribute(device, "idProduct").toUInt(nullptr, 16)),
                      attribute(device, "serial")};
}

// The handles reachName() took, by the name it gave for each.
std::mutex reachedMutex;
QHash<QString, int> reached;

} // namespace

namespace unixsystem {

QString usbPlace(quint64 device, const QString &sysRoot) {
    // The tty's folder, and up from it to the USB device, keeping the interface just below.
    QString folder = ttyFolder(device, sysRoot);
    const QString usb = usbDeviceAbove(folder);
    if (usb.isEmpty())
        return QString();
    QString below;
    for (; folder.size() > usb.size(); folder = QFileInfo(folder).path())
        below = QFileInfo(folder).fileName();
    return below.contains(QLatin1Char(':')) ? below : QFileInfo(usb).fileName();
}

QString reachName(const QString &decoded, const QByteArray &raw) {
    const int fd = ::open(raw.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return decoded;
    const QString name = descriptorName(fd);
    std::lock_guard<std::mutex> lock(reachedMutex);
    reached.insert(name, fd);
    return name;
}

} // namespace unixsystem

void letGo(const QString &name) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(reachedMutex);
        fd = reached.take(name);
    }
    if (fd > 0)
        ::close(fd);
}

std::optional<UsbAdapter> usbAdapter(const QString &path, const QString &sysRoot) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISCHR(status.st_mode))
        return UsbAdapter();
    return usbAdapterOf(quint64(status.st_rdev), sysRoot);
}

std::optional<UsbAdapter> usbAdapterOf(quint64 number, const QString &sysRoot) {
    const QString device = usbDeviceAbove(ttyFolder(number, sysRoot));
    if (device.isEmpty())
        return UsbAdapter();
    return adapterAt(device);
}

std::optional<PortList> usbPorts(const QString &sysRoot) {
    PortList ports;
    const QDir ttys(sysRoot + QStringLiteral("/class/tty"));
    const QStringList names =
        ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        // The system's own terminals (consoles, pseudo-terminals) are told by their link alone:
        // a station looks again and again, and most ttys are such.
        QString folder = QFile::symLinkTarget(ttys.filePath(name));
        if (folder.contains(QLatin1String("/devices/virtual/")))
            continue;
        if (folder.isEmpty())
            folder = QFileInfo(ttys.filePath(name)).canonicalFilePath();
        const QString device = usbDeviceAbove(folder);
        if (device.isEmpty())
            continue;
        const UsbAdapter adapter = adapterAt(device);
        PortInfo port;
        port.name = name;
        port.path = QStringLiteral("/dev/") + name;
        port.usb = true;
        port.vendor = adapter.vendor;
        port.product = adapter.product;
        port.serial = adapter.serial;
        port.manufacturer = attribute(device, "manufacturer");
        port.description = attribute(device, "product");
        ports << port;
    }
    return ports;
}

} // namespace ports
