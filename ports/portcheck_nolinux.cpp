#include "portcheck.h"

#include "portcheck_system.h"
#include "ports.h"

#include <QFile>

// POSIX systems other than Linux: no sysfs to tell where a port sits, and no handles on a name
// alone.
namespace ports {

namespace unixsystem {

QString usbPlace(quint64, const QString &) {
    return QString();
}

QString reachName(const QString &, const QByteArray &raw) {
    return QFile::decodeName(raw);
}

} // namespace unixsystem

void letGo(const QString &) {}

} // namespace ports
