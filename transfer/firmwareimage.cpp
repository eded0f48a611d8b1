#include "firmwareimage.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace transfer {

RecordList splitRecords(const QByteArray &image) {
    RecordList records;
    int start = image.indexOf('{');
    while (start >= 0) {
        const int end = image.indexOf('}', start);
        if (end < 0)
            break;
        records.append(image.mid(start, end - start + 1));
        start = image.indexOf('{', end);
    }
    return records;
}

namespace {

LoadedImage refused(Outcome outcome) {
    LoadedImage image;
    image.refusal = outcome;
    return image;
}

} // namespace

LoadedImage loadImage(const QString &path) {
    // Only regular files (or links to them) are read: opening a FIFO would block until a writer
    // comes, and a device such as /dev/zero never ends.
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || !info.isFile())
        return refused(Outcome::FileNotOpen);
    if (info.size() > kMaxImageSize) {
        qDebug() << "Image too large:" << info.size();
        return refused(Outcome::FileNotOpen);
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential())
        return refused(Outcome::FileNotOpen);
    const QByteArray content = file.readAll();
    // A read that stopped short would leave records out of the image; refuse it whole.
    const bool readFailed = file.error() != QFileDevice::NoError;
    file.close();
    if (readFailed)
        return refused(Outcome::FileNotOpen);
    if (content.isEmpty())
        return refused(Outcome::FileEmpty);

    LoadedImage image;
    image.records = splitRecords(content);
    qDebug() << "Num records: " << image.records.size();
    if (image.records.isEmpty())
        image.refusal = Outcome::FirmwareNotFound;
    return image;
}

} // namespace transfer
