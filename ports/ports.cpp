#include "ports.h"

#include "portcheck.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QThread>

#include <cerrno>

namespace ports {

namespace {

struct UsbIdentity {
    quint16 vendor = 0;
    quint16 product = 0;
    QString serial;
};

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

QString hex4(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
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
    const QString vid =
        port.usb ? QStringLiteral("%1").arg(port.vendor, 4, 16, QLatin1Char('0')) : QString();
    const QString pid =
        port.usb ? QStringLiteral("%1").arg(port.product, 4, 16, QLatin1Char('0')) : QString();
    if (json) {
        const auto orNull = [](const QString &text) {
            return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
        };
        const QJsonObject object{{"name", port.name},
                                 {"path", port.path},
                                 {"vid", orNull(vid)},
                                 {"pid", orNull(pid)},
                                 {"usb", orNull(port.usbIdentity())},
                                 {"serial", orNull(port.serial)},
                                 {"manufacturer", orNull(port.manufacturer)},
                                 {"description", orNull(port.description)},
                                 {"location", orNull(port.location)}};
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

NewPorts::NewPorts(const QStringList &taken)
    : m_known(taken.cbegin(), taken.cend()) {}

QStringList NewPorts::wait(int ms, int wakeFd) {
    QStringList found;
    if (!m_notifier.wait(ms, wakeFd))
        return found;
    // The listing of USB adapters keeps no memory for good, as enumerate() does.
    const std::optional<PortList> usb = usbPorts();
    for (const PortInfo &port : usb ? *usb : enumerate()) {
        if (m_known.contains(port.path) || m_first) {
            m_known << port.path;
            continue;
        }
        QThread::msleep(500); // udev makes the port's links a moment after the port
        QString name = physicalLocation(port.path);
        name = name.startsWith(QLatin1String("/dev/serial/by-path/")) ? name : port.path;
        if (!m_known.contains(name))
            found << name;
        m_known << port.path << name;
    }
    m_first = false;
    return found;
}

bool isUsbIdentity(const QString &operand) {
    return operand.startsWith(QLatin1String("usb:"));
}

namespace {

// A USB identity that is not well-formed names no port.
transfer::Cause malformedIdentity(const QString &text) {
    transfer::Cause cause;
    cause.kind = transfer::Cause::Kind::PortMissing;
    cause.port = text;
    cause.malformed = true;
    return cause;
}

} // namespace

QString usbIdentityError(const QString &text) {
    if (parseUsb(text))
        return QString();
    return malformedIdentity(text).text();
}

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

QStringList presentNames(const PortList &ports) {
    QStringList names;
    for (const PortInfo &port : ports)
        names << port.name;
    return names;
}

QString presentText(const PortList &ports) {
    return transfer::presentText(presentNames(ports));
}

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

QStringList matching(const QString &selector, const PortList &ports) {
    QStringList found;
    for (const QByteArray &name : matchingNames(selector, ports))
        found << readableName(name);
    return found;
}

QByteArrayList matchingNames(const QString &selector, const PortList &ports) {
    QByteArrayList found;
    if (isUsbIdentity(selector)) {
        if (const std::optional<UsbIdentity> identity = parseUsb(selector)) {
            for (const PortInfo &port : withIdentity(*identity, ports))
                found << QFile::encodeName(port.path);
        }
        return found;
    }
    // A selector without a folder is looked for in /dev, as a bare port name is.
    const QString pattern = transfer::systemLocation(selector);
    const int slash = pattern.lastIndexOf(QLatin1Char('/'));
    const QByteArray folder =
        QFile::encodeName(slash == 0 ? QStringLiteral("/") : pattern.left(slash));
    // Case-sensitive, as the names of devices are: ttyusb* is not ttyUSB0. A name that is not
    // valid text is matched as decoded, its stray bytes as U+FFFD.
    const QString last = pattern.mid(slash + 1);
    const QRegularExpression glob(QRegularExpression::wildcardToRegularExpression(last));
    // As a shell's, a wildcard takes in no leading dot: udev makes each link under a name
    // beginning ".#" before it renames it into place, and that name is no port of its own.
    const bool dotNames = last.startsWith(QLatin1Char('.'));
    for (const QByteArray &name : folderEntries(folder)) {
        if (!dotNames && name.startsWith('.'))
            continue;
        if (glob.match(QFile::decodeName(name)).hasMatch())
            found << (folder.endsWith('/') ? folder : folder + '/') + name;
    }
    return found;
}

QString readableName(const QByteArray &name) {
    const QString decoded = QFile::decodeName(name);
    if (QFile::encodeName(decoded) == name)
        return decoded;
    // UTF-8 by hand: each well-formed sequence as itself, each other byte escaped.
    QString shown;
    const auto byte = [&](int i) { return uchar(name.at(i)); };
    for (int i = 0; i < name.size();) {
        const uchar lead = byte(i);
        const int length = lead < 0x80                    ? 1
                           : lead >= 0xc2 && lead <= 0xdf ? 2
                           : lead >= 0xe0 && lead <= 0xef ? 3
                           : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                          : 0;
        bool wellFormed = length > 0 && i + length <= name.size();
        for (int k = 1; wellFormed && k < length; ++k)
            wellFormed = (byte(i + k) & 0xc0) == 0x80;
        // No overlong forms, surrogates or code points past U+10FFFF.
        if (wellFormed && length >= 3) {
            const uchar second = byte(i + 1);
            wellFormed = !(lead == 0xe0 && second < 0xa0) && !(lead == 0xed && second > 0x9f) &&
                         !(lead == 0xf0 && second < 0x90) && !(lead == 0xf4 && second > 0x8f);
        }
        if (wellFormed && lead != '\\') {
            shown += QString::fromUtf8(name.constData() + i, length);
            i += length;
        } else {
            shown += lead == '\\' ? QStringLiteral("\\\\")
                                  : QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
            ++i;
        }
    }
    return shown;
}

transfer::Cause whyNotOpened(const QString &port, const QString &path,
                             const transfer::LinkFailure &failure,
                             const std::optional<PortList> &ports) {
    using Kind = transfer::Cause::Kind;
    transfer::Cause cause;
    cause.port = port;
    cause.path = path;
    cause.systemError = failure.systemError;
    cause.systemText = failure.errorText;
    const auto as = [&cause](Kind kind) {
        cause.kind = kind;
        return cause;
    };
    const auto missing = [&] {
        cause.listed = ports.has_value();
        cause.present = ports ? presentNames(*ports) : QStringList();
        return as(Kind::PortMissing);
    };
    if (!failure.sameDeviceAs.isEmpty()) {
        cause.otherName = failure.sameDeviceAs;
        return as(Kind::SameDevice);
    }
    // Not opened again to find out: the holder's device is left as it is.
    if (failure.lockedElsewhere)
        return inUseBy(path);
    switch (failure.systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return missing();
    case EACCES:
    case EPERM:
        describeAccess(path, &cause);
        return as(Kind::PermissionDenied);
    case EBUSY:
        return inUseBy(path);
    case ENOTTY:
        return as(Kind::NotSerial);
    default:
        break;
    }
    switch (failure.error) {
    case QSerialPort::DeviceNotFoundError:
        return missing();
    // The port's own lock file, or its exclusive mode, held by another program.
    case QSerialPort::PermissionError:
        return inUseBy(path);
    case QSerialPort::UnsupportedOperationError:
        return as(Kind::NotSerial);
    default:
        return as(Kind::PortFailed);
    }
}

} // namespace ports
