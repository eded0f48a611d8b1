#include "simdevice.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kNsPerSecond = 1000000000;
constexpr qint64 kBitsPerByte = 10; // start bit, eight data bits, stop bit
// A paced line wakes this long before a byte is due and waits out the rest awake: waking from a
// sleep can take a tenth of a millisecond, more than a byte's time on the line.
constexpr qint64 kWakeEarlyNs = 150000;
// How far ahead of the paced line the device reads from the terminal.
constexpr int kInboxLimit = 4096;
// A host writes a record in one go, so a line that goes quiet this long in the middle of one
// holds the remains of an upload that stopped half-way; the next upload must not be joined to it.
constexpr qint64 kIdleDropNs = 500 * kNsPerMs;

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

void SimDevice::setDropObserver(std::function<void(const QByteArray &)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropObserver = std::move(observer);
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

qint64 SimDevice::byteNs() const {
    const int baud = m_pacingBaud;
    return baud > 0 ? kBitsPerByte * kNsPerSecond / baud : 0;
}

void SimDevice::run() {
    // A paced line times each byte to a fraction of a millisecond; the kernel's default slack
    // of 50 microseconds on every wake-up would add up to more than the line itself.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    char buffer[kInboxLimit];
    while (!m_stopping) {
        deliverDue(nowNs());
        if (m_stopping)
            return;
        // Read ahead of the paced line only so far, so that a host that writes more than that
        // waits for the device as it would on a board.
        const bool room = m_inbox.size() < kInboxLimit;
        pollfd fds[2] = {{m_master, short(room ? POLLIN : 0), 0}, {m_wake[0], POLLIN, 0}};
        const qint64 wakeNs = nextWakeNs();
        if (wakeNs >= 0 && wakeNs - nowNs() <= kWakeEarlyNs) {
            spinUntil(wakeNs);
            continue;
        }
        timespec timeout{};
        if (wakeNs >= 0) {
            const qint64 waitNs = qMax<qint64>(0, wakeNs - kWakeEarlyNs - nowNs());
            timeout.tv_sec = time_t(waitNs / kNsPerSecond);
            timeout.tv_nsec = long(waitNs % kNsPerSecond);
        }
        if (::ppoll(fds, 2, wakeNs >= 0 ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(m_master, buffer, size_t(kInboxLimit - m_inbox.size()));
            if (n > 0)
                takeIn(buffer, int(n), nowNs());
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // The host's end is closed and we hold no other; wait for it to come back.
            sleepMs(wakeNs >= 0 ? 1 : 5);
        }
    }
}

void SimDevice::takeIn(const char *data, int size, qint64 now) {
    const qint64 byte = byteNs();
    if (byte == 0) {
        for (int i = 0; i < size && !m_stopping; ++i)
            handleByte(data[i], now);
        return;
    }
    // On an idle line the first byte arrives one byte time after the host sent it.
    if (m_inbox.isEmpty())
        m_inboxDueNs = qMax(now, m_lastByteNs) + byte;
    m_inbox.append(data, size);
}

void SimDevice::deliverDue(qint64 now) {
    const qint64 byte = byteNs();
    int delivered = 0;
    while (delivered < m_inbox.size() && !m_stopping) {
        const qint64 dueNs = m_inboxDueNs + qint64(delivered) * byte;
        if (dueNs > now) {
            // Answering a message takes time; bytes that arrived meanwhile are due now.
            now = nowNs();
            if (dueNs > now)
                break;
        }
        handleByte(m_inbox.at(delivered), dueNs);
        ++delivered;
    }
    m_inbox.remove(0, delivered);
    m_inboxDueNs += qint64(delivered) * byte;
}

qint64 SimDevice::nextWakeNs() const {
    if (m_inbox.isEmpty())
        return -1;
    // At the byte that may end a message, so that it is answered on time; else when all that
    // was read has arrived.
    int index = m_inbox.size() - 1;
    for (int i = 0; i < m_inbox.size(); ++i) {
        const char c = m_inbox.at(i);
        if (c == '}' || c == '$') {
            index = i;
            break;
        }
    }
    return m_inboxDueNs + qint64(index) * byteNs();
}

void SimDevice::handleByte(char byte, qint64 atNs) {
    Received message{};
    bool complete = false;
    QByteArray dropped;
    std::function<void(const QByteArray &)> dropObserver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_inRecord && atNs - m_lastByteNs > kIdleDropNs) {
            dropped = m_pending;
            dropObserver = m_dropObserver;
            m_pending.clear();
            m_inRecord = false;
        }
        m_lastByteNs = atNs;
        m_all.append(byte);
        if (!m_inRecord && byte == '{') {
            // A record starts; what stood between it and the previous message is no part of it.
            m_inRecord = true;
            m_pending.clear();
        }
        m_pending.append(byte);
        if (m_inRecord && byte == '}') {
            message = {Received::Record, m_recordCount++, m_pending, 0};
            complete = true;
            m_inRecord = false;
        } else if (!m_inRecord && m_pending.endsWith(command())) {
            message = {Received::Command, m_commandCount++, m_pending, 0};
            complete = true;
        }
        if (complete) {
            message.atMs = (atNs - m_startNs) / kNsPerMs;
            m_received.append(message);
            m_pending.clear();
        }
    }
    if (!dropped.isEmpty()) {
        ++m_dropped;
        if (dropObserver)
            dropObserver(dropped);
    }
    if (complete)
        answer(message, atNs);
}

