#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <functional>

// Runs bootloader-cli and bootloader-sim as processes, the way scripts use them.
namespace programs {

// bootloader-cli as built for users; and the suite's own build of it, which is the same program
// with short reply windows, for tests that do not time the device's replies.
inline QString toolCliPath() {
    return QStringLiteral(BOOTLOADER_CLI_PROGRAM);
}
inline QString shortTimingCliPath() {
    return QStringLiteral(BOOTLOADER_SHORT_TIMING_CLI_PROGRAM);
}
// The one a test runs: the short-timing build in the tests built with
// BOOTLOADER_TESTS_SHORT_TIMING_CLI.
inline QString cliPath() {
#ifdef BOOTLOADER_TESTS_SHORT_TIMING_CLI
    return shortTimingCliPath();
#else
    return toolCliPath();
#endif
}
QString simPath();

// The bytes from each '{' up to and including the next '}', joined: what a device is sent.
QByteArray recordsOf(const QByteArray &image);

struct Result {
    bool finished; // false when it was still running at the time-out, and was killed
    int exitCode;  // -1 unless it exited on its own
    QByteArray out;
    QByteArray err;
    QStringList errLines() const;
};

// Runs a program to its end (killed after timeoutMs).
Result run(const QString &program, const QStringList &args, int timeoutMs = 20000);
inline Result runCli(const QStringList &args, int timeoutMs = 20000) {
    return run(cliPath(), args, timeoutMs);
}

// bootloader-sim, running while this object lives: ended by stop(), or when destroyed (then
// also when a check failed half-way).
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts it with args and reads the port from its first line on stdout. False when it did
    // not start, or printed no port within a few seconds.
    bool start(const QStringList &args = {});
    QString port() const { return m_port; }

    // Sends signalNumber and waits for the end. False when it did not end in time (it is then
    // killed) or ended by a signal rather than exiting.
    bool stop(int signalNumber = SIGTERM);
    int exitCode() const { return m_process.exitCode(); }
    // Everything it wrote on stderr so far.
    QByteArray errorOutput();

private:
    QProcess m_process;
    QString m_port;
    QByteArray m_err;
};

// A Unix socket bound at a path while this lives: a file that is no port.
class BoundSocket {
public:
    BoundSocket() = default;
    ~BoundSocket();
    BoundSocket(const BoundSocket &) = delete;
    BoundSocket &operator=(const BoundSocket &) = delete;
    bool bind(const QString &path);

private:
    int m_fd = -1;
};

// Reads whatever is waiting on a non-blocking descriptor.
QByteArray drain(int fd);

// A pseudo-terminal that a process of its own has as its controlling terminal, as a shell's
// terminal is; the process ends with this object.
class ControllingTerminal {
public:
    ControllingTerminal() = default;
    ~ControllingTerminal();
    ControllingTerminal(const ControllingTerminal &) = delete;
    ControllingTerminal &operator=(const ControllingTerminal &) = delete;
    // False when it could not be had (no setsid, say).
    bool start();
    QString path() const { return m_path; }
    qint64 pid() const { return m_holder.processId(); }
    // What was written to the terminal, read from its other end.
    QByteArray written() const { return drain(m_master); }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QProcess m_holder;
};

// JSON events and processes of bootloader-cli, as the tests read them.

inline QList<QJsonObject> parseLines(const QByteArray &out) {
    QList<QJsonObject> events;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            qWarning("not a JSON object: %s", line.constData());
        events << document.object();
    }
    return events;
}

inline QList<QJsonObject> ofKind(const QList<QJsonObject> &events, const QString &kind) {
    QList<QJsonObject> found;
    for (const QJsonObject &event : events) {
        if (event.value("event").toString() == kind)
            found << event;
    }
    return found;
}

inline QByteArray recordsImage(int records) {
    QByteArray image;
    for (int i = 0; i < records; ++i)
        image += "{record " + QByteArray::number(i) + "}\n";
    return image;
}

// bootloader-cli running in the background, its stdout read as JSON events as they come; ended
// (killed) when destroyed if still running.
class CliProcess {
public:
    ~CliProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool start(const QStringList &args) { return startProgram(programs::cliPath(), args); }
    // Starts program (a shell that runs bootloader-cli under limits, say) instead.
    bool startProgram(const QString &program, const QStringList &args) {
        m_process.start(program, args);
        return m_process.waitForStarted(5000);
    }
    // Waits until an event satisfies done; false on time-out or exit.
    bool waitForEvent(const std::function<bool(const QJsonObject &)> &done, int ms = 15000) {
        const QDeadlineTimer deadline(ms);
        for (;;) {
            m_out += m_process.readAllStandardOutput();
            for (const QJsonObject &event : parseLines(m_out)) {
                if (done(event))
                    return true;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    // Waits for the end; the exit code, or -1 when it did not exit by itself in time.
    int finish(int ms = 15000) {
        if (!m_process.waitForFinished(ms) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        m_out += m_process.readAllStandardOutput();
        return m_process.exitCode();
    }
    QList<QJsonObject> events() const { return parseLines(m_out); }
    QStringList errLines() {
        return QString::fromLocal8Bit(m_process.readAllStandardError())
            .split('\n', Qt::SkipEmptyParts);
    }

private:
    QProcess m_process;
    QByteArray m_out;
};

inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether a lock file of the port is left in one of the folders serial ports are locked in.
inline bool lockFileLeft(const QString &port) {
    const QString name = "LCK.." + port.mid(int(qstrlen("/dev/"))).replace('/', '_');
    for (const char *folder : {"/var/lock", "/run/lock", "/tmp"}) {
        if (QFile::exists(QLatin1String(folder) + '/' + name))
            return true;
    }
    return false;
}

} // namespace programs
