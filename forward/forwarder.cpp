#include "forwarder.h"

#include "fileidentity.h"
#include "resultlog.h"
#include "schemas.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

namespace forward {

namespace {

QString decoded(const QString &text) {
    return QUrl::fromPercentEncoding(text.toUtf8());
}

constexpr int kSchemaVersion = int(sizeof(kSchemas) / sizeof(kSchemas[0]));
// The longest pause before the database is tried again.
constexpr int kMaxPauseMs = 30000;
// What is read of the log at a time, at most.
constexpr qint64 kMaxRead = 4 << 20;

// A connection of its own, named so that each thread and call has one; closed and removed as the
// value goes.
class Database {
public:
    explicit Database(const Connection &to) {
        static std::atomic<int> count{0};
        m_name = QStringLiteral("forward-%1").arg(++count);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        if (!to.host.isEmpty())
            db.setHostName(to.host);
        if (to.port > 0)
            db.setPort(to.port);
        db.setDatabaseName(to.dbname);
        db.setUserName(to.user);
        db.setPassword(to.password);
        QStringList options = to.options;
        if (!std::any_of(options.begin(), options.end(), [](const QString &option) {
                return option.startsWith(QLatin1String("connect_timeout="));
            }))
            options << QStringLiteral("connect_timeout=10");
        options << QStringLiteral("application_name=bootloader-forward");
        db.setConnectOptions(options.join(';'));
    }
    ~Database() {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

QString sqlError(const QSqlError &error) {
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

bool exec(QSqlQuery &query, const QString &sql, QString *error) {
    if (query.exec(sql))
        return true;
    *error = sqlError(query.lastError());
    return false;
}

// The schema's version in the database: 0 when it has none.
std::optional<int> schemaVersion(const QSqlDatabase &db, QString *error) {
    QSqlQuery query(db);
    if (!exec(query, QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL"), error) ||
        !query.next())
        return std::nullopt;
    if (!query.value(0).toBool())
        return 0;
    if (!exec(query, QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version"),
              error) ||
        !query.next())
        return std::nullopt;
    return query.value(0).toInt();
}

bool connectTo(Database &database, QString *error) {
    QSqlDatabase db = database.db();
    if (db.isOpen())
        return true;
    if (db.open())
        return true;
    *error = sqlError(db.lastError());
    return false;
}

// A line's columns, each of the type its column takes or null, and the line itself; nullopt for
// a line that is no board's.
std::optional<QJsonObject> rowOf(const QByteArray &text) {
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parsed);
    // jsonb takes no NUL character: such a line is no board's the tool wrote.
    if (parsed.error != QJsonParseError::NoError || !document.isObject() ||
        text.contains("\\u0000"))
        return std::nullopt;
    const QJsonObject line = document.object();
    if (!resultlog::isBoardLine(line))
        return std::nullopt;
    QJsonObject row;
    row.insert(QStringLiteral("id"), resultlog::idOf(line, text));
    for (const char *key : {"host", "station", "slot", "port", "path", "usb", "serial", "image",
                            "sha256", "cause_kind", "cause", "version", "unit"}) {
        const QJsonValue value = line.value(QLatin1String(key));
        row.insert(QLatin1String(key), value.isString() ? value : QJsonValue());
    }
    for (const char *key : {"records", "acknowledged", "sends", "exit"}) {
        const double value = line.value(QLatin1String(key)).toDouble(std::nan(""));
        row.insert(QLatin1String(key),
                   std::isfinite(value) && value == std::floor(value) && std::abs(value) < 2e9
                       ? QJsonValue(value)
                       : QJsonValue());
    }
    const double seconds = line.value(QLatin1String("seconds")).toDouble(std::nan(""));
    row.insert(QStringLiteral("seconds"),
               std::isfinite(seconds) ? QJsonValue(seconds) : QJsonValue());
    const QDateTime time =
        QDateTime::fromString(line.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    row.insert(QStringLiteral("time"), time.isValid()
                                           ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs))
                                           : QJsonValue());
    const bool loaded =
        line.contains(QLatin1String("result"))
            ? line.value(QLatin1String("result")).toString() == QLatin1String("loaded")
            : line.value(QLatin1String("ok")).toBool();
    row.insert(QStringLiteral("result"), loaded ? "loaded" : "failed");
    row.insert(QStringLiteral("line"), line);
    return row;
}

const char *const kInsert =
    "INSERT INTO boards (id, time, host, station, slot, port, path, usb, serial, image, sha256, "
    "records, acknowledged, sends, seconds, result, exit, cause_kind, cause, version, unit, "
    "record) "
    "SELECT (r->>'id')::uuid, (r->>'time')::timestamptz, r->>'host', r->>'station', r->>'slot', "
    "r->>'port', r->>'path', r->>'usb', r->>'serial', r->>'image', r->>'sha256', "
    "(r->>'records')::integer, (r->>'acknowledged')::integer, (r->>'sends')::integer, "
    "(r->>'seconds')::double precision, r->>'result', (r->>'exit')::integer, r->>'cause_kind', "
    "r->>'cause', r->>'version', r->>'unit', r->'line' "
    "FROM jsonb_array_elements(?::jsonb) WITH ORDINALITY AS e(r, n) ORDER BY n "
    "ON CONFLICT (id) DO NOTHING";

const char *const kPlace =
    "INSERT INTO forward_places (host, log, device, inode, \"offset\", last_id, updated) "
    "VALUES (?, ?, ?, ?, ?, ?::uuid, now()) ON CONFLICT (host, log) DO UPDATE SET "
    "device = excluded.device, inode = excluded.inode, \"offset\" = excluded.\"offset\", "
    "last_id = coalesce(excluded.last_id, forward_places.last_id), updated = now()";

struct Place {
    FileIdentity file;
    qint64 offset = 0;
};

// Reads the log from a place on, across rotations: the file at the place is read to its end
// before the file the path names now.
class Reader {
public:
    explicit Reader(QString path)
        : m_path(std::move(path)) {}

    // Opens the file of place: the path's file when it is that one, else the file renamed from
    // it beside the log (results.log.1, ...), else the path's file from its start.
    void open(const Place &place) {
        m_file.reset();
        m_place = {};
        if (place.file.known() && identityOf(m_path) != place.file) {
            const QFileInfo log(m_path);
            const QStringList names = log.dir().entryList({log.fileName() + QLatin1Char('*')},
                                                          QDir::Files | QDir::Hidden, QDir::Name);
            for (const QString &name : names) {
                const QString path = log.dir().filePath(name);
                if (identityOf(path) == place.file && openAt(path, place.offset))
                    return;
            }
        }
        if (identityOf(m_path) == place.file && openAt(m_path, place.offset))
            return;
        openAt(m_path, 0);
    }

    // The whole lines that follow, up to max of them; empty at the end of the log as it stands.
    // place: just past the last of them.
    QList<QByteArray> read(int max, Place *place) {
        QList<QByteArray> lines;
        for (int turn = 0; turn < 2 && lines.isEmpty(); ++turn) {
            if (!m_file && !openAt(m_path, 0))
                break;
            readLines(max, &lines);
            if (!lines.isEmpty())
                break;
            // At the end of a file the path no longer names: once what was written to it last
            // is read too, on to the path's file.
            const FileIdentity now = identityOf(m_path);
            if (now == m_place.file || !now.known())
                break;
            readLines(max, &lines);
            if (!lines.isEmpty())
                break;
            openAt(m_path, 0);
        }
        *place = m_place;
        return lines;
    }

private:
    bool openAt(const QString &path, qint64 offset) {
        auto file = std::make_unique<QFile>(path);
        QString error;
        if (!resultlog::openForReading(path, file.get(), &error))
            return false;
        // A log truncated under it (copytruncate) is read from its start.
        if (offset > file->size())
            offset = 0;
        if (!file->seek(offset))
            return false;
        m_place = {identityOf(*file), offset};
        m_file = std::move(file);
        m_pending.clear();
        return true;
    }

    void readLines(int max, QList<QByteArray> *lines) {
        while (lines->size() < max) {
            if (m_pending.isEmpty() || !m_pending.contains('\n')) {
                const QByteArray more = m_file->read(kMaxRead);
                if (more.isEmpty())
                    return;
                m_pending += more;
            }
            int start = 0;
            for (int end = m_pending.indexOf('\n'); end >= 0 && lines->size() < max;
                 end = m_pending.indexOf('\n', start)) {
                lines->append(m_pending.mid(start, end - start));
                start = end + 1;
            }
            m_place.offset += start;
            m_pending.remove(0, start);
        }
    }

    QString m_path;
    std::unique_ptr<QFile> m_file;
    QByteArray m_pending; // read past the place: the start of a line not yet ended, or more
    Place m_place;
};

bool sleepFor(int ms, const std::function<bool()> &stop) {
    for (int slept = 0; slept < ms; slept += 50) {
        if (stop())
            return false;
        QThread::msleep(50);
    }
    return !stop();
}

} // namespace

std::optional<Connection> parseConnection(const QString &url, QString *error) {
    Connection to;
    QString rest = url;
    for (const char *scheme : {"postgresql://", "postgres://"}) {
        if (rest.startsWith(QLatin1String(scheme)))
            rest = rest.mid(int(qstrlen(scheme)));
    }
    if (rest.size() == url.size()) {
        *error = QStringLiteral("--to takes a postgresql:// URL");
        return std::nullopt;
    }
    QString query;
    if (const int mark = rest.indexOf(QLatin1Char('?')); mark >= 0) {
        query = rest.mid(mark + 1);
        rest.truncate(mark);
    }
    QString authority = rest;
    if (const int slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
        authority = rest.left(slash);
        to.dbname = decoded(rest.mid(slash + 1));
    }
    if (const int at = authority.lastIndexOf(QLatin1Char('@')); at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        to.user = decoded(colon >= 0 ? userInfo.left(colon) : userInfo);
        if (colon >= 0)
            to.password = decoded(userInfo.mid(colon + 1));
    }
    QString port;
    const int colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0 && colon > authority.lastIndexOf(QLatin1Char(']'))) {
        port = authority.mid(colon + 1);
        authority.truncate(colon);
    }
    if (authority.startsWith(QLatin1Char('[')) && authority.endsWith(QLatin1Char(']')))
        authority = authority.mid(1, authority.size() - 2);
    to.host = decoded(authority);
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const int equals = pair.indexOf(QLatin1Char('='));
        const QString key = decoded(equals >= 0 ? pair.left(equals) : pair);
        const QString value = equals >= 0 ? decoded(pair.mid(equals + 1)) : QString();
        if (key == QLatin1String("host"))
            to.host = value;
        else if (key == QLatin1String("port"))
            port = value;
        else if (key == QLatin1String("dbname"))
            to.dbname = value;
        else if (key == QLatin1String("user"))
            to.user = value;
        else if (key == QLatin1String("password"))
            to.password = value;
        else if (!key.isEmpty() && !value.contains(QLatin1Char(';')))
            to.options << key + QLatin1Char('=') + value;
        else {
            *error = QStringLiteral("the connection's parameter '%1' cannot be passed on").arg(key);
            return std::nullopt;
        }
    }
    if (!port.isEmpty()) {
        bool ok = false;
        to.port = port.toInt(&ok);
        if (!ok || to.port < 1 || to.port > 65535) {
            *error = QStringLiteral("the connection's port '%1' is no port").arg(port);
            return std::nullopt;
        }
    }
    // Shown without the password, wherever it was given.
    QStringList shownQuery;
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        if (!pair.startsWith(QLatin1String("password=")))
            shownQuery << pair;
    }
    to.shown = QStringLiteral("postgresql://") + (to.user.isEmpty() ? QString() : to.user + '@') +
               (authority.contains(':') ? '[' + authority + ']' : authority) +
               (port.isEmpty() || query.contains(QLatin1String("port=")) ? QString() : ':' + port) +
               '/' + to.dbname + (shownQuery.isEmpty() ? QString() : '?' + shownQuery.join('&'));
    return to;
}

