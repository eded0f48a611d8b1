#include "fileoperand.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace cli::fileoperand {

QString openablePath(const QString &decoded, const QByteArray &raw) {
    if (raw.isEmpty() || QFile::encodeName(decoded) == raw)
        return decoded;
    // Left open for the program's life: /dev/fd/N names it as long as it is.
    const int fd = ::open(raw.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return decoded;
    return QStringLiteral("/dev/fd/%1").arg(fd);
}

QString portPath(const QByteArray &raw) {
#ifdef O_PATH
    const int fd = ::open(raw.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return QString();
    // Opening /dev/fd/N opens the file anew, as its own name would.
    return QStringLiteral("/dev/fd/%1").arg(fd);
#else
    return QFile::decodeName(raw);
#endif
}

} // namespace cli::fileoperand
