#include "firmwareimage.h"

#include "firmwareimage_system.h"

#include "protocol.h"
#include "seriallink.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

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

namespace imagefile {

LoadedImage refused(Outcome outcome, ImageCause::Kind kind, qint64 size,
                    const QString &systemText) {
    LoadedImage image;
    image.refusal = outcome;
    image.cause.kind = kind;
    image.cause.size = size;
    image.cause.systemText = systemText;
    return image;
}

LoadedImage tooLarge(qint64 size) {
    qDebug() << "Image too large:" << size;
    return refused(Outcome::FileNotOpen, ImageCause::TooLarge, size);
}

} // namespace imagefile

using imagefile::refused;

namespace {

// Records are hashed in runs of this much, not one call each: an image of tiny records holds
// millions of them.
constexpr int kHashRun = 64 * 1024;
// What scanImage reads at a time.
constexpr qint64 kScanPiece = 1024 * 1024;

// Opens the image at path for reading, as openRegularFile() does; nothing for an empty path.
std::optional<LoadedImage> openImage(const QString &path, QFile &file) {
    if (path.isEmpty())
        return refused(Outcome::FileNotOpen, ImageCause::NoSuchFile);
    return imagefile::openRegularFile(path, file);
}

// Refuses an image that was read whole but holds nothing to send.
void refuseIfEmpty(LoadedImage &image, qint64 size) {
    if (size == 0) {
        image = refused(Outcome::FileEmpty, ImageCause::Empty);
        return;
    }
    qDebug() << "Num records: " << image.summary.records;
    if (image.summary.records == 0) {
        image.refusal = Outcome::FirmwareNotFound;
        image.cause.kind = ImageCause::NoRecord;
    }
}

} // namespace

Cause imageRefusal(const ImageCause &cause, const QString &shown) {
    Cause refusal;
    refusal.kind = cause.kind == ImageCause::Empty || cause.kind == ImageCause::NoRecord
                       ? Cause::Kind::ImageEmpty
                       : Cause::Kind::ImageUnreadable;
    refusal.path = shown;
    refusal.image = cause;
    return refusal;
}

RecordScanner::RecordScanner()
    : m_hash(QCryptographicHash::Sha256) {}

void RecordScanner::count(qint64 size) {
    m_summary.smallest = m_summary.records == 0 ? size : qMin(m_summary.smallest, size);
    m_summary.largest = qMax(m_summary.largest, size);
    ++m_summary.records;
    m_summary.bytes += size;
    m_summary.uploadTime += wireTime(size + kAcknowledgeSize) + kRecordPause;
}

void RecordScanner::feed(const QByteArray &piece, RecordList *records) {
    int at = 0;
    // Records that follow one another in the piece are hashed in one run.
    int runStart = -1;
    int runEnd = -1;
    const auto flushRun = [&] {
        if (runStart >= 0)
            m_hash.addData(
                QByteArray::fromRawData(piece.constData() + runStart, runEnd - runStart));
        runStart = -1;
    };
    while (at < piece.size()) {
        if (!m_inRecord) {
            const int open = piece.indexOf('{', at);
            if (open < 0) {
                m_summary.outside += piece.size() - at;
                break;
            }
            m_summary.outside += open - at;
            m_inRecord = true;
            at = open;
        }
        // A record begun in an earlier piece may close at once; a new one not before its '{'.
        const int close = piece.indexOf('}', m_open.isEmpty() ? at + 1 : at);
        if (close < 0) {
            m_open += piece.mid(at);
            break;
        }
        m_inRecord = false;
        const int length = close - at + 1;
        if (m_open.isEmpty()) {
            count(length);
            if (runStart >= 0 && runEnd != at)
                flushRun();
            if (runStart < 0)
                runStart = at;
            runEnd = close + 1;
            if (runEnd - runStart >= kHashRun)
                flushRun();
            if (records)
                records->append(piece.mid(at, length));
        } else {
            flushRun();
            const QByteArray record = m_open + piece.mid(at, length);
            m_open.clear();
            count(record.size());
            m_hash.addData(record);
            if (records)
                records->append(record);
        }
        at = close + 1;
    }
    flushRun();
}

ImageSummary RecordScanner::summary() const {
    ImageSummary summary = m_summary;
    summary.unclosed = m_open.size();
    summary.outside += m_open.size();
    summary.sha256 = m_hash.result().toHex();
    return summary;
}

LoadedImage loadImage(const QString &path) {
    QFile file;
    if (std::optional<LoadedImage> refusal = openImage(path, file))
        return *refusal;
    const QByteArray content = file.readAll();
    // A read that stopped short would leave records out of the image; refuse it whole.
    if (file.error() != QFileDevice::NoError)
        return refused(Outcome::FileNotOpen, ImageCause::ReadError, 0, file.errorString());
    file.close();

    LoadedImage image;
    RecordScanner scanner;
    scanner.feed(content, &image.records);
    image.summary = scanner.summary();
    refuseIfEmpty(image, content.size());
    if (image.refusal)
        image.records.clear();
    return image;
}

LoadedImage scanImage(const QString &path) {
    QFile file;
    if (std::optional<LoadedImage> refusal = openImage(path, file))
        return *refusal;
    RecordScanner scanner;
    qint64 size = 0;
    for (;;) {
        const QByteArray piece = file.read(kScanPiece);
        if (file.error() != QFileDevice::NoError)
            return refused(Outcome::FileNotOpen, ImageCause::ReadError, 0, file.errorString());
        if (piece.isEmpty())
            break;
        size += piece.size();
        scanner.feed(piece);
    }
    LoadedImage image;
    image.summary = scanner.summary();
    refuseIfEmpty(image, size);
    return image;
}

QByteArray describeImage(const ImageSummary &summary, const QString &shown, bool json) {
    const double seconds = std::chrono::duration<double>(summary.uploadTime).count();
    if (json) {
        const QJsonObject object{{"image", shown},
                                 {"records", summary.records},
                                 {"bytes", summary.bytes},
                                 {"smallest", summary.smallest},
                                 {"largest", summary.largest},
                                 {"outside", summary.outside},
                                 {"unclosed", summary.unclosed},
                                 {"sha256", QString::fromLatin1(summary.sha256)},
                                 {"seconds", std::round(seconds * 1000) / 1000}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    // Put together piece by piece: a name may hold what looks like a placeholder.
    QByteArray text = "image:             " + shown.toLocal8Bit() + '\n';
    text += "records:           " + QByteArray::number(summary.records) + '\n';
    text += "bytes in records:  " + QByteArray::number(summary.bytes) + " (smallest record " +
            QByteArray::number(summary.smallest) + ", largest " +
            QByteArray::number(summary.largest) + ")\n";
    text += "bytes outside:     " + QByteArray::number(summary.outside) + '\n';
    text += "sha256:            " + summary.sha256 + '\n';
    text += "upload at " + QByteArray::number(kBaudRate) + ":  " +
            QByteArray::number(seconds, 'f', 1) + " s (wire time plus " +
            QByteArray::number(qint64(kRecordPause.count())) + " ms a record)\n";
    return text;
}

} // namespace transfer
