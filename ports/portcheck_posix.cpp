#include "portcheck.h"

#include "portcheck_system.h"
#include "ports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#if __has_include(<sys/sysmacros.h>)
#include <sys/sysmacros.h> // major() and minor() where <sys/types.h> does not give them
#endif
#include <unistd.h>

namespace ports {

namespace {

QString processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

transfer::Process describeProcess(qint64 pid) {
    return {pid, processName(pid)};
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
QList<transfer::Process> holders(const QString &path) {
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) != 0)
        return {};
    QList<transfer::Process> found;
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

transfer::Holding inUse(const QString &path) {
    if (const qint64 pid = lockOwner(path))
        return {transfer::Holding::By::LockFile, {describeProcess(pid)}};
    const QList<transfer::Process> others = holders(path);
    if (!others.isEmpty())
        return {transfer::Holding::By::OpenFile, others};
    return {};
}

// A line of /proc/tty/drivers: name, device path prefix, major, minor range and type.
struct TtyDriver {
    QString name;
    QString prefix;
    unsigned major = 0;
    unsigned firstMinor = 0;
    unsigned lastMinor = 0;
    QString type;
};

// The terminal drivers the kernel lists; empty where there is no such list.
QList<TtyDriver> ttyDrivers() {
    QList<TtyDriver> drivers;
    QFile list(QStringLiteral("/proc/tty/drivers"));
    if (!list.open(QIODevice::ReadOnly))
        return drivers;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5)
            continue;
        TtyDriver driver;
        driver.name = QString::fromLocal8Bit(fields[0]);
        driver.prefix = QString::fromLocal8Bit(fields[1]);
        bool ok = false;
        driver.major = fields[2].toUInt(&ok);
        const QList<QByteArray> range = fields[3].split('-');
        bool first = false;
        bool last = true;
        driver.firstMinor = range[0].toUInt(&first);
        driver.lastMinor = range.size() > 1 ? range[1].toUInt(&last) : driver.firstMinor;
        driver.type = QString::fromLocal8Bit(fields[4]);
        if (ok && first && last)
            drivers << driver;
    }
    return drivers;
}

// The process that has the terminal device as its controlling terminal (the tty_nr field of
// /proc/PID/stat); 0 when none.
qint64 controllingProcess(dev_t device) {
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : pids) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The name in parentheses may hold spaces and parentheses of its own.
        const int nameEnd = line.lastIndexOf(')');
        if (nameEnd < 0)
            continue;
        // state, ppid, pgrp, session, tty_nr
        const QList<QByteArray> fields = line.mid(nameEnd + 1).simplified().split(' ');
        if (fields.size() < 5)
            continue;
        const quint64 tty = fields[4].toULongLong();
        if (tty == 0)
            continue;
        const unsigned major = unsigned((tty >> 8) & 0xfff);
        const unsigned minor = unsigned((tty & 0xff) | ((tty >> 12) & 0xfff00));
        if (makedev(major, minor) == device)
            return pid;
    }
    return 0;
}

} // namespace

transfer::NotSerial notSerialPort(const QString &path) {
    return notSerialPort(QFile::encodeName(path));
}

transfer::NotSerial notSerialPort(const QByteArray &path) {
    using What = transfer::NotSerial::What;
    transfer::NotSerial found;
    const auto is = [&found](What what) {
        found.what = what;
        return found;
    };
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return found;
    if (S_ISSOCK(info.st_mode))
        return is(What::Socket);
    if (S_ISFIFO(info.st_mode))
        return is(What::Fifo);
    if (S_ISREG(info.st_mode))
        return is(What::RegularFile);
    if (S_ISDIR(info.st_mode))
        return is(What::Directory);
    if (S_ISBLK(info.st_mode))
        return is(What::BlockDevice);
    if (!S_ISCHR(info.st_mode))
        return is(What::NotDevice);
    found.major = ::major(info.st_rdev);
    found.minor = ::minor(info.st_rdev);
    const QList<TtyDriver> drivers = ttyDrivers();
    // Without the kernel's list (not Linux) every character device is given its chance.
    if (!drivers.isEmpty()) {
        const TtyDriver *claimed = nullptr;
        for (const TtyDriver &driver : drivers) {
            if (driver.major == found.major && found.minor >= driver.firstMinor &&
                found.minor <= driver.lastMinor) {
                claimed = &driver;
                break;
            }
        }
        if (!claimed)
            return is(What::OtherDevice);
        if (claimed->type != QLatin1String("serial") &&
            claimed->type != QLatin1String("pty:slave")) {
            found.driver = claimed->name;
            found.driverType = claimed->type;
            return is(What::OtherTerminal);
        }
    }
    if (const qint64 pid = controllingProcess(info.st_rdev)) {
        found.process = describeProcess(pid);
        return is(What::ControllingTerminal);
    }
    return {};
}

