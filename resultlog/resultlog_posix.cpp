// The results log's files on a POSIX system: opened without waiting, locked around each line,
// and followed to whatever their path names.

#include "resultlog.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace resultlog {

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString notRegular() {
    return QStringLiteral("not a regular file");
}

// Holds the file's lock, which every writer of the log takes around what it writes.
class FileLock {
public:
    explicit FileLock(int fd)
        : m_fd(fd) {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(m_fd, LOCK_UN); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int m_fd;
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
        FileLock lock(fd);
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
    FileLock lock(m_fd);
    // One write: with O_APPEND it lands whole at the end, after any other writer's line.
    const ssize_t written = ::write(m_fd, bytes.constData(), size_t(bytes.size()));
    if (written != bytes.size()) {
        *error = written < 0 ? systemText(errno) : QStringLiteral("the disk took only part of it");
        return false;
    }
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
