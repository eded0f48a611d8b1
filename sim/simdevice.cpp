#include "simdevice.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kNsPerSecond = 1000000000;
// A paced line wakes this long before a byte is due and waits out the rest awake: waking from a
// sleep can take a tenth of a millisecond, more than a byte's time on the line.
constexpr qint64 kWakeEarlyNs = 150000;
// How far ahead of the paced line the device reads from the terminal.
constexpr int kInboxLimit = 4096;
// How often a reply the terminal would not take is tried again while no host holds the port.
constexpr qint64 kBlockedRetryNs = kNsPerMs;

qint64 nowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The earlier of two times, -1 standing for never.
qint64 earliest(qint64 a, qint64 b) {
    if (a < 0)
        return b;
    return b < 0 ? a : qMin(a, b);
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
    if (!m_terminal.open())
        return false;
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        m_terminal.close();
        return false;
    }
    m_portName = m_terminal.portName();
    m_framer = Framer();
    m_line = PacedLine();
    m_replyQueue.clear();
    m_outputBlocked = false;
    m_lastReplyDoneNs = 0;
    m_startNs = nowNs();
    m_stopping = false;
    m_hungUp = false;
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
    // Replies still waiting are never written.
    m_replyQueue.clear();
    m_terminal.close();
    closeFd(m_wake[0]);
    closeFd(m_wake[1]);
}

void SimDevice::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

void SimDevice::setPacing(int baud) {
    m_pacingBaud = baud;
}

void SimDevice::setDropObserver(std::function<void(const QByteArray &, DropCause)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropObserver = std::move(observer);
}

void SimDevice::setReplyObserver(std::function<void(const Received &)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyObserver = std::move(observer);
}

void SimDevice::setHangUpObserver(std::function<void(const Received &)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hangUpObserver = std::move(observer);
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

QList<SimDevice::Dropped> SimDevice::dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drops;
}

void SimDevice::run() {
    // A paced line times each byte to a fraction of a millisecond; the kernel's default slack
    // of 50 microseconds on every wake-up would add up to more than the line itself.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!m_stopping) {
        m_line.setBaud(m_pacingBaud);
        takeArrivals(nowNs());
        const qint64 replyDueNs = writeReplies(nowNs());
        if (m_stopping)
            return;

        const qint64 wakeNs = earliest(m_line.nextWakeNs(), replyDueNs);
        const qint64 earlyNs = m_line.byteNs() > 0 ? kWakeEarlyNs : 0;
        if (wakeNs >= 0 && wakeNs - nowNs() <= earlyNs) {
            spinUntil(wakeNs);
            continue;
        }
        // Read ahead of the paced line only so far, so that a host that writes more than that
        // waits for the device as it would on a board.
        const int room = kInboxLimit - m_line.inFlight();
        pollfd fds[2] = {m_terminal.waitEntry(room > 0, m_outputBlocked), {m_wake[0], POLLIN, 0}};
        qint64 waitNs = wakeNs >= 0 ? qMax<qint64>(0, wakeNs - earlyNs - nowNs()) : -1;
        waitNs = earliest(waitNs, m_terminal.recheckNs());
        if (m_outputBlocked && !m_terminal.hostPresent())
            waitNs = earliest(waitNs, kBlockedRetryNs);
        const timespec timeout{time_t(qMax<qint64>(0, waitNs) / kNsPerSecond),
                               long(qMax<qint64>(0, waitNs) % kNsPerSecond)};
        if (::ppoll(fds, 2, waitNs >= 0 ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const qint64 readNs = nowNs();
        const auto inputs = m_terminal.service(fds[0].revents, qMax(0, room));
        for (const PseudoTerminal::Input &input : inputs) {
            m_line.hostSent(input.bytes, readNs);
            if (input.closed)
                m_line.hostClosed(readNs);
        }
    }
}

void SimDevice::takeArrivals(qint64 now) {
    m_line.arrive(now, [this](const PacedLine::Arrival &arrival) {
        // The framer keeps time from start(), as the messages report it.
        const qint64 atNs = arrival.atNs - m_startNs;
        if (arrival.hostClosed) {
            for (const Framer::Event &event : m_framer.hostClosed(atNs))
                onFramed(event);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_all.append(arrival.byte);
        }
        for (const Framer::Event &event : m_framer.take(arrival.byte, atNs))
            onFramed(event);
    });
}

void SimDevice::onFramed(const Framer::Event &event) {
    if (event.kind == Framer::Event::Dropped) {
        std::function<void(const QByteArray &, DropCause)> observer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_drops.append({event.partial, event.cause, event.atNs / kNsPerMs});
            observer = m_dropObserver;
        }
        ++m_dropped;
        if (observer)
            observer(event.partial, event.cause);
        return;
    }
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(event.message);
        if (event.message.kind == Received::Command)
            ++m_commandCount;
        responder = m_responder;
    }
    const Reply reply = responder ? responder(event.message) : Reply{};
    m_replyQueue.push_back({event.message, reply, 0, event.atNs + m_startNs, false});
}

