#include "imagefile.h"

#include "commandline.h"
#include "console.h"
#include "output.h"
#include "protocol.h"
#include "seriallink.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace cli::imagefile {

QString whyRefused(const QString &path, const QString &shown, transfer::Outcome refusal) {
    switch (refusal) {
    case transfer::Outcome::FileEmpty:
        return QStringLiteral("%1: the file is empty").arg(shown);
    case transfer::Outcome::FirmwareNotFound:
        return QStringLiteral("%1: holds no record (a '{' and a '}' after it)").arg(shown);
    default:
        break;
    }
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("%1: no such file").arg(shown);
    if (!info.isFile())
        return QStringLiteral("%1: not a regular file").arg(shown);
    if (info.size() > transfer::kMaxImageSize)
        return QStringLiteral("%1: too large (%2 bytes; the limit is %3 bytes)")
            .arg(shown)
            .arg(info.size())
            .arg(transfer::kMaxImageSize);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.error() == QFileDevice::PermissionsError ||
                       file.errorString().contains(QLatin1String("ermission"))
                   ? QStringLiteral("%1: permission denied").arg(shown)
                   : QStringLiteral("%1: %2").arg(shown, file.errorString());
    return QStringLiteral("%1: cannot be read").arg(shown);
}

QString sha256(const transfer::RecordList &records) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &record : records)
        hash.addData(record);
    return QString::fromLatin1(hash.result().toHex());
}

bool read(Image *image) {
    image->loaded = transfer::loadImage(image->path);
    if (image->loaded.refusal) {
        console::line(outcomeText(*image->loaded.refusal));
        console::line(whyRefused(image->path, image->shown, *image->loaded.refusal));
        return false;
    }
    image->sha256 = sha256(image->loaded.records);
    return true;
}

namespace {

// What info tells of an image, counted as the file is read a piece at a time: an image of
// millions of small records is not held as a list of them.
struct Census {
    qint64 fileSize = 0;
    int records = 0;
    qint64 bytes = 0;
    int smallest = 0;
    int largest = 0;
    // The tail after the last record, when a '{' opens there and nothing closes it.
    qint64 unclosed = 0;
    std::chrono::nanoseconds upload{0};
    QString sha256;
};

// Reads the image at path as loadImage() does, refusing what it refuses, but a piece at a time.
std::optional<transfer::Outcome> takeCensus(const QString &path, Census *census) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || !info.isFile() || info.size() > transfer::kMaxImageSize)
        return transfer::Outcome::FileNotOpen;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential())
        return transfer::Outcome::FileNotOpen;

    constexpr qint64 kPiece = 1 << 16;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // The record that is open at the end of a piece, so far; sent only once it closes.
    QByteArray open;
    bool inRecord = false;
    // The records closed in this piece, hashed at its end.
    QByteArray closed;
    qint64 size = 0;
    for (;;) {
        const QByteArray piece = file.read(kPiece);
        if (file.error() != QFileDevice::NoError)
            return transfer::Outcome::FileNotOpen;
        if (piece.isEmpty())
            break;
        size += piece.size();
        const char *const data = piece.constData();
        const int length = piece.size();
        int at = 0;
        while (at < length) {
            const char wanted = inRecord ? '}' : '{';
            const void *found = std::memchr(data + at, wanted, size_t(length - at));
            if (!found) {
                if (inRecord)
                    open.append(data + at, length - at);
                break;
            }
            const int end = int(static_cast<const char *>(found) - data);
            if (!inRecord) {
                inRecord = true;
                at = end;
                continue;
            }
            open.append(data + at, end + 1 - at);
            at = end + 1;
            inRecord = false;
            const int recordSize = open.size();
            census->smallest =
                census->records == 0 ? recordSize : std::min(census->smallest, recordSize);
            census->largest = std::max(census->largest, recordSize);
            census->records += 1;
            census->bytes += recordSize;
            // Each record and its reply on the line, then the pause after it.
            census->upload += transfer::wireTime(recordSize + transfer::kAcknowledgeSize) +
                              transfer::kRecordPause;
            closed += open;
            open.clear();
        }
        hash.addData(closed);
        closed.clear();
    }
    if (size == 0)
        return transfer::Outcome::FileEmpty;
    qDebug() << "Num records: " << census->records;
    if (census->records == 0)
        return transfer::Outcome::FirmwareNotFound;
    census->fileSize = size;
    census->unclosed = inRecord ? open.size() : 0;
    census->sha256 = QString::fromLatin1(hash.result().toHex());
    return std::nullopt;
}

} // namespace

int info(const QString &path, const QString &shown, bool json) {
    Census census;
    if (const std::optional<transfer::Outcome> refusal = takeCensus(path, &census)) {
        console::line(outcomeText(*refusal));
        console::line(whyRefused(path, shown, *refusal));
        return kImageRefused;
    }
    const double seconds = std::chrono::duration<double>(census.upload).count();
    const qint64 outside = census.fileSize - census.bytes;

    QByteArray text;
    if (json) {
        const QJsonObject object{{"image", shown},
                                 {"records", census.records},
                                 {"bytes", census.bytes},
                                 {"smallest", census.smallest},
                                 {"largest", census.largest},
                                 {"outside", outside},
                                 {"unclosed", census.unclosed},
                                 {"sha256", census.sha256},
                                 {"seconds", std::round(seconds * 1000) / 1000}};
        text = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    } else {
        text = "image:             " + shown.toLocal8Bit() + '\n';
        text += QByteArray("records:           ") + QByteArray::number(census.records) + '\n';
        text += QStringLiteral("bytes in records:  %1 (smallest record %2, largest %3)\n")
                    .arg(census.bytes)
                    .arg(census.smallest)
                    .arg(census.largest)
                    .toLatin1();
        text += QByteArray("bytes outside:     ") + QByteArray::number(outside) + '\n';
        text += "sha256:            " + census.sha256.toLatin1() + '\n';
        text += QStringLiteral("upload at %1:  %2 s (wire time plus %3 ms a record)\n")
                    .arg(int(transfer::kBaudRate))
                    .arg(seconds, 0, 'f', 1)
                    .arg(static_cast<long long>(transfer::kRecordPause.count()))
                    .toLatin1();
    }
    output::toStdout(text);
    if (census.unclosed > 0)
        console::line(QStringLiteral("warning: %1 ends in a '{' that is never closed; its last "
                                     "%2 bytes will not be sent")
                          .arg(shown)
                          .arg(census.unclosed));
    return kDone;
}

} // namespace cli::imagefile
