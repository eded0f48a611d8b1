#include "resultlog.h"

#include "bootloader_version.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSysInfo>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace resultlog {

QJsonValue textOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

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

// What a line says of a board, in either format; nullopt for a line that is no board's.
struct Board {
    bool loaded = false;
    QString sha256;
    QString serial;
    QString kind;
    QString cause;
    QString slot; // empty: in no slot
};

std::optional<Board> boardOf(const QJsonObject &line) {
    const auto text = [&line](const char *key) {
        return line.value(QLatin1String(key)).toString();
    };
    if (!line.value(QLatin1String("port")).isString())
        return std::nullopt;
    Board board;
    if (line.value(QLatin1String("record")).toInt() == Record::kFormat) {
        const QString result = text("result");
        if (result != QLatin1String("loaded") && result != QLatin1String("failed"))
            return std::nullopt;
        board.loaded = result == QLatin1String("loaded");
    } else if (text("event") == QLatin1String("result") &&
               line.value(QLatin1String("ok")).isBool()) {
        board.loaded = line.value(QLatin1String("ok")).toBool();
    } else {
        return std::nullopt;
    }
    board.sha256 = text("sha256");
    board.serial = text("serial");
    board.kind = text("cause_kind");
    board.slot = text("slot");
    // Lines of 1.0.0.0 name no kind; their outcome stands in for a cause they did not give.
    board.cause = line.value(QLatin1String("cause")).isString() ? text("cause") : text("outcome");
    return board;
}

} // namespace

Record Record::now() {
    Record record;
    record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.time = QDateTime::currentDateTimeUtc();
    record.host = QSysInfo::machineHostName();
    record.version = QString::fromLatin1(bootloader::kVersion);
    return record;
}

QJsonObject Record::toJson() const {
    return {{"record", kFormat},
            {"id", id},
            {"time", time.toUTC().toString(Qt::ISODateWithMs)},
            {"host", host},
            {"station", textOrNull(station)},
            {"slot", textOrNull(slot)},
            {"port", port},
            {"path", path},
            {"usb", textOrNull(usb)},
            {"serial", textOrNull(serial)},
            {"image", image},
            {"sha256", sha256},
            {"records", records},
            {"acknowledged", acknowledged},
            {"sends", sends},
            {"seconds", std::round(seconds * 1000) / 1000},
            {"result", loaded ? "loaded" : "failed"},
            {"exit", exit},
            {"cause_kind", textOrNull(causeKind)},
            {"cause", textOrNull(cause)},
            {"version", version}};
}

bool isBoardLine(const QJsonObject &line) {
    return boardOf(line).has_value();
}

QString idOf(const QJsonObject &line, const QByteArray &text) {
    const QString id = line.value(QLatin1String("id")).toString();
    if (!QUuid::fromString(id).isNull())
        return QUuid::fromString(id).toString(QUuid::WithoutBraces);
    // The namespace of the lines of bootloader-results(5) that name no id.
    static const QUuid kLines =
        QUuid::fromString(QLatin1String("6c0f4a5e-8b1d-4f0e-9d3a-3b2f7a1c5e90"));
    return QUuid::createUuidV5(kLines, text).toString(QUuid::WithoutBraces);
}

void LineSplitter::feed(const char *bytes, qint64 size,
                        const std::function<void(const QByteArray &)> &take,
                        const std::function<void()> &skip) {
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
            skip();
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

bool LineSplitter::finish() {
    const bool torn = !m_partial.isEmpty() || m_overlong;
    m_partial.clear();
    m_overlong = false;
    return torn;
}

void Summarizer::feed(const char *bytes, qint64 size) {
    m_lines.feed(
        bytes, size, [this](const QByteArray &line) { take(line); },
        [this] { ++m_report.skipped; });
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
    const std::optional<Board> board =
        parsed.error == QJsonParseError::NoError ? boardOf(document.object()) : std::nullopt;
    if (!board) {
        ++m_report.skipped;
        return;
    }
    Report::Tally &digest = m_report.byDigest[board->sha256];
    if (!board->slot.isEmpty())
        ++(board->loaded ? m_report.bySlot[board->slot].loaded
                         : m_report.bySlot[board->slot].failed);
    if (board->loaded) {
        ++m_report.loaded;
        ++digest.loaded;
        if (!board->serial.isEmpty() && !firstLoad(board->serial)) {
            qint64 &again = m_report.loadedAgain[board->serial];
            again = again == 0 ? 2 : again + 1;
        }
    } else {
        ++m_report.failed;
        ++digest.failed;
        Report::Kind &kind =
            m_report.byKind[board->kind.isEmpty() ? QStringLiteral("-") : board->kind];
        if (kind.failed++ == 0)
            kind.example = board->cause;
    }
}

Report Summarizer::finish() {
    if (m_lines.finish())
        ++m_report.skipped;
    return m_report;
}

Report summarize(const QByteArray &contents) {
    Summarizer summarizer;
    summarizer.feed(contents.constData(), contents.size());
    return summarizer.finish();
}

namespace {

// Reads the file at path a piece at a time into feed, until its end or until feed says to stop.
bool readPieces(const QString &path, QString *error, const std::function<bool()> &stop,
                const std::function<bool(const char *, qint64)> &feed) {
    QFile file;
    if (!openForReading(path, &file, error))
        return false;
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
        if (got == 0 || !feed(piece.constData(), got))
            return true;
    }
}

// A slot fails suspiciously often: at least twice the station's share of failures, over at
// least this many boards of its own.
constexpr qint64 kSuspectBoards = 10;

// How many times as often as the station the slot fails; 0 unless that is suspicious.
double suspectRatio(const Report &report, const Report::Tally &slot) {
    const qint64 boards = slot.loaded + slot.failed;
    if (boards < kSuspectBoards || report.failed == 0 || slot.failed == 0)
        return 0;
    const double ratio = (double(slot.failed) / double(boards)) /
                         (double(report.failed) / double(report.loaded + report.failed));
    return ratio >= 2 ? ratio : 0;
}

} // namespace

