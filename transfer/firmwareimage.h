#pragma once

#include "messages.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace transfer {

// One firmware record: the bytes from a '{' up to and including the next '}', sent unchanged.
using RecordList = QList<QByteArray>;

// Splits an image into its records, in file order. Bytes outside records are ignored, a '{'
// inside a record belongs to it, and an opening '{' with no '}' after it contributes nothing.
RecordList splitRecords(const QByteArray &image);

// The largest image that fits in one byte array; larger files are refused before reading.
inline constexpr qint64 kMaxImageSize = 0x7fffffff - 64;

struct LoadedImage {
    RecordList records;
    // Set when the image is refused; the records are then empty.
    std::optional<Outcome> refusal;
};

// Reads the image at path whole and splits it. Writes "Num records: " and the count to the
// debug log once the file has been read. Refuses, in this order: a path that cannot be opened
// or is not a regular file, or a file too large to hold (FileNotOpen); an empty file
// (FileEmpty); a file without a complete record (FirmwareNotFound).
LoadedImage loadImage(const QString &path);

} // namespace transfer
