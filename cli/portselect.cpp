#include "portselect.h"

#include "console.h"
#include "fileoperand.h"
#include "output.h"
#include "portcheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QThread>

namespace cli::ports {

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

bool matches(const QSerialPortInfo &info, const UsbIdentity &identity) {
    return info.hasVendorIdentifier() && info.hasProductIdentifier() &&
           info.vendorIdentifier() == identity.vendor &&
           info.productIdentifier() == identity.product &&
           (identity.serial.isEmpty() ||
            info.serialNumber().compare(identity.serial, Qt::CaseInsensitive) == 0);
}

QList<QSerialPortInfo> withIdentity(const UsbIdentity &identity) {
    QList<QSerialPortInfo> found;
    const auto all = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : all) {
        if (matches(info, identity))
            found << info;
    }
    return found;
}

// The file Qt opens for a port name: names that are not paths live in /dev.
QString systemPath(const QString &operand) {
#ifdef Q_OS_WIN
    return operand;
#else
    if (operand.startsWith(QLatin1Char('/')) || operand.startsWith(QLatin1String("./")) ||
        operand.startsWith(QLatin1String("../")))
        return operand;
    return QStringLiteral("/dev/") + operand;
#endif
}

// Two spellings of a device compare equal here: links resolved, else the absolute path.
QString identityOf(const QString &operand) {
    const Resolution resolution = resolve(operand);
    if (resolution.path.isEmpty())
        return operand;
    const QFileInfo info(resolution.path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

} // namespace

bool isUsbIdentity(const QString &operand) {
    return operand.startsWith(QLatin1String("usb:"));
}

QString usbIdentityError(const QString &text) {
    if (parseUsb(text))
        return QString();
    return QStringLiteral("'%1' is not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, "
                          "VID and PID in hexadecimal as 'ports' prints them")
        .arg(text);
}

Resolution resolve(const QString &operand, const QByteArray &raw) {
    if (!isUsbIdentity(operand)) {
        if (!raw.isEmpty() && QFile::encodeName(operand) != raw) {
            const bool path = raw.startsWith('/') || raw.startsWith("./") || raw.startsWith("../");
            const QString reached = fileoperand::portPath(path ? raw : "/dev/" + raw);
            // Not there (yet): the name as decoded, for the cause.
            if (!reached.isEmpty())
                return {reached, QString()};
        }
        return {systemPath(operand), QString()};
    }
    const std::optional<UsbIdentity> identity = parseUsb(operand);
    if (!identity)
        return {QString(), usbIdentityError(operand)};
    const QList<QSerialPortInfo> found = withIdentity(*identity);
    if (found.size() > 1) {
        QStringList names;
        for (const QSerialPortInfo &info : found)
            names << info.systemLocation() + QStringLiteral(" (serial ") +
                         (info.serialNumber().isEmpty() ? QStringLiteral("unknown")
                                                        : info.serialNumber()) +
                         QLatin1Char(')');
        return {QString(), QStringLiteral("%1 matches %2 ports: %3; add the serial number")
                               .arg(operand)
                               .arg(found.size())
                               .arg(names.join(", "))};
    }
    return {found.isEmpty() ? QString() : found.first().systemLocation(), QString()};
}

bool isPresent(const Resolution &resolution) {
    return !resolution.path.isEmpty() && QFileInfo::exists(resolution.path);
}

Resolution waitFor(const QString &operand, int waitMs, const std::function<bool()> &stop,
                   const QByteArray &raw) {
    QDeadlineTimer deadline(waitMs);
    for (;;) {
        const Resolution resolution = resolve(operand, raw);
        if (isPresent(resolution) || !resolution.error.isEmpty() || deadline.hasExpired() || stop())
            return resolution;
        QThread::msleep(100);
    }
}

bool looksLikePort(const QString &operand) {
    if (isUsbIdentity(operand) || operand.startsWith(QLatin1String("/dev/")) ||
        portcheck::isCharacterDevice(operand))
        return true;
    return !operand.contains(QLatin1Char('/')) && presentNames().contains(operand);
}

QString sameDevice(const QStringList &operands) {
    QStringList identities;
    for (const QString &operand : operands) {
        const QString identity = identityOf(operand);
        const int earlier = identities.indexOf(identity);
        if (earlier >= 0)
            return QStringLiteral("%1 and %2").arg(operands.at(earlier), operand);
        identities << identity;
    }
    return QString();
}

QStringList presentNames() {
    QStringList names;
    const auto all = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : all)
        names << info.portName();
    return names;
}

QString serialNumber(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const auto all = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : all) {
        if (info.systemLocation() == path || info.systemLocation() == canonical)
            return info.serialNumber();
    }
    return QString();
}

int list(bool json) {
    const auto all = QSerialPortInfo::availablePorts();
    if (all.isEmpty() && !json && console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("No serial ports found"));
    for (const QSerialPortInfo &info : all) {
        const bool usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
        const QString vid = usb ? hex4(info.vendorIdentifier()) : QString();
        const QString pid = usb ? hex4(info.productIdentifier()) : QString();
        QByteArray line;
        if (json) {
            const auto orNull = [](const QString &text) {
                return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
            };
            QString identity;
            if (usb) {
                identity = QStringLiteral("usb:%1:%2").arg(vid, pid);
                if (!info.serialNumber().isEmpty())
                    identity += QLatin1Char(':') + info.serialNumber();
            }
            const QJsonObject object{{"name", info.portName()},
                                     {"path", info.systemLocation()},
                                     {"vid", orNull(vid)},
                                     {"pid", orNull(pid)},
                                     {"usb", orNull(identity)},
                                     {"serial", orNull(info.serialNumber())},
                                     {"manufacturer", orNull(info.manufacturer())},
                                     {"description", orNull(info.description())}};
            line = QJsonDocument(object).toJson(QJsonDocument::Compact);
        } else {
            const auto field = [](const QString &text) {
                return text.isEmpty() ? QStringLiteral("-") : text;
            };
            line = QStringList{info.portName(),
                               info.systemLocation(),
                               usb ? vid + QLatin1Char(':') + pid : field(QString()),
                               field(info.serialNumber()),
                               field(info.manufacturer()),
                               field(info.description())}
                       .join(QLatin1Char('\t'))
                       .toLocal8Bit();
        }
        if (!output::toStdout(line + '\n'))
            break;
    }
    return 0;
}

QStringList matching(const QString &selector) {
    QStringList found;
    if (isUsbIdentity(selector)) {
        if (const std::optional<UsbIdentity> identity = parseUsb(selector)) {
            for (const QSerialPortInfo &info : withIdentity(*identity))
                found << info.systemLocation();
        }
        return found;
    }
    // A selector without a folder is looked for in /dev, as a bare port name is.
    const QString pattern = systemPath(selector);
    const int slash = pattern.lastIndexOf(QLatin1Char('/'));
    const QDir folder(slash == 0 ? QStringLiteral("/") : pattern.left(slash));
    // Case-sensitive, as the names of devices are: ttyusb* is not ttyUSB0.
    const QRegularExpression glob(
        QRegularExpression::wildcardToRegularExpression(pattern.mid(slash + 1)));
    const QStringList names =
        folder.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        if (glob.match(name).hasMatch() && QFileInfo::exists(path))
            found << path;
    }
    return found;
}

} // namespace cli::ports
