#include "firmwareimage_system.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace transfer::imagefile {

namespace {

// The cause for a failed stat or open, from its errno.
LoadedImage refusedFor(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return refused(Outcome::FileNotOpen, ImageCause::NoSuchFile);
    case EACCES:
    case EPERM:
        return refused(Outcome::FileNotOpen, ImageCause::PermissionDenied);
    default:
        return refused(Outcome::FileNotOpen, ImageCause::ReadError, 0,
                       QString::fromLocal8Bit(std::strerror(error)));
    }
}

} // namespace

std::optional<LoadedImage> openRegularFile(const QString &path, QFile &file) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0)
        return refusedFor(errno);
    if (!S_ISREG(info.st_mode))
        return refused(Outcome::FileNotOpen, ImageCause::NotRegularFile);
    if (info.st_size > kMaxImageSize)
        return tooLarge(info.st_size);
    // Non-blocking, in case the path was replaced by a FIFO since: it is checked again below.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return refusedFor(errno);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return refused(Outcome::FileNotOpen, ImageCause::NotRegularFile);
    }
    if (info.st_size > kMaxImageSize) {
        ::close(fd);
        return tooLarge(info.st_size);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refused(Outcome::FileNotOpen, ImageCause::ReadError, 0, file.errorString());
    }
    return std::nullopt;
}

} // namespace transfer::imagefile
