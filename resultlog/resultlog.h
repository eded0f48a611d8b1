#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <mutex>

// The results log of a production line: one JSON object a line for each board that finished,
// kept so that a power cut, a killed process or a second station writing to the same file loses
// or mixes up none of the lines written.
namespace resultlog {

class ResultLog {
public:
    ResultLog() = default;
    ~ResultLog();
    ResultLog(const ResultLog &) = delete;
    ResultLog &operator=(const ResultLog &) = delete;

    // Opens path for appending, creating it when missing; never truncates it. A last line left
    // torn by a power cut is ended with a line end first, so that what follows starts a line of
    // its own. False, with the system's reason in error, when the file cannot be written.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_fd >= 0; }
    const QString &path() const { return m_path; }

    // Writes line and a line end in one write and syncs it to the disk before returning; other
    // writers of the same file (threads or processes) wait meanwhile. False, with the reason,
    // when any of it failed: the line must then be taken as not written. Safe from any thread.
    bool append(const QJsonObject &line, QString *error);

private:
    std::mutex m_mutex;
    int m_fd = -1;
    QString m_path;
};

// The log's line for a board: its result event, with when (UTC, ISO 8601 with milliseconds),
// the image as given and its records' SHA-256, this host and the tool's version.
QJsonObject boardLine(QJsonObject result, const QString &image, const QString &sha256);

// What a log says about the boards it lists.
struct Report {
    int loaded = 0;
    int failed = 0;
    // Lines left out: torn by a power cut, or not a JSON object.
    int skipped = 0;
    struct Tally {
        int loaded = 0;
        int failed = 0;
    };
    QMap<QString, Tally> byDigest; // the image's SHA-256
    QMap<QString, int> byCause;    // of the boards that failed: their cause, or their outcome
    // USB serial numbers of boards loaded more than once, with how often.
    QMap<QString, int> loadedAgain;
};

// Reads the log at path whole. False, with the reason, when it cannot be read.
bool summarize(const QString &path, Report *report, QString *error);
// Sums up log lines as they stand in a log.
Report summarize(const QByteArray &contents);

QString reportText(const Report &report);
QJsonObject reportJson(const Report &report);

} // namespace resultlog
