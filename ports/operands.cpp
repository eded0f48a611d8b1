#include "ports.h"

#include <QFileInfo>

// What is wrong with the operands of an upload, and two names of one device.
namespace ports {

namespace {

// Two spellings of one device compare equal here: by device number where the path leads to a
// device, else links resolved, else the absolute path.
QString identityOf(const QString &operand, const PortList &ports) {
    const Resolution resolution = resolve(operand, ports);
    if (resolution.path.isEmpty())
        return operand;
    if (const std::optional<quint64> number = transfer::deviceNumber(resolution.path))
        return QStringLiteral("device %1").arg(*number);
    const QFileInfo info(resolution.path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

} // namespace

QString operandError(const QString &operand) {
    return isUsbIdentity(operand) ? usbIdentityError(operand) : QString();
}

QString uploadOperandsError(const QStringList &ports, const QString &file) {
    const PortList present = enumerate();
    if (looksLikePort(file, present) &&
        notSerialPort(ports.first()).what == transfer::NotSerial::What::RegularFile)
        return QStringLiteral("FILE and PORT are the wrong way round: '%1' is a port, '%2' a "
                              "file; give the ports first and the image last")
            .arg(file, ports.first());
    for (const QString &port : ports) {
        if (!operandError(port).isEmpty())
            return operandError(port);
    }
    const QString same = sameDevice(ports, present);
    return same.isEmpty() ? QString() : QStringLiteral("%1 are the same device").arg(same);
}

QString sameDevice(const QStringList &operands, const PortList &ports) {
    QStringList identities;
    for (const QString &operand : operands) {
        const QString identity = identityOf(operand, ports);
        const int earlier = identities.indexOf(identity);
        if (earlier >= 0)
            return QStringLiteral("%1 and %2").arg(operands.at(earlier), operand);
        identities << identity;
    }
    return QString();
}

} // namespace ports