Outcome init(const Connection &to, const std::function<void(const QString &)> &say) {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        say(QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed"));
        return Outcome::Failed;
    }
    Database database(to);
    QString error;
    const auto fail = [&](const QString &what) {
        say(QStringLiteral("%1 %2: %3").arg(what, to.shown, error));
        return Outcome::Failed;
    };
    if (!connectTo(database, &error))
        return fail(QStringLiteral("cannot reach the database"));
    QSqlDatabase db = database.db();
    QSqlQuery query(db);
    // One initializer at a time: a second waits for the first and then finds the version done.
    if (!db.transaction() ||
        !exec(query, QStringLiteral("SET LOCAL client_min_messages = warning"), &error) ||
        !exec(query, QStringLiteral("SELECT pg_advisory_xact_lock(472946071)"), &error) ||
        !exec(query,
              QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY "
                             "KEY, applied timestamptz NOT NULL DEFAULT now())"),
              &error))
        return fail(QStringLiteral("cannot set up the schema in"));
    const std::optional<int> version = schemaVersion(db, &error);
    if (!version)
        return fail(QStringLiteral("cannot set up the schema in"));
    for (int next = *version + 1; next <= kSchemaVersion; ++next) {
        if (!exec(query, QString::fromUtf8(kSchemas[next - 1]), &error) ||
            !exec(query,
                  QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(next),
                  &error)) {
            db.rollback();
            return fail(QStringLiteral("cannot apply version %1 of the schema to").arg(next));
        }
    }
    if (!db.commit()) {
        error = sqlError(db.lastError());
        return fail(QStringLiteral("cannot set up the schema in"));
    }
    say(*version >= kSchemaVersion ? QStringLiteral("the schema of %1 is at version %2 already")
                                         .arg(to.shown)
                                         .arg(kSchemaVersion)
                                   : QStringLiteral("the schema of %1 is now at version %2")
                                         .arg(to.shown)
                                         .arg(kSchemaVersion));
    return Outcome::Done;
}