transfer::Cause inUseBy(const QString &path) {
    transfer::Cause cause;
    cause.kind = transfer::Cause::Kind::PortBusy;
    cause.path = path;
    cause.holding = inUse(path);
    return cause;
}

void describeAccess(const QString &path, transfer::Cause *cause) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0)
        return;
    const group *owner = ::getgrgid(info.st_gid);
    cause->group = owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(info.st_gid);
    cause->groupGrants = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    char *resolved = ::realpath(name.constData(), nullptr);
    if (resolved) {
        const QString node = QFile::decodeName(resolved);
        ::free(resolved);
        if (node.startsWith(QLatin1String("/dev/")))
            cause->device = node.mid(5);
    }
}

bool isCharacterDevice(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

bool lostInDecoding(const QString &decoded, const QByteArray &raw) {
    return !raw.isEmpty() && QFile::encodeName(decoded) != raw;
}

QString reachByBytes(const QString &decoded, const QByteArray &raw, Reach how) {
    if (!lostInDecoding(decoded, raw))
        return decoded;
    if (how == Reach::Name)
        return unixsystem::reachName(decoded, raw);
    const int fd = ::open(raw.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? decoded : unixsystem::descriptorName(fd);
}

std::optional<DeviceNode> deviceNode(const QByteArray &path) {
    struct stat info {};
    if (::stat(path.constData(), &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    char *resolved = ::realpath(path.constData(), nullptr);
    DeviceNode device{quint64(info.st_rdev), resolved ? QByteArray(resolved) : path};
    ::free(resolved);
    return device;
}

bool isNodeOf(const QByteArray &node, quint64 number) {
    struct stat info {};
    return ::stat(node.constData(), &info) == 0 && S_ISCHR(info.st_mode) &&
           quint64(info.st_rdev) == number;
}

bool mayOpen(const QByteArray &path) {
    return ::access(path.constData(), R_OK | W_OK) == 0 || errno != EACCES;
}

QByteArrayList folderEntries(const QByteArray &folder) {
    QByteArrayList names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    const QByteArray prefix = folder.endsWith('/') ? folder : folder + '/';
    while (const dirent *entry = ::readdir(dir)) {
        struct stat info {};
        const QByteArray path = prefix + entry->d_name;
        if (::stat(path.constData(), &info) == 0 && !S_ISDIR(info.st_mode))
            names << QByteArray(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

QString physicalLocation(const QString &path, const QString &devRoot, const QString &sysRoot) {
    struct stat port {};
    if (::stat(QFile::encodeName(path).constData(), &port) != 0 || !S_ISCHR(port.st_mode))
        return QString();
    const QByteArray byPath = QFile::encodeName(devRoot + QStringLiteral("/serial/by-path/"));
    for (const QByteArray &name : folderEntries(byPath)) {
        struct stat link {};
        if (::stat((byPath + name).constData(), &link) == 0 && S_ISCHR(link.st_mode) &&
            link.st_rdev == port.st_rdev)
            return QFile::decodeName(byPath + name);
    }
    return unixsystem::usbPlace(quint64(port.st_rdev), sysRoot);
}

} // namespace ports
