#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class QFile;

// The results log of a production line: one JSON object a line for each board that finished,
// kept so that a power cut, a killed process or a second station writing to the same file loses
// or mixes up none of the lines written.
namespace resultlog {

// A JSON value for text that may be unknown: null when empty, as the records and events have it.
QJsonValue textOrNull(const QString &text);

class ResultLog {
public:
    ResultLog() = default;
    ~ResultLog();
    ResultLog(const ResultLog &) = delete;
    ResultLog &operator=(const ResultLog &) = delete;

    // Opens path for appending, creating it when missing (not its folder); never truncates it.
    // A last line left torn by a power cut is ended with a line end first, so that what follows
    // starts a line of its own. False, with the system's reason in error, when the file cannot
    // be written or is not a regular file (a FIFO, a device): nothing else is ever waited on.
    bool open(const QString &path, QString *error);
    // How a wait for the file's lock goes, when another program holds it longer than a moment:
    // note is told once, with who holds it where the system tells (e.g. "the log FILE is locked
    // by flock (pid 4242); waiting for it"), and stop, asked several times a second, gives up
    // the wait (the open or line then fails). Set before open(); none: wait until it is free.
    void setWaiting(std::function<bool()> stop, std::function<void(const QString &)> note) {
        m_stop = std::move(stop);
        m_note = std::move(note);
    }
    bool isOpen() const { return m_fd >= 0; }
    const QString &path() const { return m_path; }

    // Writes line and a line end in one write and syncs it to the disk before returning; other
    // writers of the same file (threads or processes) wait meanwhile. The line goes to the file
    // the path names now: when the open one is no longer it (unlinked, renamed by a rotation,
    // its folder removed), the path is opened anew as open() does. False, with the reason,
    // when any of it failed: the line must then be taken as not written. A line the disk took
    // only part of is cut off again, so that the file ends with its last whole line; where that
    // cannot be done, the next line starts with a line end of its own. Safe from any thread.
    bool append(const QJsonObject &line, QString *error);

private:
    bool reopen(QString *error);
    bool stillAtPath() const;

    std::mutex m_mutex;
    int m_fd = -1;
    QString m_path;
    QByteArray m_name; // the path as the system takes it
    // What the open file is, to tell whether the path still names it.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    // A line was left torn at the end of the file: the next begins with a line end.
    bool m_torn = false;
    std::function<bool()> m_stop;
    std::function<void(const QString &)> m_note;
};

// Opens the file at path for reading into file, refusing without waiting anything but a regular
// file (a FIFO with no writer, a device). False, with the reason, when it cannot be read.
bool openForReading(const QString &path, QFile *file, QString *error);

// A board in the results log: one line, one JSON object with "record": 1 and these keys, as
// bootloader-results(5) documents them. It is the log's own format: the console's events may
// change without changing it.
struct Record {
    static constexpr int kFormat = 1;

    QString id;      // a UUID of this board's record alone, without braces
    QDateTime time;  // when the board ended, UTC; written with milliseconds
    QString host;    // this machine's name
    QString station; // the instance name the station was given; empty: null
    QString slot;    // the label of the station's slot the board was on; empty: null
    QString port;    // the port as given (a name, a path or usb:...)
    QString path;    // the file opened for it
    QString usb;     // VID:PID[:SERIAL] of the port's USB adapter; empty: null
    QString serial;  // the adapter's serial number alone; empty: null
    QString image;   // the image as given
    QString sha256;  // of its records as sent
    int records = 0;
    int acknowledged = 0;
    int sends = 0; // every send of the upload, resends included
    double seconds = 0;
    bool loaded = false; // "result": "loaded" or "failed"
    int exit = 0;        // the exit code the board calls for
    QString causeKind;   // a word from bootloader-cli(1)'s list; empty (loaded): null
    QString cause;       // the cause as the console says it; empty: null
    QString version;     // the tool's
    // The board's own identity, as the unit command named it; empty (the command failed):
    // null. Unset without a unit command: the record has no "unit" key (and the CSV no column).
    std::optional<QString> unit;

