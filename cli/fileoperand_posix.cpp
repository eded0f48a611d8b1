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

} // namespace cli::fileoperand
