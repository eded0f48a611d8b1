#pragma once

#include "cause.h"
#include "messages.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

namespace transfer {

// One firmware record: the bytes from a '{' up to and including the next '}', sent unchanged.
using RecordList = QList<QByteArray>;

// Splits an image into its records, in file order. Bytes outside records are ignored, a '{'
// inside a record belongs to it, and an opening '{' with no '}' after it contributes nothing.
RecordList splitRecords(const QByteArray &image);

// The largest image that fits in one byte array; larger files are refused before reading.
inline constexpr qint64 kMaxImageSize = 0x7fffffff - 64;

// The cause of a refused image, told by the name the user gave, shown: its text reads e.g.
// "fw.bin: no such file". An empty file and one without a record hold nothing to send
// (image-empty); any other refusal is image-unreadable.
Cause imageRefusal(const ImageCause &cause, const QString &shown);

// What an image holds, as its bytes are read: counted as the records are split, so that a file
// is described from the one read that loads it, and one too large to hold can be streamed.
struct ImageSummary {
    int records = 0;
    qint64 bytes = 0;    // in records
    qint64 smallest = 0; // record sizes
    qint64 largest = 0;
    qint64 outside = 0;  // bytes between, before and after records
    qint64 unclosed = 0; // of those, the tail from a '{' that nothing closes
    QByteArray sha256;   // of the records as sent, one after the other (hex)
    // The time an upload takes on a device that answers at once: the wire time of each record
    // and its acknowledgement, and the pause after each.
    std::chrono::nanoseconds uploadTime{0};
};

// Splits bytes fed in pieces of any size into the records they hold, summing them up as it goes.
class RecordScanner {
public:
    RecordScanner();
    // Takes the next piece; each record completed in it is passed to onRecord when given.
    void feed(const QByteArray &piece, RecordList *onRecord = nullptr);
    // The summary of everything fed so far.
    ImageSummary summary() const;

private:
    void count(qint64 size);

    QCryptographicHash m_hash;
    QByteArray m_open; // the record begun and not yet closed
    bool m_inRecord = false;
    ImageSummary m_summary;
};

struct LoadedImage {
    RecordList records;
    // Set when the image is refused; the records are then empty.
    std::optional<Outcome> refusal;
    ImageCause cause;
    ImageSummary summary;
};

// Reads the image at path whole and splits it. Writes "Num records: " and the count to the
// debug log once the file has been read. Refuses, in this order: a path that names nothing or
// something other than a regular file, a file too large to hold, or one that cannot be opened
// or read (FileNotOpen); an empty file (FileEmpty); a file without a complete record
// (FirmwareNotFound). Nothing but a regular file is ever opened.
LoadedImage loadImage(const QString &path);

// Reads the image at path piece by piece, records included, holding no more than a piece at a
// time: what 'info' tells of an image of any record sizes. Refuses what loadImage refuses.
LoadedImage scanImage(const QString &path);

// What 'info' prints of an image (shown: its name as given): one JSON object and a line end with
// json, else lines of text.
QByteArray describeImage(const ImageSummary &summary, const QString &shown, bool json);

} // namespace transfer
