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
#include <utility>
#include <vector>

namespace resultlog {

QJsonValue textOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

namespace {

// A record's fields, each key with its value, in the order of a CSV row's columns.
std::vector<std::pair<QLatin1String, QJsonValue>> fieldsOf(const Record &record) {
    const auto key = [](const char *name) { return QLatin1String(name); };
    std::vector<std::pair<QLatin1String, QJsonValue>> fields{
        {key("record"), Record::kFormat},
        {key("time"), record.time.toUTC().toString(Qt::ISODateWithMs)},
        {key("host"), record.host},
        {key("station"), textOrNull(record.station)},
        {key("slot"), textOrNull(record.slot)},
        {key("port"), record.port},
        {key("path"), record.path},
        {key("usb"), textOrNull(record.usb)},
        {key("serial"), textOrNull(record.serial)},
        {key("image"), record.image},
        {key("sha256"), record.sha256},
        {key("records"), record.records},
        {key("acknowledged"), record.acknowledged},
        {key("sends"), record.sends},
        {key("seconds"), std::round(record.seconds * 1000) / 1000},
        {key("result"), record.loaded ? "loaded" : "failed"},
        {key("exit"), record.exit},
        {key("cause_kind"), textOrNull(record.causeKind)},
        {key("cause"), textOrNull(record.cause)},
        {key("version"), record.version},
        {key("id"), record.id}};
    if (record.unit)
        fields.emplace_back(key("unit"), textOrNull(*record.unit));
    return fields;
}

// The record's keys in that order, the CSV's columns: all but the id, which says nothing to a
// person reading a spreadsheet (and kept its columns as they were before records had one).
const std::vector<QLatin1String> &recordKeys() {
    static const std::vector<QLatin1String> keys = [] {
        std::vector<QLatin1String> names;
        for (const auto &field : fieldsOf(Record()))
            if (field.first != QLatin1String("id"))
                names.push_back(field.first);
        return names;
    }();
    return keys;
}

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
    QString unit; // empty: none named
    QString kind;
    QString cause;
    QString slot;    // empty: in no slot
    QString station; // empty: named none
    QDateTime time;  // invalid: none given
};

// A time as records give it (ISO 8601); invalid when it is not one. The shape records are
// written in, YYYY-MM-DDTHH:MM:SS.mmmZ, is read directly: reading it as any ISO 8601 time would
// cost more than the rest of the line.
QDateTime timeOf(const QJsonValue &value) {
    if (!value.isString())
        return QDateTime();
    const QString text = value.toString();
    static const QString shape = QStringLiteral("0000-00-00T00:00:00.000Z");
    bool fits = text.size() == shape.size();
    for (int i = 0; fits && i < shape.size(); ++i)
        fits = shape.at(i) == QLatin1Char('0') ? text.at(i).isDigit() && text.at(i).unicode() < 128
                                               : text.at(i) == shape.at(i);
    if (fits) {
        const auto number = [&text](int at, int digits) {
            int n = 0;
            for (int i = at; i < at + digits; ++i)
                n = n * 10 + (text.at(i).unicode() - '0');
            return n;
        };
        const QDate date(number(0, 4), number(5, 2), number(8, 2));
        const QTime time(number(11, 2), number(14, 2), number(17, 2), number(20, 3));
        if (date.isValid() && time.isValid())
            return QDateTime(date, time, Qt::UTC);
    }
    return QDateTime::fromString(text, Qt::ISODate);
}

QString kindOf(const Board &board) {
    return board.kind.isEmpty() ? QStringLiteral("-") : board.kind;
}

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
    board.unit = text("unit");
    board.kind = text("cause_kind");
    board.slot = text("slot");
    board.station = text("station");
    board.time = timeOf(line.value(QLatin1String("time")));
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
    QJsonObject object;
    for (const auto &[key, value] : fieldsOf(*this))
        object.insert(key, value);
    return object;
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

bool TimeRange::holds(const QDateTime &time) const {
    if (!limited())
        return true;
    return time.isValid() && (!from.isValid() || time >= from) && (!to.isValid() || time < to);
}

bool isSuspect(const Report &report, const Report::Tally &slot) {
    const qint64 boards = slot.loaded + slot.failed;
    const qint64 restBoards = report.loaded + report.failed - boards;
    if (boards < kSuspectBoards || slot.failed == 0 || restBoards <= 0)
        return false;
    const qint64 restFailed = report.failed - slot.failed;
    // failed / boards >= 2 * restFailed / restBoards, in whole numbers.
    return slot.failed * restBoards >= 2 * restFailed * boards;
}

double yieldPercent(qint64 loaded, qint64 failed) {
    return loaded + failed == 0 ? std::nan("") : 100.0 * double(loaded) / double(loaded + failed);
}

Summarizer::Summarizer(const TimeRange &range)
    : m_range{range.from.toUTC(), range.to.toUTC()} {
    // Compared in UTC, as the records' times are: a local time would be converted each time.
    m_report.range = m_range;
}

void Summarizer::feed(const char *bytes, qint64 size) {
    m_lines.feed(
        bytes, size, [this](const QByteArray &line) { take(line); },
        [this] { ++m_report.skipped; });
}

bool Summarizer::DigestSet::insert(const QString &text) {
    // Kept at most three quarters full, so that a look ends after a few slots.
    if ((m_count + 1) * 4 > m_table.size() * 3) {
        std::vector<quint64> old(std::max<size_t>(4096, m_table.size() * 2), 0);
        old.swap(m_table);
        for (const quint64 digest : old) {
            if (digest != 0)
                insertDigest(m_table, digest);
        }
    }
    if (!insertDigest(m_table, digestOf(text)))
        return false;
    ++m_count;
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
    if (!m_range.holds(board->time)) {
        ++m_report.outside;
        return;
    }
    if (board->time.isValid()) {
        if (!m_report.first.isValid() || board->time < m_report.first)
            m_report.first = board->time;
        if (!m_report.last.isValid() || board->time > m_report.last)
            m_report.last = board->time;
    }
    if (!board->unit.isEmpty()) {
        // A unit's first board is the first line that names it.
        if (m_units.insert(board->unit)) {
            ++m_report.units;
            m_report.unitsFirstPass += board->loaded ? 1 : 0;
        }
        if (board->loaded && !m_unitsLoaded.insert(board->unit)) {
            qint64 &again = m_report.unitsLoadedAgain[board->unit];
            again = again == 0 ? 2 : again + 1;
        } else if (board->loaded) {
            ++m_report.unitsLoaded;
        }
    }
    Report::Tally &digest = m_report.byDigest[board->sha256];
    Report::Tally *const slot =
        board->slot.isEmpty() ? nullptr : &m_report.bySlot[{board->station, board->slot}];
    if (board->loaded) {
        ++m_report.loaded;
        ++digest.loaded;
        if (slot)
            ++slot->loaded;
        if (!board->serial.isEmpty() && !m_serialsLoaded.insert(board->serial)) {
            qint64 &again = m_report.loadedAgain[board->serial];
            again = again == 0 ? 2 : again + 1;
        }
    } else {
        const QString kind = kindOf(*board);
        ++m_report.failed;
        ++digest.failed;
        ++digest.causes[kind];
        if (slot) {
            ++slot->failed;
            ++slot->causes[kind];
        }
        Report::Kind &byKind = m_report.byKind[kind];
        if (byKind.failed++ == 0)
            byKind.example = board->cause;
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

// How many times as often as the whole report the slot fails, for a slot marked suspect.
double timesAsOften(const Report &report, const Report::Tally &slot) {
    return (double(slot.failed) / double(slot.loaded + slot.failed)) /
           (double(report.failed) / double(report.loaded + report.failed));
}

QString timeText(const QDateTime &time) {
    return time.toUTC().toString(Qt::ISODate);
}

QJsonValue timeOrNull(const QDateTime &time) {
    return time.isValid() ? QJsonValue(timeText(time)) : QJsonValue(QJsonValue::Null);
}

QJsonValue yieldJson(qint64 loaded, qint64 failed) {
    const double percent = yieldPercent(loaded, failed);
    return std::isnan(percent) ? QJsonValue(QJsonValue::Null)
                               : QJsonValue(std::round(percent * 10) / 10);
}

// "no-ack 3, open 1": the failed boards of a tally by kind, the most frequent first.
QString causesText(const QMap<QString, qint64> &causes) {
    QList<QPair<qint64, QString>> sorted;
    for (auto it = causes.constBegin(); it != causes.constEnd(); ++it)
        sorted.append({-it.value(), it.key()});
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (const auto &cause : sorted)
        parts << QStringLiteral("%1 %2").arg(cause.second).arg(-cause.first);
    return parts.join(QStringLiteral(", "));
}

QJsonArray causesJson(const QMap<QString, qint64> &causes) {
    QJsonArray list;
    for (auto it = causes.constBegin(); it != causes.constEnd(); ++it)
        list.append(QJsonObject{
            {"cause_kind", it.key() == QLatin1String("-") ? QJsonValue() : QJsonValue(it.key())},
            {"failed", it.value()}});
    return list;
}

// "slot A1", or "station line1 slot A1" for a line that names its station.
QString slotName(const Report::Slot &slot) {
    return slot.station.isEmpty()
               ? QStringLiteral("slot ") + slot.slot
               : QStringLiteral("station %1 slot %2").arg(slot.station, slot.slot);
}

} // namespace

bool summarize(const QString &path, Report *report, QString *error,
               const std::function<bool()> &stop, const TimeRange &range) {
    Summarizer summarizer(range);
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
    if (report.loaded + report.failed > 0)
        lines << QStringLiteral("yield: %1% (%2 of %3 boards loaded)")
                     .arg(yieldPercent(report.loaded, report.failed), 0, 'f', 1)
                     .arg(report.loaded)
                     .arg(report.loaded + report.failed);
    if (report.first.isValid())
        lines << QStringLiteral("boards from %1 to %2")
                     .arg(timeText(report.first), timeText(report.last));
    if (report.range.limited())
        lines << QStringLiteral("counted from %1 up to %2; %3 boards outside or without a time")
                     .arg(report.range.from.isValid() ? timeText(report.range.from)
                                                      : QStringLiteral("the start"),
                          report.range.to.isValid() ? timeText(report.range.to)
                                                    : QStringLiteral("the end"))
                     .arg(report.outside);
    if (report.skipped > 0)
        lines << QStringLiteral("lines left out (torn or not JSON): %1").arg(report.skipped);
    for (auto it = report.byDigest.constBegin(); it != report.byDigest.constEnd(); ++it) {
        const QString digest = it.key().isEmpty() ? QStringLiteral("-") : it.key();
        lines << QStringLiteral("image %1: %2 loaded, %3 failed")
                     .arg(digest)
                     .arg(it.value().loaded)
                     .arg(it.value().failed);
        if (!it.value().causes.isEmpty())
            lines << QStringLiteral("causes in image %1: %2")
                         .arg(digest, causesText(it.value().causes));
    }
    for (auto it = report.byKind.constBegin(); it != report.byKind.constEnd(); ++it)
        lines << QStringLiteral("failed %1 times: %2, such as: %3")
                     .arg(it.value().failed)
                     .arg(it.key(), it.value().example);
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        lines << QStringLiteral("serial %1 loaded %2 times").arg(it.key()).arg(it.value());
    if (report.units > 0) {
        const qint64 units = report.units;
        lines << QStringLiteral("units: %1").arg(units)
              << QStringLiteral(
                     "first-pass yield: %1% (%2 of %3 units loaded on their first board)")
                     .arg(yieldPercent(report.unitsFirstPass, units - report.unitsFirstPass), 0,
                          'f', 1)
                     .arg(report.unitsFirstPass)
                     .arg(units)
              << QStringLiteral("final yield: %1% (%2 of %3 units loaded)")
                     .arg(yieldPercent(report.unitsLoaded, units - report.unitsLoaded), 0, 'f', 1)
                     .arg(report.unitsLoaded)
                     .arg(units);
    }
    for (auto it = report.unitsLoadedAgain.constBegin(); it != report.unitsLoadedAgain.constEnd();
         ++it)
        lines << QStringLiteral("unit %1 loaded %2 times").arg(it.key()).arg(it.value());
    // The causes by slot come before the slots, so that the slots' lines stand together.
    for (auto it = report.bySlot.constBegin(); it != report.bySlot.constEnd(); ++it) {
        if (!it.value().causes.isEmpty())
            lines << QStringLiteral("causes in %1: %2")
                         .arg(slotName(it.key()), causesText(it.value().causes));
    }
    for (auto it = report.bySlot.constBegin(); it != report.bySlot.constEnd(); ++it) {
        QString line = QStringLiteral("%1: %2 loaded, %3 failed")
                           .arg(slotName(it.key()))
                           .arg(it.value().loaded)
                           .arg(it.value().failed);
        if (isSuspect(report, it.value()))
            line += QStringLiteral("  <- fails %1 times as often as the station")
                        .arg(timesAsOften(report, it.value()), 0, 'f', 1);
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
            {"failed", it.value().failed},
            {"causes", causesJson(it.value().causes)}});
    QJsonArray causes;
    for (auto it = report.byKind.constBegin(); it != report.byKind.constEnd(); ++it)
        causes.append(QJsonObject{
            {"cause_kind", it.key() == QLatin1String("-") ? QJsonValue() : QJsonValue(it.key())},
            {"cause", it.value().example},
            {"failed", it.value().failed}});
    QJsonArray again;
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        again.append(QJsonObject{{"serial", it.key()}, {"loaded", it.value()}});
    QJsonArray unitsAgain;
    for (auto it = report.unitsLoadedAgain.constBegin(); it != report.unitsLoadedAgain.constEnd();
         ++it)
        unitsAgain.append(QJsonObject{{"unit", it.key()}, {"loaded", it.value()}});
    QJsonArray bySlot;
    for (auto it = report.bySlot.constBegin(); it != report.bySlot.constEnd(); ++it)
        bySlot.append(QJsonObject{{"station", textOrNull(it.key().station)},
                                  {"slot", it.key().slot},
                                  {"loaded", it.value().loaded},
                                  {"failed", it.value().failed},
                                  {"yield", yieldJson(it.value().loaded, it.value().failed)},
                                  {"causes", causesJson(it.value().causes)},
                                  {"suspect", isSuspect(report, it.value())}});
    return QJsonObject{
        {"loaded", report.loaded},
        {"failed", report.failed},
        {"skipped", report.skipped},
        {"yield", yieldJson(report.loaded, report.failed)},
        {"first", timeOrNull(report.first)},
        {"last", timeOrNull(report.last)},
        {"from", timeOrNull(report.range.from)},
        {"to", timeOrNull(report.range.to)},
        {"outside", report.outside},
        {"images", images},
        {"causes", causes},
        {"loaded_again", again},
        {"units", QJsonObject{{"seen", report.units},
                              {"first_pass", report.unitsFirstPass},
                              {"loaded", report.unitsLoaded},
                              {"first_pass_yield", yieldJson(report.unitsFirstPass,
                                                             report.units - report.unitsFirstPass)},
                              {"final_yield",
                               yieldJson(report.unitsLoaded, report.units - report.unitsLoaded)},
                              {"loaded_again", unitsAgain}}},
        {"slots", bySlot}};
}

namespace {

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

// A spreadsheet takes a cell starting with one of these for a formula (or, a tab or a carriage
// return first, for one after it is trimmed).
bool startsFormula(const QByteArray &text) {
    return !text.isEmpty() && QByteArray("=+-@\t\r").contains(text.at(0));
}

// The cell of key's value: a text cell that would run as a formula, and every serial number and
// slot label, start with a ' (taken as text, not shown, by a spreadsheet); a time is given as
// YYYY-MM-DD HH:MM:SS in UTC, as spreadsheets read one.
QByteArray csvCell(QLatin1String key, const QJsonValue &value) {
    if (!value.isString())
        return csvField(csvValue(value));
    if (key == QLatin1String("time")) {
        const QDateTime time = timeOf(value);
        if (time.isValid())
            return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    }
    const QByteArray text = value.toString().toUtf8();
    const bool asText =
        !text.isEmpty() && (key == QLatin1String("serial") || key == QLatin1String("slot"));
    return csvField(asText || startsFormula(text) ? '\'' + text : text);
}

} // namespace

QByteArray CsvWriter::header() const {
    QByteArrayList names;
    for (const QLatin1String key : recordKeys())
        names << QByteArray(key.data(), key.size());
    if (m_marks)
        names << "suspect";
    return names.join(',') + "\r\n";
}

QByteArray CsvWriter::row(const QJsonObject &line) const {
    QByteArrayList fields;
    for (const QLatin1String key : recordKeys())
        fields << csvCell(key, line.value(key));
    if (m_marks) {
        const QString slot = line.value(QLatin1String("slot")).toString();
        const auto it =
            m_marks->bySlot.constFind({line.value(QLatin1String("station")).toString(), slot});
        fields << (slot.isEmpty() || it == m_marks->bySlot.constEnd()
                       ? QByteArray()
                       : QByteArray(isSuspect(*m_marks, it.value()) ? "true" : "false"));
    }
    return fields.join(',') + "\r\n";
}

QByteArray CsvWriter::feed(const char *bytes, qint64 size) {
    QByteArray rows;
    const auto take = [this, &rows](const QByteArray &text) {
        QJsonParseError parsed{};
        QJsonObject line = QJsonDocument::fromJson(text, &parsed).object();
        const std::optional<Board> board =
            parsed.error == QJsonParseError::NoError ? boardOf(line) : std::nullopt;
        if (!board || (m_marks && !m_marks->range.holds(board->time)))
            return;
        if (!line.contains(QLatin1String("result")))
            line.insert(QLatin1String("result"), board->loaded ? "loaded" : "failed");
        rows += row(line);
    };
    m_lines.feed(bytes, size, take, [] {});
    return rows;
}

bool writeCsv(const QString &path, const std::function<bool(const QByteArray &)> &write,
              QString *error, const std::function<bool()> &stop, const Report *marks) {
    CsvWriter writer = marks ? CsvWriter(*marks) : CsvWriter();
    bool started = false; // the header is written once the log could be opened
    const auto writeRows = [&](const QByteArray &rows) {
        const QByteArray text = started ? rows : writer.header() + rows;
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
