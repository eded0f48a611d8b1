#include "pseudoterminal.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr qint64 kRecheckNs = 1000 * 1000;
// Rounds of looking for a host that opened, wrote and closed the port in between two looks.
constexpr int kLookRounds = 8;

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void setFlag(int fd, int getCommand, int setCommand, int flag) {
    ::fcntl(fd, setCommand, ::fcntl(fd, getCommand) | flag);
}

} // namespace

bool PseudoTerminal::open() {
    close();
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        return false;
    setFlag(m_master, F_GETFD, F_SETFD, FD_CLOEXEC);
    setFlag(slave, F_GETFD, F_SETFD, FD_CLOEXEC);
    setFlag(m_master, F_GETFL, F_SETFL, O_NONBLOCK);
    // Raw from the start, so nothing the host writes is echoed back or rewritten; the host's
    // serial port sets its own line settings when it opens. They outlive the close below, since
    // the device's end keeps the pair.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    m_portName = QString::fromLocal8Bit(name);
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0 && ::inotify_add_watch(m_watch, name, IN_OPEN) < 0)
        closeFd(m_watch);
    // The host's end is left to the host: had the device kept it open, it could not tell when the
    // host closes the port.
    ::close(slave);
    m_hostPresent = false;
    return true;
}

void PseudoTerminal::close() {
    closeFd(m_master);
    closeFd(m_watch);
    m_hostPresent = false;
}

pollfd PseudoTerminal::waitEntry(bool wantInput, bool wantOutput) const {
    if (m_master >= 0 && m_hostPresent)
        return {m_master, short((wantInput ? POLLIN : 0) | (wantOutput ? POLLOUT : 0)), 0};
    if (m_master >= 0 && m_watch >= 0)
        return {m_watch, POLLIN, 0};
    return {-1, 0, 0};
}

qint64 PseudoTerminal::recheckNs() const {
    return m_master >= 0 && !m_hostPresent && m_watch < 0 ? kRecheckNs : -1;
}

QList<PseudoTerminal::Input> PseudoTerminal::service(short revents, int limit) {
    QList<Input> inputs;
    if (m_master < 0)
        return inputs;
    if (!m_hostPresent) {
        if (m_watch < 0 || (revents & POLLIN))
            lookForHost(&inputs);
        return inputs;
    }
    bool closed = (revents & (POLLHUP | POLLERR)) != 0;
    if (!closed && (revents & POLLIN) && limit > 0) {
        QByteArray bytes(limit, Qt::Uninitialized);
        const ssize_t n = ::read(m_master, bytes.data(), size_t(limit));
        if (n > 0) {
            bytes.truncate(int(n));
            inputs.append({bytes, false});
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            closed = true;
        }
    }
    if (closed) {
        // Everything the host wrote before it closed the port is still to be read.
        inputs.append({readAll(), true});
        m_hostPresent = false;
        lookForHost(&inputs);
    }
    return inputs;
}

void PseudoTerminal::lookForHost(QList<Input> *inputs) {
    for (int round = 0; round < kLookRounds; ++round) {
        // Emptied before looking, so that a host opening after the look is still noticed.
        char events[4096];
        while (m_watch >= 0 && ::read(m_watch, events, sizeof events) > 0) {
        }
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, 0) < 0)
            return;
        if (!(fd.revents & (POLLHUP | POLLERR))) {
            m_hostPresent = true;
            return;
        }
        if (!(fd.revents & POLLIN))
            return;
        // A host opened the port, wrote and closed it again since the last look.
        inputs->append({readAll(), true});
    }
}

QByteArray PseudoTerminal::readAll() {
    QByteArray all;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            all.append(buffer, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return all;
    }
}

int PseudoTerminal::write(const QByteArray &bytes) {
    if (m_master < 0)
        return -1;
    const ssize_t n = ::write(m_master, bytes.constData(), size_t(bytes.size()));
    if (n >= 0)
        return int(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

} // namespace sim