    // A record of now, on this host, by this version, with an id of its own; the rest is the
    // caller's.
    static Record now();
    QJsonObject toJson() const;
};

// Whether a log line is a board's, as Summarizer counts them.
bool isBoardLine(const QJsonObject &line);

// The id of a log line: its "id" when it has one, else a name-based UUID (version 5) of the
// line's bytes, so that a line written before records had ids is known by the same id each
// time it is read.
QString idOf(const QJsonObject &line, const QByteArray &text);

// The boards a report counts by their time: from (included) up to to (left out), each open when
// invalid, so that one shift's report ends where the next one's begins.
struct TimeRange {
    QDateTime from;
    QDateTime to;
    bool limited() const { return from.isValid() || to.isValid(); }
    // A board without a time is in an open range only.
    bool holds(const QDateTime &time) const;
};

// What a log says about the boards it lists. It holds figures only: a summary of another source
// (a database) fills the same fields, and reportText(), reportJson() and the CSV render them.
struct Report {
    qint64 loaded = 0;
    qint64 failed = 0;
    // Lines left out: torn by a power cut, not a JSON object, or not a board's (see Summarizer).
    qint64 skipped = 0;
    // The range asked for, and the boards left out as outside it (or without a time).
    TimeRange range;
    qint64 outside = 0;
    // The earliest and the latest time of the boards counted; invalid when none has one.
    QDateTime first;
    QDateTime last;
    struct Tally {
        qint64 loaded = 0;
        qint64 failed = 0;
        // The boards that failed, by their cause's kind ("-" for lines that name none).
        QMap<QString, qint64> causes;
    };
    QMap<QString, Tally> byDigest; // the image's SHA-256
    // The boards that failed, by their cause's kind ("-" for lines that name none, as those of
    // 1.0.0.0 do), with the cause of the first of them as an example.
    struct Kind {
        qint64 failed = 0;
        QString example;
    };
    QMap<QString, Kind> byKind;
    // USB serial numbers of boards loaded more than once, with how often.
    QMap<QString, qint64> loadedAgain;
    // The boards' own identities (the records' units): how many the boards name, how many
    // loaded on their first board (first-pass) and at all (final), and those loaded more than
    // once, with how often.
    qint64 units = 0;
    qint64 unitsFirstPass = 0;
    qint64 unitsLoaded = 0;
    QMap<QString, qint64> unitsLoadedAgain;
    // A slot is a station's: two stations' A1 are two slots. An empty station is a line's that
    // names none.
    struct Slot {
        QString station;
        QString slot;
        bool operator<(const Slot &other) const {
            return station != other.station ? station < other.station : slot < other.slot;
        }
    };
    // The boards of each slot, by the station and label their lines name (lines without a label
    // are in none).
    QMap<Slot, Tally> bySlot;
};

// A slot fails suspiciously often when, over at least kSuspectBoards boards of its own, its share
// of failed boards is at least twice that of all the other boards of the report (the rest of the
// line): so a slot failing every board is marked even when the line fails half of its boards.
constexpr qint64 kSuspectBoards = 10;
bool isSuspect(const Report &report, const Report::Tally &slot);
// The share of boards loaded, in percent; NaN without boards.
double yieldPercent(qint64 loaded, qint64 failed);

// Cuts a log fed in pieces of any size into its lines, holding no more than a line at a time:
// each whole line goes to take, and a line longer than any board's to skip, unread.
class LineSplitter {
public:
    void feed(const char *bytes, qint64 size, const std::function<void(const QByteArray &)> &take,
              const std::function<void()> &skip);
    // Whether a line was begun and not ended (a torn last line); forgets it.
    bool finish();

private:
    QByteArray m_partial; // the line begun and not yet ended
    bool m_overlong = false;
};

// Sums up a log fed in pieces of any size, holding no more than a line at a time. A line counts
// as a board when it is a record (a JSON object with "record": 1, a string "port" and "result"
// "loaded" or "failed"), or a line as stations before the record wrote them (the console's
// result event: "event":"result", a string "port" and a boolean "ok"); any other line is
// skipped.
class Summarizer {
public:
    // Counts the boards range holds only.
    explicit Summarizer(const TimeRange &range = {});
    void feed(const char *bytes, qint64 size);
    // The report of all fed; what follows the last line end is a torn line, and skipped.
    Report finish();

private:
    void take(const QByteArray &text);

    // Texts as 64-bit digests in an open-addressed table (0: free): a few bytes a board, where
    // a table of strings would hold the size of the log.
    class DigestSet {
    public:
        // True when text was not in the set.
        bool insert(const QString &text);

    private:
        std::vector<quint64> m_table;
        size_t m_count = 0;
    };

    Report m_report;
    LineSplitter m_lines;
    TimeRange m_range;
    DigestSet m_serialsLoaded;
    DigestSet m_units;       // named by a board
    DigestSet m_unitsLoaded; // named by a board that loaded
};

// Reads the log at path, a piece at a time. False, with the reason, when it cannot be read, or
// when stop, asked between pieces, says to stop.
bool summarize(const QString &path, Report *report, QString *error,
               const std::function<bool()> &stop = {}, const TimeRange &range = {});
// Sums up log lines as they stand in a log.
Report summarize(const QByteArray &contents);

QString reportText(const Report &report);
QJsonObject reportJson(const Report &report);

// The boards of a log as CSV (RFC 4180): a header of the record's keys, then a row for each line
// Summarizer counts as a board, a line of 1.0.0.0 with its "ok" as the result and the keys it
// lacks empty. Fed in pieces of any size; each call gives the rows of the lines it ended.
// Made for a spreadsheet: a text cell that would start a formula (=, +, -, @, a tab or a carriage
// return) begins with a ' instead; so does every serial number and slot label, kept as text
// (00012345 stays 00012345); a time is written as YYYY-MM-DD HH:MM:SS, in UTC.
class CsvWriter {
public:
    // With marks, the boards range holds only, and each row ends with whether its slot is
    // suspect in marks (empty for a board in no slot).
    CsvWriter() = default;
    explicit CsvWriter(const Report &marks)
        : m_marks(&marks) {}
    QByteArray header() const;
    QByteArray feed(const char *bytes, qint64 size);
    // The row of a board's line (a record, or a line of 1.0.0.0), as feed() writes it.
    QByteArray row(const QJsonObject &line) const;

private:
    LineSplitter m_lines;
    const Report *m_marks = nullptr;
};
// Reads the log at path a piece at a time, handing write the header and then the rows of each
// piece; stops early, still true, once write says the output is lost. False, with the reason, as
// summarize() is. With marks, as CsvWriter has it.
bool writeCsv(const QString &path, const std::function<bool(const QByteArray &)> &write,
              QString *error, const std::function<bool()> &stop = {},
              const Report *marks = nullptr);

} // namespace resultlog
