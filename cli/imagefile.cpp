#include "imagefile.h"

#include "commandline.h"
#include "console.h"
#include "protocol.h"
#include "seriallink.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

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

int info(const QString &path, const QString &shown, bool json) {
    Image image{path, shown, {}, {}};
    if (!read(&image))
        return kImageRefused;
    QFile file(path);
    const qint64 fileSize = file.open(QIODevice::ReadOnly) ? file.size() : 0;
    // The tail after the last record, when a '{' opens there and nothing closes it.
    qint64 unclosedTail = 0;
    if (file.isOpen()) {
        const QByteArray content = file.readAll();
        const int lastClose = content.lastIndexOf('}');
        const int open = content.indexOf('{', lastClose + 1);
        if (open >= 0)
            unclosedTail = content.size() - open;
    }

    const transfer::RecordList &records = image.loaded.records;
    qint64 bytes = 0;
    int smallest = records.first().size();
    int largest = 0;
    // Each record and its reply on the line, then the pause after it.
    std::chrono::nanoseconds upload{0};
    for (const QByteArray &record : records) {
        bytes += record.size();
        smallest = std::min(smallest, int(record.size()));
        largest = std::max(largest, int(record.size()));
        upload +=
            transfer::wireTime(record.size() + transfer::kAcknowledgeSize) + transfer::kRecordPause;
    }
    const double seconds = std::chrono::duration<double>(upload).count();
    const qint64 outside = fileSize - bytes;

    if (json) {
        const QJsonObject object{{"image", shown},
                                 {"records", records.size()},
                                 {"bytes", bytes},
                                 {"smallest", smallest},
                                 {"largest", largest},
                                 {"outside", outside},
                                 {"unclosed", unclosedTail},
                                 {"sha256", image.sha256},
                                 {"seconds", std::round(seconds * 1000) / 1000}};
        std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    } else {
        std::printf("image:             %s\n", shown.toLocal8Bit().constData());
        std::printf("records:           %d\n", int(records.size()));
        std::printf("bytes in records:  %lld (smallest record %d, largest %d)\n",
                    static_cast<long long>(bytes), smallest, largest);
        std::printf("bytes outside:     %lld\n", static_cast<long long>(outside));
        std::printf("sha256:            %s\n", image.sha256.toLatin1().constData());
        std::printf("upload at %d:  %.1f s (wire time plus %lld ms a record)\n",
                    int(transfer::kBaudRate), seconds,
                    static_cast<long long>(transfer::kRecordPause.count()));
    }
    if (unclosedTail > 0)
        console::line(QStringLiteral("warning: %1 ends in a '{' that is never closed; its last "
                                     "%2 bytes will not be sent")
                          .arg(shown)
                          .arg(unclosedTail));
    return kDone;
}

} // namespace cli::imagefile
