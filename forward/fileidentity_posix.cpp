// The identities of files on a POSIX system: their device and inode.

#include "fileidentity.h"

#include <QFile>

#include <sys/stat.h>

namespace forward {

FileIdentity identityOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return {quint64(info.st_dev), quint64(info.st_ino)};
}

FileIdentity identityOf(QFile &file) {
    struct stat info {};
    if (file.handle() < 0 || ::fstat(file.handle(), &info) != 0)
        return {};
    return {quint64(info.st_dev), quint64(info.st_ino)};
}

} // namespace forward
