#include "programs.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace programs {

QString cliPath() {
    return QStringLiteral(BOOTLOADER_CLI_PROGRAM);
}

QString simPath() {
    return QStringLiteral(BOOTLOADER_SIM_PROGRAM);
}

QByteArray recordsOf(const QByteArray &image) {
    // Latin-1 keeps one character per byte, so any image survives the round trip.
    static const QRegularExpression record(QStringLiteral("\\{[^}]*\\}"));
    QByteArray records;
    auto matches = record.globalMatch(QString::fromLatin1(image));
    while (matches.hasNext())
        records += matches.next().captured().toLatin1();
    return records;
}

QStringList Result::errLines() const {
    return QString::fromLocal8Bit(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

Result run(const QString &program, const QStringList &args, int timeoutMs) {
    QProcess process;
    process.start(program, args);
    Result result{false, -1, {}, {}};
    if (!process.waitForStarted(5000))
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

SimProcess::~SimProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool SimProcess::start(const QStringList &args) {
    m_process.start(simPath(), args);
    if (!m_process.waitForStarted(5000))
        return false;
    m_process.setReadChannel(QProcess::StandardOutput);
    const QDeadlineTimer deadline(5000);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    m_port = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return !m_port.isEmpty();
}

bool SimProcess::stop(int signalNumber) {
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit;
    ::kill(m_process.processId(), signalNumber);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit;
}

QByteArray SimProcess::errorOutput() {
    m_err += m_process.readAllStandardError();
    return m_err;
}

BoundSocket::~BoundSocket() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BoundSocket::bind(const QString &path) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (m_fd < 0 || size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    return ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

} // namespace programs
