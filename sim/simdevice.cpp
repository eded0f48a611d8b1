#include "simdevice.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

qint64 nowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

SimDevice::Reply SimDevice::defaultReply(const Received &message) {
    return {{0, message.kind == Received::Record ? acknowledgement() : confirmation()}};
}

SimDevice::Reply SimDevice::split(const QByteArray &bytes, int delayMs) {
    const int half = qMax(1, bytes.size() / 2);
    return {{0, bytes.left(half)}, {delayMs, bytes.mid(half)}};
}

SimDevice::SimDevice()
    : m_responder(&SimDevice::defaultReply) {}

SimDevice::~SimDevice() {
    stop();
}

bool SimDevice::start() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        return false;
    // Raw from the start, so nothing the host writes is echoed back or rewritten; the host's
    // serial port sets its own line settings when it opens.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    if (::pipe(m_wake) != 0) {
        closeFd(m_master);
        closeFd(m_slave);
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_portName = QString::fromLocal8Bit(name);
    m_startNs = nowNs();
    m_stopping = false;
    m_thread = std::thread(&SimDevice::run, this);
    return true;
}

void SimDevice::stop() {
    if (m_thread.joinable()) {
        m_stopping = true;
        const char byte = 0;
        (void)!::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    closeTerminal();
    closeFd(m_wake[0]);
    closeFd(m_wake[1]);
}

void SimDevice::closeTerminal() {
    closeFd(m_master);
    closeFd(m_slave);
}

void SimDevice::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

void SimDevice::setPacing(int baud) {
    m_pacingBaud = baud;
}

QByteArray SimDevice::receivedBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_all;
}

QList<SimDevice::Received> SimDevice::received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

QList<QByteArray> SimDevice::records() const {
    QList<QByteArray> result;
    const auto messages = received();
    for (const Received &message : messages) {
        if (message.kind == Received::Record)
            result.append(message.bytes);
    }
    return result;
}

int SimDevice::commandCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commandCount;
}

void SimDevice::run() {
    char buffer[4096];
    while (!m_stopping) {
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0)
                handleInput(buffer, int(n));
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // The host's end is closed and we hold no other; wait for it to come back.
            sleepMs(5);
        }
    }
}

void SimDevice::handleInput(const char *data, int size) {
    for (int i = 0; i < size && !m_stopping; ++i) {
        Received message{};
        bool complete = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_all.append(data[i]);
            m_pending.append(data[i]);
            if (data[i] == '}') {
                message = {Received::Record, m_recordCount++, m_pending, 0};
                complete = true;
            } else if (m_pending.endsWith(command())) {
                message = {Received::Command, m_commandCount++, m_pending, 0};
                complete = true;
            }
            if (complete) {
                message.atMs = (nowNs() - m_startNs) / 1000000;
                m_received.append(message);
                m_pending.clear();
            }
        }
        if (complete)
            answer(message);
    }
}

void SimDevice::answer(const Received &message) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        responder = m_responder;
    }
    const Reply reply = responder ? responder(message) : Reply{};
    for (const Chunk &chunk : reply) {
        if (!sleepMs(chunk.delayMs))
            return;
        writeAll(chunk.bytes);
        if (chunk.hangUp) {
            // Only this thread uses the terminal, so it may close it; stop() just joins.
            closeTerminal();
            m_stopping = true;
            return;
        }
    }
    if (!reply.isEmpty())
        ++m_replies;
}

bool SimDevice::sleepMs(int ms) {
    if (ms <= 0)
        return !m_stopping;
    pollfd fd{m_wake[0], POLLIN, 0};
    ::poll(&fd, 1, ms);
    return !m_stopping;
}

void SimDevice::writeAll(const QByteArray &bytes) {
    const int baud = m_pacingBaud;
    // 10 bits a byte on an 8N1 line.
    const qint64 byteNs = baud > 0 ? 10LL * 1000000000LL / baud : 0;
    qint64 due = nowNs();
    for (int offset = 0; offset < bytes.size() && !m_stopping;) {
        const int count = byteNs > 0 ? 1 : bytes.size() - offset;
        if (byteNs > 0) {
            due += byteNs;
            while (nowNs() < due && !m_stopping)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        const ssize_t n = ::write(m_master, bytes.constData() + offset, size_t(count));
        if (n > 0) {
            offset += int(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            sleepMs(1);
        }
    }
}

} // namespace sim
