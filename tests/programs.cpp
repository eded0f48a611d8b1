#include "programs.h"

#include "firmwareimage.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace programs {

QString simPath() {
    return QStringLiteral(BOOTLOADER_SIM_PROGRAM);
}

QByteArray recordsOf(const QByteArray &image) {
    return transfer::splitRecords(image).join();
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

QByteArray drain(int fd) {
    QByteArray all;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return all;
        all.append(buffer, int(n));
    }
}

ControllingTerminal::~ControllingTerminal() {
    if (m_holder.state() != QProcess::NotRunning) {
        m_holder.kill();
        m_holder.waitForFinished(5000);
    }
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool ControllingTerminal::start() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        return false;
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A session leader without a terminal takes the first it opens as its own.
    m_holder.start(QStringLiteral("setsid"), {"sh", "-c", "exec sleep 60 <\"$0\"", m_path});
    if (!m_holder.waitForStarted(5000))
        return false;
    for (int i = 0; i < 50; ++i) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_holder.processId()));
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray line = stat.readAll();
            const QList<QByteArray> fields =
                line.mid(line.lastIndexOf(')') + 1).simplified().split(' ');
            if (fields.size() > 4 && fields[4] != "0")
                return true;
        }
        QThread::msleep(50);
    }
    return false;
}

} // namespace programs