bool summarize(const QString &path, Report *report, QString *error,
               const std::function<bool()> &stop) {
    Summarizer summarizer;
    if (!readPieces(path, error, stop, [&](const char *bytes, qint64 size) {
            summarizer.feed(bytes, size);
            return true;
        }))
        return false;
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
    for (auto it = report.byKind.constBegin(); it != report.byKind.constEnd(); ++it)
        lines << QStringLiteral("failed %1 times: %2, such as: %3")
                     .arg(it.value().failed)
                     .arg(it.key(), it.value().example);
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        lines << QStringLiteral("serial %1 loaded %2 times").arg(it.key()).arg(it.value());
    for (auto it = report.bySlot.constBegin(); it != report.bySlot.constEnd(); ++it) {
        QString line = QStringLiteral("slot %1: %2 loaded, %3 failed")
                           .arg(it.key())
                           .arg(it.value().loaded)
                           .arg(it.value().failed);
        if (const double ratio = suspectRatio(report, it.value()))
            line +=
                QStringLiteral("  <- fails %1 times as often as the station").arg(ratio, 0, 'f', 1);
        lines << line;
    }
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
    for (auto it = report.byKind.constBegin(); it != report.byKind.constEnd(); ++it)
        causes.append(QJsonObject{
            {"cause_kind", it.key() == QLatin1String("-") ? QJsonValue() : QJsonValue(it.key())},
            {"cause", it.value().example},
            {"failed", it.value().failed}});
    QJsonArray again;
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        again.append(QJsonObject{{"serial", it.key()}, {"loaded", it.value()}});
    QJsonArray bySlot;
    for (auto it = report.bySlot.constBegin(); it != report.bySlot.constEnd(); ++it)
        bySlot.append(QJsonObject{{"slot", it.key()},
                                  {"loaded", it.value().loaded},
                                  {"failed", it.value().failed},
                                  {"suspect", suspectRatio(report, it.value()) > 0}});
    return QJsonObject{
        {"loaded", report.loaded}, {"failed", report.failed}, {"skipped", report.skipped},
        {"images", images},        {"causes", causes},        {"loaded_again", again},
        {"slots", bySlot}};
}

namespace {

// The record's keys, in the order Record::toJson() gives them meaning.
const char *const kCsvKeys[] = {"record", "time",    "host",         "station", "slot",
                                "port",   "path",    "usb",          "serial",  "image",
                                "sha256", "records", "acknowledged", "sends",   "seconds",
                                "result", "exit",    "cause_kind",   "cause",   "version"};

// A field as RFC 4180 has it: quoted, with its quotes doubled, when it holds a comma, a quote
// or a line end.
QByteArray csvField(const QByteArray &text) {
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    QByteArray quoted = text;
    return '"' + quoted.replace('"', "\"\"") + '"';
}

QByteArray csvValue(const QJsonValue &value) {
    if (value.isString())
        return value.toString().toUtf8();
    if (value.isBool())
        return value.toBool() ? "true" : "false";
    if (value.isDouble())
        return QByteArray::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    return QByteArray(); // null, missing, or what no record holds
}

} // namespace

QByteArray CsvWriter::header() {
    QByteArrayList names;
    for (const char *key : kCsvKeys)
        names << key;
    return names.join(',') + "\r\n";
}

QByteArray CsvWriter::feed(const char *bytes, qint64 size) {
    QByteArray rows;
    const auto take = [&rows](const QByteArray &text) {
        QJsonParseError parsed{};
        QJsonObject line = QJsonDocument::fromJson(text, &parsed).object();
        const std::optional<Board> board =
            parsed.error == QJsonParseError::NoError ? boardOf(line) : std::nullopt;
        if (!board)
            return;
        if (!line.contains(QLatin1String("result")))
            line.insert(QLatin1String("result"), board->loaded ? "loaded" : "failed");
        QByteArrayList fields;
        for (const char *key : kCsvKeys)
            fields << csvField(csvValue(line.value(QLatin1String(key))));
        rows += fields.join(',') + "\r\n";
    };
    m_lines.feed(bytes, size, take, [] {});
    return rows;
}

bool writeCsv(const QString &path, const std::function<bool(const QByteArray &)> &write,
              QString *error, const std::function<bool()> &stop) {
    CsvWriter writer;
    bool started = false; // the header is written once the log could be opened
    const auto writeRows = [&](const QByteArray &rows) {
        const QByteArray text = started ? rows : CsvWriter::header() + rows;
        started = true;
        return text.isEmpty() || write(text);
    };
    return readPieces(path, error, stop,
                      [&](const char *bytes, qint64 size) {
                          return writeRows(writer.feed(bytes, size));
                      }) &&
           (started || writeRows(QByteArray()) || true);
}

} // namespace resultlog