Outcome run(const Settings &settings, const std::function<bool()> &stop,
            const std::function<void(const QString &)> &say) {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        say(QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed"));
        return Outcome::Failed;
    }
    const QString host = QSysInfo::machineHostName();
    const QString log = QFileInfo(settings.log).absoluteFilePath();
    int pauseMs = 0;
    QString away; // what was said of the database being away, said once until it is back
    while (!stop()) {
        if (pauseMs > 0 && !sleepFor(pauseMs, stop))
            break;
        pauseMs = std::min(std::max(pauseMs * 2, 500), kMaxPauseMs);
        Database database(settings.to);
        QString error;
        QSqlDatabase db = database.db();
        const auto failed = [&](const QString &what) {
            const QString text =
                QStringLiteral("%1 %2: %3; trying again").arg(what, settings.to.shown, error);
            if (text != away)
                say(text);
            away = text;
        };
        if (!connectTo(database, &error)) {
            failed(QStringLiteral("cannot reach the database"));
            continue;
        }
        const std::optional<int> version = schemaVersion(db, &error);
        if (!version) {
            failed(QStringLiteral("cannot read the schema's version of"));
            continue;
        }
        if (*version != kSchemaVersion) {
            say(*version < kSchemaVersion
                    ? QStringLiteral("the database %1 has the schema at version %2, not %3: apply "
                                     "it with 'bootloader-cli forward --init --to URL'")
                          .arg(settings.to.shown)
                          .arg(*version)
                          .arg(kSchemaVersion)
                    : QStringLiteral("the database %1 has the schema at version %2, newer than "
                                     "this tool's %3")
                          .arg(settings.to.shown)
                          .arg(*version)
                          .arg(kSchemaVersion));
            return Outcome::Failed;
        }
        QSqlQuery query(db);
        query.prepare(QStringLiteral("SELECT device, inode, \"offset\" FROM forward_places WHERE "
                                     "host = ? AND log = ?"));
        query.addBindValue(host);
        query.addBindValue(log);
        if (!query.exec()) {
            error = sqlError(query.lastError());
            failed(QStringLiteral("cannot read the place of the log in"));
            continue;
        }
        Place place;
        if (query.next())
            place = {
                {query.value(0).toString().toULongLong(), query.value(1).toString().toULongLong()},
                query.value(2).toLongLong()};
        if (!away.isEmpty())
            say(QStringLiteral("the database %1 is back").arg(settings.to.shown));
        away.clear();
        pauseMs = 0;

        Reader reader(settings.log);
        reader.open(place);
        bool lost = false;
        while (!stop() && !lost) {
            Place next;
            const QList<QByteArray> lines = reader.read(settings.batch, &next);
            // Nothing new: no line, and no other file to go on from (after a rotation, the new
            // file's place is kept even before it holds a line).
            if (lines.isEmpty() &&
                (!next.file.known() || (next.file == place.file && next.offset == place.offset))) {
                if (settings.once)
                    return Outcome::Done;
                if (!sleepFor(200, stop))
                    break;
                continue;
            }
            QJsonArray rows;
            QString lastId;
            for (const QByteArray &line : lines) {
                if (const std::optional<QJsonObject> row = rowOf(line)) {
                    lastId = row->value(QLatin1String("id")).toString();
                    rows.append(*row);
                }
            }
            // The lines and the place they end at, in one transaction: a kill leaves both or
            // neither.
            QSqlQuery insert(db);
            QSqlQuery keep(db);
            const bool done =
                db.transaction() &&
                (rows.isEmpty() || (insert.prepare(QString::fromLatin1(kInsert)) &&
                                    (insert.addBindValue(QString::fromUtf8(
                                         QJsonDocument(rows).toJson(QJsonDocument::Compact))),
                                     insert.exec()))) &&
                keep.prepare(QString::fromLatin1(kPlace)) &&
                (keep.addBindValue(host), keep.addBindValue(log),
                 keep.addBindValue(QString::number(next.file.device)),
                 keep.addBindValue(QString::number(next.file.inode)),
                 keep.addBindValue(next.offset),
                 keep.addBindValue(lastId.isEmpty() ? QVariant() : QVariant(lastId)),
                 keep.exec()) &&
                db.commit();
            if (!done) {
                error = sqlError(insert.lastError().isValid() ? insert.lastError()
                                 : keep.lastError().isValid() ? keep.lastError()
                                                              : db.lastError());
                db.rollback();
                failed(QStringLiteral("cannot write to the database"));
                lost = true;
                break;
            }
            place = next;
        }
        if (!lost)
            break;
    }
    return Outcome::Stopped;
}

