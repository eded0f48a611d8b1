#include "ports.h"

#include "usbidentity.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

// What an operand stands for now, and waiting for it to be there.
namespace ports {

namespace {

// The port at path in the list; a link is looked up by its target.
PortInfo portAt(const QString &path, const PortList &ports) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const PortInfo &port : ports) {
        if (port.path == path || (!canonical.isEmpty() && port.path == canonical))
            return port;
    }
    return PortInfo();
}

Resolution found(const QString &path, const PortInfo &port) {
    return {path, std::nullopt, port.serial,
            port.usb ? usbText(port.vendor, port.product, port.serial) : QString()};
}

} // namespace

Resolution resolve(const QString &operand, const PortList &ports, const QByteArray &raw) {
    if (!isUsbIdentity(operand)) {
        QString path = transfer::systemLocation(operand);
        // The folder systemLocation() put before the name, before the name's own bytes.
        const QByteArray folder = QFile::encodeName(path.left(path.size() - operand.size()));
        path = reachByBytes(path, raw.isEmpty() ? raw : folder + raw);
        return found(path, portAt(path, ports));
    }
    const std::optional<UsbIdentity> identity = parseUsb(operand);
    if (!identity)
        return {QString(), malformedIdentity(operand), QString(), QString()};
    const PortList matches = withIdentity(*identity, ports);
    if (matches.size() > 1) {
        transfer::Cause cause;
        cause.kind = transfer::Cause::Kind::PortAmbiguous;
        cause.port = operand;
        for (const PortInfo &port : matches)
            cause.matches << transfer::PortMatch{port.path, port.serial};
        return {QString(), cause, QString(), QString()};
    }
    if (matches.isEmpty())
        return {};
    return found(matches.first().path, matches.first());
}

bool isPresent(const Resolution &resolution) {
    return !resolution.path.isEmpty() && QFileInfo::exists(resolution.path);
}

Resolution waitFor(const QString &operand, int waitMs, const std::function<bool()> &stop,
                   const QByteArray &raw, const std::function<PortList()> &enumerate) {
    QDeadlineTimer deadline(waitMs);
    for (;;) {
        Resolution resolution;
        // A path needs no list of the system's ports but for its serial number, which the
        // system tells of the one device: a station resolves every board it takes, and each
        // listing costs the process memory for good (libudev, through Qt).
        std::optional<UsbAdapter> adapter;
        if (!isUsbIdentity(operand)) {
            resolution = resolve(operand, PortList(), raw);
            adapter = usbAdapter(resolution.path);
        }
        if (adapter) {
            resolution.serial = adapter->serial;
            if (adapter->onUsb)
                resolution.usb = usbText(adapter->vendor, adapter->product, adapter->serial);
        } else {
            resolution = resolve(operand, enumerate(), raw);
        }
        if (isPresent(resolution) || resolution.error || deadline.hasExpired() || stop())
            return resolution;
        letGo(resolution.path);
        QThread::msleep(100);
    }
}

bool looksLikePort(const QString &operand, const PortList &ports) {
    if (isUsbIdentity(operand) || operand.startsWith(QLatin1String("/dev/")) ||
        isCharacterDevice(operand))
        return true;
    if (operand.contains(QLatin1Char('/')))
        return false;
    for (const PortInfo &port : ports) {
        if (port.name == operand)
            return true;
    }
    return false;
}

} // namespace ports
