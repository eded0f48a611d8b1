#pragma once

#include "firmwareimage.h"

#include <QFile>
#include <QString>

#include <optional>

// How an image file is opened, in one file per system (firmwareimage_posix.cpp,
// firmwareimage_windows.cpp), and the refusals both build theirs from.
namespace transfer::imagefile {

// An image refused with outcome, for a cause of kind (size: the file's, for TooLarge;
// systemText: what the system said, for ReadError).
LoadedImage refused(Outcome outcome, ImageCause::Kind kind, qint64 size = 0,
                    const QString &systemText = QString());
// An image refused for being larger than kMaxImageSize.
LoadedImage tooLarge(qint64 size);

// Opens the image at path (not empty) for reading, refusing anything but a regular file before
// opening it: a FIFO would block until a writer comes, a device such as /dev/zero never ends,
// and opening some devices does something. Leaves file open on success.
std::optional<LoadedImage> openRegularFile(const QString &path, QFile &file);

} // namespace transfer::imagefile
