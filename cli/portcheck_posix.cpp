#include "portcheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli::portcheck {

namespace {

QString processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QString describeProcess(qint64 pid) {
    const QString name = processName(pid);
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                          : QStringLiteral("%1 (pid %2)").arg(name).arg(pid);
}

// The live owner named by a UUCP-style lock file (LCK..NAME, NAME being the path below /dev/
// with '/' as '_'), in the folders where serial ports are locked; 0 when none.
qint64 lockOwner(const QString &path) {
    QStringList names;
    for (const QString &candidate : {path, QFileInfo(path).canonicalFilePath()}) {
        QString name = candidate;
        if (name.startsWith(QLatin1String("/dev/")))
            name.remove(0, 5);
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    }
    for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                               "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        for (const QString &name : names) {
            QFile lock(QStringLiteral("%1/LCK..%2").arg(QLatin1String(folder), name));
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const qint64 pid = QString::fromLatin1(lock.readLine()).trimmed().toLongLong();
            if (pid > 0 && pid != ::getpid() && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
                return pid;
        }
    }
    return 0;
}

// The other processes that have the device file open, from /proc.
QStringList holders(const QString &path) {
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) != 0)
        return {};
    QStringList found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : pids) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || pid == ::getpid())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        const QStringList links = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : links) {
            struct stat held {};
            if (::stat(QFile::encodeName(fds.filePath(fd)).constData(), &held) == 0 &&
                held.st_rdev == target.st_rdev && S_ISCHR(held.st_mode)) {
                found << describeProcess(pid);
                break;
            }
        }
    }
    return found;
}

QString groupOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    const group *owner = ::getgrgid(info.st_gid);
    return owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(info.st_gid);
}

QString inUse(const QString &path) {
    if (const qint64 pid = lockOwner(path))
        return QStringLiteral("%1 is in use by %2").arg(path, describeProcess(pid));
    const QStringList others = holders(path);
    if (!others.isEmpty())
        return QStringLiteral("%1 is in use; it is open in %2").arg(path, others.join(", "));
    return QString();
}

} // namespace

bool isCharacterDevice(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

QString whyNotOpened(const QString &path, const QStringList &present) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return QStringLiteral("no such port %1 (%2)")
                .arg(path, present.isEmpty()
                               ? QStringLiteral("no serial ports are present")
                               : QStringLiteral("ports present: %1").arg(present.join(", ")));
        case EACCES:
        case EPERM: {
            const QString group = groupOf(path);
            return QStringLiteral("permission denied on %1: join the group that owns it, %2 "
                                  "(sudo usermod -aG %2 $USER), then log in again")
                .arg(path, group.isEmpty() ? QStringLiteral("dialout") : group);
        }
        case EBUSY: {
            const QString owner = inUse(path);
            return owner.isEmpty() ? QStringLiteral("%1 is in use by another program").arg(path)
                                   : owner;
        }
        default:
            return QStringLiteral("%1 cannot be opened: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        }
    }
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal)
        return QStringLiteral("%1 is not a serial port").arg(path);
    return inUse(path);
}

} // namespace cli::portcheck
