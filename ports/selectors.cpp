#include "ports.h"

#include "pathglob.h"
#include "usbidentity.h"

#include <QFile>
#include <QRegularExpression>

// The names a station's selector takes in, and how such names are shown.
namespace ports {

PathGlob pathGlob(const QString &selector) {
    const QString pattern = transfer::systemLocation(selector);
    const int slash = pattern.lastIndexOf(QLatin1Char('/'));
    const QString last = pattern.mid(slash + 1);
    PathGlob path;
    path.folder = slash == 0 ? QStringLiteral("/") : pattern.left(slash);
    path.glob.setPattern(QRegularExpression::wildcardToRegularExpression(last));
    path.dotNames = last.startsWith(QLatin1Char('.'));
    return path;
}

bool PathGlob::matches(const QByteArray &name) const {
    return (dotNames || !name.startsWith('.')) && glob.match(QFile::decodeName(name)).hasMatch();
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
    const PathGlob path = pathGlob(selector);
    const QByteArray folder = QFile::encodeName(path.folder);
    for (const QByteArray &name : folderEntries(folder)) {
        if (path.matches(name))
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

} // namespace ports