void SimDevice::answer(const Received &message, qint64 atNs) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        responder = m_responder;
    }
    const Reply reply = responder ? responder(message) : Reply{};
    qint64 fromNs = atNs;
    for (const Chunk &chunk : reply) {
        const qint64 dueNs = fromNs + qint64(chunk.delayMs) * kNsPerMs;
        if (!sleepUntil(dueNs))
            return;
        writeAll(chunk.bytes, dueNs);
        if (chunk.hangUp) {
            // Only this thread uses the terminal, so it may close it; stop() just joins.
            closeTerminal();
            m_stopping = true;
            return;
        }
        fromNs = nowNs();
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

bool SimDevice::sleepUntil(qint64 dueNs) {
    const qint64 earlyNs = byteNs() > 0 ? kWakeEarlyNs : 0;
    for (qint64 waitNs = dueNs - earlyNs - nowNs(); waitNs > 0 && !m_stopping;
         waitNs = dueNs - earlyNs - nowNs()) {
        const timespec timeout{time_t(waitNs / kNsPerSecond), long(waitNs % kNsPerSecond)};
        pollfd fd{m_wake[0], POLLIN, 0};
        if (::ppoll(&fd, 1, &timeout, nullptr) > 0)
            break;
    }
    spinUntil(dueNs);
    return !m_stopping;
}

void SimDevice::spinUntil(qint64 dueNs) const {
    while (nowNs() < dueNs && !m_stopping) {
    }
}

void SimDevice::writeAll(const QByteArray &bytes, qint64 fromNs) {
    const qint64 byte = byteNs();
    // Byte i reaches the host one byte time after byte i - 1, as a UART sends it. They are
    // handed over in batches of up to a millisecond of line time, each when its last byte is due.
    const qint64 batch = byte > 0 ? qMax<qint64>(1, kNsPerMs / byte) : bytes.size();
    const qint64 startNs = qMax(fromNs, m_outputFreeNs);
    for (int offset = 0; offset < bytes.size() && !m_stopping;) {
        int count = int(qMin<qint64>(bytes.size() - offset, batch));
        if (byte > 0 && !sleepUntil(startNs + qint64(offset + count) * byte))
            return;
        const ssize_t n = ::write(m_master, bytes.constData() + offset, size_t(count));
        if (n > 0) {
            offset += int(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            sleepMs(1);
        }
    }
    m_outputFreeNs = startNs + qint64(bytes.size()) * byte;
}

} // namespace sim
