#include "firmwareimage_system.h"

#include <QFileInfo>

namespace transfer::imagefile {

std::optional<LoadedImage> openRegularFile(const QString &path, QFile &file) {
    const QFileInfo info(path);
    if (!info.exists())
        return refused(Outcome::FileNotOpen, ImageCause::NoSuchFile);
    if (!info.isFile())
        return refused(Outcome::FileNotOpen, ImageCause::NotRegularFile);
    if (info.size() > kMaxImageSize)
        return tooLarge(info.size());
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return refused(Outcome::FileNotOpen,
                       file.error() == QFileDevice::PermissionsError ? ImageCause::PermissionDenied
                                                                     : ImageCause::ReadError,
                       0, file.errorString());
    return std::nullopt;
}

} // namespace transfer::imagefile