namespace {

// The query, its WHERE clause taken from selection with its values bound in order.
bool select(QSqlQuery &query, const QString &sql, const Selection &selection, QString *error) {
    QStringList where{QStringLiteral("TRUE")};
    QVariantList values;
    if (!selection.station.isEmpty()) {
        where << QStringLiteral("station = ?");
        values << selection.station;
    }
    if (selection.from.isValid()) {
        where << QStringLiteral("time >= ?::timestamptz");
        values << selection.from.toUTC().toString(Qt::ISODateWithMs);
    }
    if (selection.until.isValid()) {
        where << QStringLiteral("time < ?::timestamptz");
        values << selection.until.toUTC().toString(Qt::ISODateWithMs);
    }
    if (!query.prepare(sql.arg(where.join(QLatin1String(" AND "))))) {
        *error = sqlError(query.lastError());
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (query.exec())
        return true;
    *error = sqlError(query.lastError());
    return false;
}

bool open(Database &database, const Connection &from, QString *error) {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed");
        return false;
    }
    if (connectTo(database, error))
        return true;
    *error = from.shown + QStringLiteral(": ") + *error;
    return false;
}

} // namespace

bool summarize(const Connection &from, const Selection &selection, resultlog::Report *report,
               QString *error) {
    Database database(from);
    if (!open(database, from, error))
        return false;
    QSqlQuery query(database.db());
    query.setForwardOnly(true);
    *report = {};
    const QString tally = QStringLiteral("count(*) FILTER (WHERE result = 'loaded'), "
                                         "count(*) FILTER (WHERE result = 'failed')");
    if (!select(query,
                QStringLiteral("SELECT coalesce(sha256, ''), ") + tally +
                    QStringLiteral(" FROM boards WHERE %1 GROUP BY 1"),
                selection, error))
        return false;
    while (query.next()) {
        const resultlog::Report::Tally counts{
            query.value(1).toLongLong(), query.value(2).toLongLong(), {}};
        report->byDigest[query.value(0).toString()] = counts;
        report->loaded += counts.loaded;
        report->failed += counts.failed;
    }
    if (!select(query,
                QStringLiteral("SELECT coalesce(station, ''), slot, ") + tally +
                    QStringLiteral(" FROM boards WHERE %1 AND slot <> '' GROUP BY 1, 2"),
                selection, error))
        return false;
    while (query.next())
        report->bySlot[{query.value(0).toString(), query.value(1).toString()}] = {
            query.value(2).toLongLong(), query.value(3).toLongLong(), {}};
    // Failures by kind, of each image and of each slot.
    if (!select(query,
                QStringLiteral("SELECT coalesce(sha256, ''), coalesce(station, ''), "
                               "coalesce(slot, ''), coalesce(cause_kind, '-'), count(*) FROM "
                               "boards WHERE %1 AND result = 'failed' GROUP BY 1, 2, 3, 4"),
                selection, error))
        return false;
    while (query.next()) {
        const QString kind = query.value(3).toString();
        const qint64 failed = query.value(4).toLongLong();
        report->byDigest[query.value(0).toString()].causes[kind] += failed;
        if (!query.value(2).toString().isEmpty())
            report->bySlot[{query.value(1).toString(), query.value(2).toString()}].causes[kind] +=
                failed;
    }
    // The time the boards span, and those the range leaves out.
    report->range = {selection.from, selection.until};
    if (!select(query, QStringLiteral("SELECT min(time), max(time) FROM boards WHERE %1"),
                selection, error))
        return false;
    if (query.next()) {
        report->first = query.value(0).toDateTime().toUTC();
        report->last = query.value(1).toDateTime().toUTC();
    }
    if (report->range.limited()) {
        Selection all = selection;
        all.from = all.until = QDateTime();
        if (!select(query, QStringLiteral("SELECT count(*) FROM boards WHERE %1"), all, error))
            return false;
        if (query.next())
            report->outside = query.value(0).toLongLong() - report->loaded - report->failed;
    }
    // The example of a kind is the cause of the board of that kind that ended first.
    if (!select(query,
                QStringLiteral("SELECT coalesce(cause_kind, '-'), count(*), (array_agg(coalesce("
                               "cause, '') ORDER BY time, seq))[1] FROM boards WHERE %1 AND "
                               "result = 'failed' GROUP BY 1"),
                selection, error))
        return false;
    while (query.next())
        report->byKind[query.value(0).toString()] = {query.value(1).toLongLong(),
                                                     query.value(2).toString()};
    if (!select(query,
                QStringLiteral("SELECT serial, count(*) FROM boards WHERE %1 AND result = "
                               "'loaded' AND serial <> '' GROUP BY 1 HAVING count(*) > 1"),
                selection, error))
        return false;
    while (query.next())
        report->loadedAgain[query.value(0).toString()] = query.value(1).toLongLong();
    // A unit's first board is the one that ended first, as in a log it is the first line.
    if (!select(query,
                QStringLiteral("SELECT count(*), count(*) FILTER (WHERE first = 'loaded'), "
                               "count(*) FILTER (WHERE loads > 0) FROM (SELECT (array_agg(result "
                               "ORDER BY time, seq))[1] AS first, count(*) FILTER (WHERE result = "
                               "'loaded') AS loads FROM boards WHERE %1 AND unit <> '' GROUP BY "
                               "unit) AS units"),
                selection, error))
        return false;
    if (query.next()) {
        report->units = query.value(0).toLongLong();
        report->unitsFirstPass = query.value(1).toLongLong();
        report->unitsLoaded = query.value(2).toLongLong();
    }
    if (!select(query,
                QStringLiteral("SELECT unit, count(*) FROM boards WHERE %1 AND result = "
                               "'loaded' AND unit <> '' GROUP BY 1 HAVING count(*) > 1"),
                selection, error))
        return false;
    while (query.next())
        report->unitsLoadedAgain[query.value(0).toString()] = query.value(1).toLongLong();
    return true;
}

bool writeCsv(const Connection &from, const Selection &selection,
              const std::function<bool(const QByteArray &)> &write, QString *error,
              const resultlog::Report *marks) {
    Database database(from);
    if (!open(database, from, error))
        return false;
    QSqlQuery query(database.db());
    query.setForwardOnly(true);
    if (!select(query,
                QStringLiteral("SELECT record::text FROM boards WHERE %1 ORDER BY time, seq"),
                selection, error))
        return false;
    resultlog::CsvWriter writer = marks ? resultlog::CsvWriter(*marks) : resultlog::CsvWriter();
    QByteArray rows = writer.header();
    while (query.next()) {
        const QByteArray line = query.value(0).toString().toUtf8() + '\n';
        rows += writer.feed(line.constData(), line.size());
        if (rows.size() > (1 << 16)) {
            if (!write(rows))
                return true;
            rows.clear();
        }
    }
    return rows.isEmpty() || write(rows) || true;
}

} // namespace forward
