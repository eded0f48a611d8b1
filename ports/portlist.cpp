#include "ports.h"

#include "resultlog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

// The ports present: listed by the system, described as 'ports' prints them, named as a cause
// tells what there is.
namespace ports {

namespace {

QString hex4(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

QString usbText(quint16 vendor, quint16 product, const QString &serial) {
    QString identity = QStringLiteral("%1:%2").arg(hex4(vendor), hex4(product));
    if (!serial.isEmpty())
        identity += QLatin1Char(':') + serial;
    return identity;
}

QString PortInfo::usbIdentity() const {
    return usb ? QStringLiteral("usb:") + usbText(vendor, product, serial) : QString();
}

PortList enumerate() {
    PortList ports;
    const auto all = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : all) {
        PortInfo port;
        port.name = info.portName();
        port.path = info.systemLocation();
        port.usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendor = info.vendorIdentifier();
        port.product = info.productIdentifier();
        port.serial = info.serialNumber();
        port.manufacturer = info.manufacturer();
        port.description = info.description();
        port.location = physicalLocation(port.path);
        ports << port;
    }
    return ports;
}

QByteArray describe(const PortInfo &port, bool json) {
    const QString vid = port.usb ? hex4(port.vendor) : QString();
    const QString pid = port.usb ? hex4(port.product) : QString();
    if (json) {
        using resultlog::textOrNull;
        const QJsonObject object{{"name", port.name},
                                 {"path", port.path},
                                 {"vid", textOrNull(vid)},
                                 {"pid", textOrNull(pid)},
                                 {"usb", textOrNull(port.usbIdentity())},
                                 {"serial", textOrNull(port.serial)},
                                 {"manufacturer", textOrNull(port.manufacturer)},
                                 {"description", textOrNull(port.description)},
                                 {"location", textOrNull(port.location)}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    const auto field = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("-") : text;
    };
    return QStringList{port.name,
                       port.path,
                       port.usb ? vid + QLatin1Char(':') + pid : field(QString()),
                       field(port.serial),
                       field(port.manufacturer),
                       field(port.description),
                       field(port.location)}
        .join(QLatin1Char('\t'))
        .toLocal8Bit();
}

QStringList presentNames(const PortList &ports) {
    QStringList names;
    for (const PortInfo &port : ports)
        names << port.name;
    return names;
}

QString presentText(const PortList &ports) {
    return transfer::presentText(presentNames(ports));
}

} // namespace ports