qint64 SimDevice::writeReplies(qint64 now) {
    m_outputBlocked = false;
    // Replies go out in the order of their messages, each chunk when due and once the line is
    // free of the one before.
    while (!m_replyQueue.empty() && !m_stopping) {
        PendingReply &reply = m_replyQueue.front();
        if (reply.chunks.isEmpty()) {
            finishReply(reply);
            m_replyQueue.pop_front();
            m_lastReplyDoneNs = nowNs();
            continue;
        }
        const Chunk &chunk = reply.chunks.at(reply.next);
        if (!reply.writing) {
            // The device answers one message at a time: it turns to a message once the reply
            // to the one before is out.
            if (reply.next == 0)
                reply.fromNs = qMax(reply.fromNs, m_lastReplyDoneNs);
            const qint64 dueNs = reply.fromNs + qint64(chunk.delayMs) * kNsPerMs;
            if (dueNs > now)
                return dueNs;
            m_line.send(chunk.bytes, dueNs);
            reply.writing = true;
        }
        const QByteArray due = m_line.dueOutput(now);
        if (!due.isEmpty()) {
            const int written = m_terminal.write(due);
            if (written < 0) {
                // The terminal failed: the reply can no longer be written.
                m_line.abandonSend();
                m_replyQueue.pop_front();
                m_lastReplyDoneNs = nowNs();
                continue;
            }
            m_line.handedOver(written);
            if (written < due.size()) {
                // The host's end is full; wait for room rather than for a time.
                m_outputBlocked = true;
                return -1;
            }
        }
        if (m_line.sending())
            return m_line.nextHandOverNs();
        reply.writing = false;
        reply.fromNs = nowNs();
        ++reply.next;
        if (chunk.hangUp) {
            // Only this thread uses the terminal, so it may close it; stop() just joins.
            m_terminal.close();
            m_stopping = true;
            m_hungUp = true;
            std::function<void(const Received &)> observer;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                observer = m_hangUpObserver;
            }
            if (observer)
                observer(reply.message);
            return -1;
        }
        if (reply.next == reply.chunks.size()) {
            // Reported now, even when stop() came meanwhile: its bytes are on their way.
            finishReply(reply);
            m_replyQueue.pop_front();
            m_lastReplyDoneNs = nowNs();
        }
    }
    return -1;
}

void SimDevice::finishReply(const PendingReply &reply) {
    if (!reply.chunks.isEmpty())
        ++m_replies;
    std::function<void(const Received &)> observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        observer = m_replyObserver;
    }
    if (observer)
        observer(reply.message);
}

void SimDevice::spinUntil(qint64 dueNs) const {
    while (nowNs() < dueNs && !m_stopping) {
    }
}

} // namespace sim
