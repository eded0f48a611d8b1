#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>

// Runs bootloader-cli and bootloader-sim as processes, the way scripts use them.
namespace programs {

QString cliPath();
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

} // namespace programs
