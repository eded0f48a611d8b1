#include "resultlog.h"

#include "bootloader_version.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <cstring>

namespace resultlog {

namespace {

// A line longer than this is no board's (those are under a KiB): it is skipped as it is read, so
// that a file without line ends takes no more memory than this.
constexpr int kMaxLine = 1 << 20;
// What is read at a time.
constexpr qint64 kPiece = 256 * 1024;

// FNV-1a: a serial number's digest, 0 left for a free slot.
quint64 digestOf(const QString &serial) {
    quint64 hash = 14695981039346656037ull;
    for (const char byte : serial.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 1099511628211ull;
    }
    return hash == 0 ? 1 : hash;
}

// Puts digest in table (its size a power of two, never full) unless it is there; true when it
// was not.
bool insertDigest(std::vector<quint64> &table, quint64 digest) {
    const size_t mask = table.size() - 1;
    for (size_t at = size_t(digest ^ (digest >> 32)) & mask;; at = (at + 1) & mask) {
        if (table[at] == digest)
            return false;
        if (table[at] == 0) {
            table[at] = digest;
            return true;
        }
    }
}

// A cause without what differs from board to board (ports, record numbers), so that boards that
// failed alike are counted together.
QString causeKind(const QJsonObject &line) {
    QString cause = line.value(QLatin1String("cause")).toString();
    if (cause.isEmpty())
        return line.value(QLatin1String("outcome")).toString();
    for (const char *key : {"path", "port"}) {
        const QString name = line.value(QLatin1String(key)).toString();
        if (!name.isEmpty())
            cause.replace(name, QStringLiteral("PORT"));
    }
    static const QRegularExpression number(QStringLiteral("\\d+"));
    return cause.replace(number, QStringLiteral("N"));
}

} // namespace

QJsonObject boardLine(QJsonObject result, const QString &image, const QString &sha256) {
    result.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    result.insert(QStringLiteral("image"), image);
    result.insert(QStringLiteral("sha256"), sha256);
    result.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    result.insert(QStringLiteral("version"), QString::fromLatin1(bootloader::kVersion));
    return result;
}

void Summarizer::feed(const char *bytes, qint64 size) {
    const char *const end = bytes + size;
    while (bytes < end) {
        const char *newline =
            static_cast<const char *>(std::memchr(bytes, '\n', size_t(end - bytes)));
        const char *const stop = newline ? newline : end;
        if (!m_overlong && m_partial.size() + (stop - bytes) > kMaxLine) {
            m_overlong = true;
            m_partial.clear();
        }
        if (!newline) {
            if (!m_overlong)
                m_partial.append(bytes, int(stop - bytes));
            return;
        }
        if (m_overlong) {
            ++m_report.skipped;
            m_overlong = false;
        } else if (m_partial.isEmpty()) {
            take(QByteArray::fromRawData(bytes, int(stop - bytes)));
        } else {
            m_partial.append(bytes, int(stop - bytes));
            take(m_partial);
            m_partial.clear();
        }
        bytes = newline + 1;
    }
}

bool Summarizer::firstLoad(const QString &serial) {
    // Kept at most three quarters full, so that a look ends after a few slots.
    if ((m_seenCount + 1) * 4 > m_seen.size() * 3) {
        std::vector<quint64> old(std::max<size_t>(4096, m_seen.size() * 2), 0);
        old.swap(m_seen);
        for (const quint64 digest : old) {
            if (digest != 0)
                insertDigest(m_seen, digest);
        }
    }
    if (!insertDigest(m_seen, digestOf(serial)))
        return false;
    ++m_seenCount;
    return true;
}

void Summarizer::take(const QByteArray &text) {
    if (text.isEmpty())
        return;
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parsed);
    const QJsonObject line = document.object();
    // What every board's line holds: the result event, its port and whether it loaded. Other
    // events, and objects that are not a board's, are no board.
    if (parsed.error != QJsonParseError::NoError || !document.isObject() ||
        line.value(QLatin1String("event")).toString() != QLatin1String("result") ||
        !line.value(QLatin1String("port")).isString() ||
        !line.value(QLatin1String("ok")).isBool()) {
        ++m_report.skipped;
        return;
    }
    Report::Tally &digest = m_report.byDigest[line.value(QLatin1String("sha256")).toString()];
    if (line.value(QLatin1String("ok")).toBool()) {
        ++m_report.loaded;
        ++digest.loaded;
        const QString serial = line.value(QLatin1String("serial")).toString();
        if (!serial.isEmpty() && !firstLoad(serial)) {
            qint64 &again = m_report.loadedAgain[serial];
            again = again == 0 ? 2 : again + 1;
        }
    } else {
        ++m_report.failed;
        ++digest.failed;
        ++m_report.byCause[causeKind(line)];
    }
}

Report Summarizer::finish() {
    if (!m_partial.isEmpty() || m_overlong)
        ++m_report.skipped;
    m_partial.clear();
    m_overlong = false;
    return m_report;
}

Report summarize(const QByteArray &contents) {
    Summarizer summarizer;
    summarizer.feed(contents.constData(), contents.size());
    return summarizer.finish();
}

bool summarize(const QString &path, Report *report, QString *error,
               const std::function<bool()> &stop) {
    QFile file;
    if (!openForReading(path, &file, error))
        return false;
    Summarizer summarizer;
    QByteArray piece(int(kPiece), Qt::Uninitialized);
    for (;;) {
        if (stop && stop()) {
            *error = QStringLiteral("stopped");
            return false;
        }
        const qint64 got = file.read(piece.data(), kPiece);
        if (got < 0) {
            *error = file.errorString();
            return false;
        }
        if (got == 0)
            break;
        summarizer.feed(piece.constData(), got);
    }
    *report = summarizer.finish();
    return true;
}

QString reportText(const Report &report) {
    QStringList lines;
    lines << QStringLiteral("boards loaded: %1").arg(report.loaded)
          << QStringLiteral("boards failed: %1").arg(report.failed);
    if (report.skipped > 0)
        lines << QStringLiteral("lines left out (torn or not JSON): %1").arg(report.skipped);
    for (auto it = report.byDigest.constBegin(); it != report.byDigest.constEnd(); ++it)
        lines << QStringLiteral("image %1: %2 loaded, %3 failed")
                     .arg(it.key().isEmpty() ? QStringLiteral("-") : it.key())
                     .arg(it.value().loaded)
                     .arg(it.value().failed);
    for (auto it = report.byCause.constBegin(); it != report.byCause.constEnd(); ++it)
        lines << QStringLiteral("failed %1 times: %2").arg(it.value()).arg(it.key());
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        lines << QStringLiteral("serial %1 loaded %2 times").arg(it.key()).arg(it.value());
    return lines.join(QLatin1Char('\n'));
}

QJsonObject reportJson(const Report &report) {
    QJsonArray images;
    for (auto it = report.byDigest.constBegin(); it != report.byDigest.constEnd(); ++it)
        images.append(QJsonObject{
            {"sha256", it.key().isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(it.key())},
            {"loaded", it.value().loaded},
            {"failed", it.value().failed}});
    QJsonArray causes;
    for (auto it = report.byCause.constBegin(); it != report.byCause.constEnd(); ++it)
        causes.append(QJsonObject{{"cause", it.key()}, {"failed", it.value()}});
    QJsonArray again;
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        again.append(QJsonObject{{"serial", it.key()}, {"loaded", it.value()}});
    return QJsonObject{{"loaded", report.loaded},   {"failed", report.failed},
                       {"skipped", report.skipped}, {"images", images},
                       {"causes", causes},          {"loaded_again", again}};
}

} // namespace resultlog
