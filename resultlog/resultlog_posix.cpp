// The results log's files on a POSIX system: opened without waiting, locked around each line,
// and followed to whatever their path names.

#include "resultlog.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace resultlog {

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString notRegular() {
    return QStringLiteral("not a regular file");
}

// Who holds a lock on the file (info) from the system's list of locks (/proc/locks), as
// "NAME (pid N)"; empty where the system does not tell.
QString lockHolder(const struct stat &info) {
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return QString();
    // e.g. "3: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; waiters' lines hold "->".
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.contains("->"))
            continue;
        const QList<QByteArray> file = fields[5].split(':');
        if (file.size() != 3)
            continue;
        bool ok = false;
        const unsigned fileMajor = file[0].toUInt(&ok, 16);
        const unsigned fileMinor = ok ? file[1].toUInt(&ok, 16) : 0;
        const quint64 inode = ok ? file[2].toULongLong(&ok) : 0;
        if (!ok || fileMajor != major(info.st_dev) || fileMinor != minor(info.st_dev) ||
            inode != quint64(info.st_ino))
            continue;
        const QByteArray pid = fields[4];
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
        const QString name = comm.open(QIODevice::ReadOnly)
                                 ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                 : QString();
        return name.isEmpty() ? QStringLiteral("process %1").arg(QString::fromLatin1(pid))
                              : QStringLiteral("%1 (pid %2)").arg(name, QString::fromLatin1(pid));
    }
    return QString();
}

// Holds the file's lock, which every writer of the log takes around what it writes. Another
// writer holds it for a line at a time; a lock held longer (another program's) is waited for,
// said once, and given up when stop says so.
class FileLock {
public:
    FileLock(int fd, const QString &path, const std::function<bool()> &stop,
             const std::function<void(const QString &)> &note)
        : m_fd(fd) {
        QElapsedTimer waited;
        waited.start();
        bool said = false;
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                m_held = true;
                return;
            }
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                m_error = systemText(errno);
                return;
            }
            if (stop && stop()) {
                m_error = QStringLiteral("stopped while waiting for its lock");
                return;
            }
            if (!said && note && waited.elapsed() >= kSayAfterMs) {
                said = true;
                struct stat info {};
                const QString holder = ::fstat(m_fd, &info) == 0 ? lockHolder(info) : QString();
                note(QStringLiteral("the log %1 is locked by %2; waiting for it")
                         .arg(path, holder.isEmpty() ? QStringLiteral("another program") : holder));
            }
            QThread::msleep(kPollMs);
        }
    }
    ~FileLock() {
        if (m_held)
            ::flock(m_fd, LOCK_UN);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool held() const { return m_held; }
    const QString &error() const { return m_error; }

private:
    // A stop is honoured within a poll; the wait is told of once it outlasts a line's write.
    static constexpr int kPollMs = 20;
    static constexpr qint64 kSayAfterMs = 500;
    int m_fd;
    bool m_held = false;
    QString m_error;
};

// Writes all of bytes; false with errno set when the system refused some of it.
bool writeAll(int fd, const char *bytes, qint64 size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// Opens name with flags, without blocking: a FIFO would wait for its other end, forever and
// past any stop signal. Anything but a regular file is refused, and the descriptor of a regular
// one returned blocking again; -1 with the reason in error otherwise.
int openRegular(const QByteArray &name, int flags, struct stat *info, QString *error) {
    const int fd = ::open(name.constData(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        // A writer is refused so only by a FIFO without a reader, or a device or socket.
        *error = errno == ENXIO ? notRegular() : systemText(errno);
        return -1;
    }
    if (::fstat(fd, info) != 0) {
        *error = systemText(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(info->st_mode)) {
        *error = notRegular();
        ::close(fd);
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        *error = systemText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// The last byte of the log open as fd (info), '\n' when there is none or it cannot be read: a
// writer may not read, so it is read through a second descriptor, when that is the same file.
char lastByte(int fd, const QByteArray &name, const struct stat &info) {
    char last = '\n';
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return last;
    const int reader = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (reader < 0)
        return last;
    struct stat opened {};
    if (::fstat(reader, &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino || ::pread(reader, &last, 1, size - 1) != 1)
        last = '\n';
    ::close(reader);
    return last;
}

} // namespace

ResultLog::~ResultLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ResultLog::open(const QString &path, QString *error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_path = path;
    m_name = QFile::encodeName(path);
    return reopen(error);
}

bool ResultLog::reopen(QString *error) {
    struct stat info {};
    const int fd = openRegular(m_name, O_WRONLY | O_APPEND | O_CREAT, &info, error);
    if (fd < 0)
        return false;
    {
        FileLock lock(fd, m_path, m_stop, m_note);
        if (!lock.held()) {
            *error = lock.error();
            ::close(fd);
            return false;
        }
        // The last byte tells whether the last line was written whole.
        if (lastByte(fd, m_name, info) != '\n' && (!writeAll(fd, "\n", 1) || ::fsync(fd) != 0)) {
            *error = systemText(errno);
            ::close(fd);
            return false;
        }
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_torn = false;
    m_device = quint64(info.st_dev);
    m_inode = quint64(info.st_ino);
    return true;
}

bool ResultLog::stillAtPath() const {
    struct stat named {};
    return ::stat(m_name.constData(), &named) == 0 && quint64(named.st_dev) == m_device &&
           quint64(named.st_ino) == m_inode;
}

bool ResultLog::append(const QJsonObject &line, QString *error) {
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_fd < 0) {
        *error = QStringLiteral("the log is not open");
        return false;
    }
    // Rotated away, unlinked, or its folder gone: the line goes where the path leads now. The
    // open file is kept until another is open, and written to only while the path names it.
    if (!stillAtPath() && !reopen(error))
        return false;
    FileLock lock(m_fd, m_path, m_stop, m_note);
    if (!lock.held()) {
        *error = lock.error();
        return false;
    }
    const QByteArray out = m_torn ? '\n' + bytes : bytes;
    // Where the file ended before the line, to cut a torn line off again: under the lock no
    // other writer appends meanwhile.
    struct stat before {};
    const bool sized = ::fstat(m_fd, &before) == 0;
    // One write: with O_APPEND it lands whole at the end, after any other writer's line.
    const ssize_t written = ::write(m_fd, out.constData(), size_t(out.size()));
    if (written != out.size()) {
        *error = written < 0 ? systemText(errno) : QStringLiteral("the disk took only part of it");
        // Whatever went out of a line cut short is taken back; where it cannot be, the next
        // line starts on a line of its own.
        if (written > 0 && (!sized || ::ftruncate(m_fd, before.st_size) != 0))
            m_torn = true;
        return false;
    }
    m_torn = false;
    if (::fsync(m_fd) != 0) {
        *error = systemText(errno);
        return false;
    }
    return true;
}

bool openForReading(const QString &path, QFile *file, QString *error) {
    struct stat info {};
    const int fd = openRegular(QFile::encodeName(path), O_RDONLY, &info, error);
    if (fd < 0)
        return false;
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = file->errorString();
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace resultlog
