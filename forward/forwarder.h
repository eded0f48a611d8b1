#pragma once

#include "resultlog.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// A station's results log copied into PostgreSQL (`bootloader-cli forward`): each board's line
// becomes a row of the table boards, found by its id, so that a line copied twice is stored once.
// The log stays the authority: it is only ever read.
namespace forward {

// Where a database is, from a postgresql:// URL: postgresql://[USER[:PASSWORD]@][HOST][:PORT]
// [/DBNAME][?KEY=VALUE&...], its parts percent-encoded. host, port, dbname, user and password
// may be given as query parameters too (a host starting with '/' is the folder of a Unix
// socket); any other parameter is a connection option of libpq (service, sslmode, ...). What is
// not given comes from libpq's own sources: the PG* variables, a service file, PGPASSFILE.
struct Connection {
    QString host;
    int port = -1;
    QString dbname;
    QString user;
    QString password;
    QStringList options; // KEY=VALUE
    QString shown;       // the URL without its password, for messages
};
std::optional<Connection> parseConnection(const QString &url, QString *error);

struct Settings {
    QString log; // the log's path
    Connection to;
    bool once = false; // forward what is there and return
    int batch = 2000;  // lines at most in a transaction
};

enum class Outcome { Done, Stopped, Failed };

// Applies the versions of the schema the database has not got yet, each in a transaction of its
// own, recording them in schema_version. say is told what is done and why it failed.
Outcome init(const Connection &to, const std::function<void(const QString &)> &say);

// Forwards the log's lines from where the database says this host's forwarder of this log
// stopped, following the log across rotations, until stop says to stop (or, once, until the end
// of the log). A database that is away, or fails a batch, is tried again after a pause that
// doubles up to half a minute; the batch is then read again from the place the database holds.
Outcome run(const Settings &settings, const std::function<bool()> &stop,
            const std::function<void(const QString &)> &say);

// Which boards of the database a report takes: of one station (empty: all), ended at from or
// later and before until (invalid: no bound).
struct Selection {
    QString station;
    QDateTime from;
    QDateTime until;
};

// The report of the boards the database holds, summed up there, as resultlog::summarize() gives
// it for a log (nothing is skipped: the database holds boards only). False, with the reason,
// when the database cannot be read.
bool summarize(const Connection &from, const Selection &selection, resultlog::Report *report,
               QString *error);
// The boards as CSV, as resultlog::writeCsv() writes a log's, in the order they ended.
// With marks, each row ends with its slot's suspect mark, as resultlog::writeCsv() gives it.
bool writeCsv(const Connection &from, const Selection &selection,
              const std::function<bool(const QByteArray &)> &write, QString *error,
              const resultlog::Report *marks = nullptr);

} // namespace forward
