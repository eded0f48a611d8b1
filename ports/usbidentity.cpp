#include "usbidentity.h"

#include <QRegularExpression>

// USB identities, usb:VID:PID[:SERIAL]: taken apart, checked, and matched against ports.
namespace ports {

std::optional<UsbIdentity> parseUsb(const QString &text) {
    static const QRegularExpression form(
        QStringLiteral("^usb:([0-9A-Fa-f]{1,4}):([0-9A-Fa-f]{1,4})(?::(.+))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    UsbIdentity identity;
    identity.vendor = quint16(match.captured(1).toUInt(nullptr, 16));
    identity.product = quint16(match.captured(2).toUInt(nullptr, 16));
    identity.serial = match.captured(3);
    return identity;
}

PortList withIdentity(const UsbIdentity &identity, const PortList &ports) {
    PortList found;
    for (const PortInfo &port : ports) {
        if (port.usb && port.vendor == identity.vendor && port.product == identity.product &&
            (identity.serial.isEmpty() ||
             port.serial.compare(identity.serial, Qt::CaseInsensitive) == 0))
            found << port;
    }
    return found;
}

transfer::Cause malformedIdentity(const QString &text) {
    transfer::Cause cause;
    cause.kind = transfer::Cause::Kind::PortMissing;
    cause.port = text;
    cause.malformed = true;
    return cause;
}

bool isUsbIdentity(const QString &operand) {
    return operand.startsWith(QLatin1String("usb:"));
}

QString usbIdentityError(const QString &text) {
    if (parseUsb(text))
        return QString();
    return malformedIdentity(text).text();
}

} // namespace ports
