#include "slotslock.h"

#include <sys/file.h>
#include <sys/stat.h>

namespace jobs::slotslock {

namespace {

QByteArray identity(const struct stat &info) {
    return QByteArray::number(quint64(info.st_dev)) + ':' +
           QByteArray::number(quint64(info.st_ino));
}

} // namespace

bool tryLock(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

std::optional<QByteArray> identityOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return identity(info);
}

std::optional<QByteArray> identityOf(const QByteArray &path) {
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return std::nullopt;
    return identity(info);
}

} // namespace jobs::slotslock
