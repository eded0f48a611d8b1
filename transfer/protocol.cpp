#include "protocol.h"

#include "linedrain.h"
#include "seriallink.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QThread>

namespace transfer {

bool isAcknowledgement(const QByteArray &reply) {
    return reply.size() == kAcknowledgeSize && reply.at(1) == '\0';
}

void dropStaleInput(QSerialPort &port) {
    if (port.isOpen())
        port.clear(QSerialPort::Input);
}

std::chrono::nanoseconds wireTime(qint64 bytes) {
    constexpr qint64 kBitsPerByte = 10;
    return std::chrono::nanoseconds(bytes * kBitsPerByte * 1000000000LL / kBaudRate);
}

// A wait that timed out leaves TimeoutError behind; it says nothing about the line.
bool linkFailed(const QSerialPort &port) {
    const QSerialPort::SerialPortError error = port.error();
    return !port.isOpen() || (error != QSerialPort::NoError && error != QSerialPort::TimeoutError);
}

namespace {

using std::chrono::nanoseconds;

constexpr qint64 kNsPerMs = 1000000;

qint64 wireNs(qint64 bytes) {
    return qint64(wireTime(bytes).count());
}

// Whether the bytes of send can have left the line by now.
bool hasLeft(QSerialPort &port, const Send &send) {
    return port.bytesToWrite() == 0 && driverOutputPending(port) == 0 &&
           send.writtenAt.nsecsElapsed() >= wireNs(send.bytes);
}

// How long to wait, at most, before looking again whether send has left: until its wire time is
// over, or while the driver still sends, about as long as what it holds needs.
qint64 nextLookMs(QSerialPort &port, const Send &send) {
    const qint64 queued = port.bytesToWrite() + driverOutputPending(port);
    const qint64 untilWireEndNs = wireNs(send.bytes) - send.writtenAt.nsecsElapsed();
    const qint64 waitNs = qMax(wireNs(queued), untilWireEndNs);
    return qMax<qint64>(1, (waitNs + kNsPerMs - 1) / kNsPerMs);
}

// Waits up to ms for data to become readable; the port sends pending output meanwhile.
bool waitForData(QSerialPort &port, qint64 ms) {
    if (port.bytesAvailable() > 0)
        return true;
    port.clearError();
    return port.waitForReadyRead(int(qMax<qint64>(1, ms))) || port.bytesAvailable() > 0;
}

// Adds bytes to a reply, keeping its last kMaxReplyKept bytes: the newest are what answers.
void keepLatest(QByteArray &reply, const QByteArray &bytes) {
    reply += bytes;
    if (reply.size() > kMaxReplyKept)
        reply = reply.right(kMaxReplyKept);
}

// Adds bytes to what answers no send, keeping its first kMaxReplyKept bytes: replies are looked
// at three bytes at a time from the first.
void keepBounded(QByteArray &stale, const QByteArray &bytes) {
    if (stale.size() < kMaxReplyKept)
        stale += bytes.left(kMaxReplyKept - stale.size());
}

// Notes when bytes came for a send.
void noteArrival(Answer &answer, const Send &send, const QByteArray &bytes) {
    if (bytes.isEmpty())
        return;
    answer.lastByteNs = send.writtenAt.nsecsElapsed();
    if (answer.firstByteNs < 0)
        answer.firstByteNs = answer.lastByteNs;
}

} // namespace

QByteArray nextInput(QSerialPort &port, std::chrono::milliseconds wait) {
    QByteArray bytes;
    if (linkFailed(port) || !waitForData(port, wait.count()))
        return bytes;
    keepBounded(bytes, port.readAll());
    return bytes;
}

Send sendBytes(QSerialPort &port, const QByteArray &bytes) {
    Send send;
    send.bytes = bytes.size();
    send.writtenAt.start();
    send.written = port.write(bytes) == bytes.size();
    return send;
}

Answer awaitReply(QSerialPort &port, const Send &send, const ReplyRule &rule) {
    const qint64 giveUpNs = wireNs(send.bytes) + qint64(nanoseconds(rule.leaveGrace).count());
    Answer answer;
    QDeadlineTimer windowEnd;
    while (!rule.done(answer.reply) && !linkFailed(port)) {
        qint64 waitMs = 0;
        if (!answer.left && hasLeft(port, send)) {
            answer.left = true;
            answer.reached = true;
            answer.leftNs = send.writtenAt.nsecsElapsed();
            windowEnd = QDeadlineTimer(rule.window);
        }
        if (answer.left) {
            if (windowEnd.hasExpired())
                break;
            waitMs = windowEnd.remainingTime();
        } else {
            const qint64 leftNs = giveUpNs - send.writtenAt.nsecsElapsed();
            if (leftNs <= 0)
                break;
            waitMs = qMin(nextLookMs(port, send), (leftNs + kNsPerMs - 1) / kNsPerMs);
        }
        if (!waitForData(port, waitMs))
            continue;
        const QByteArray bytes = port.readAll();
        noteArrival(answer, send, bytes);
        // Output only drains, so bytes seen while some of the send is still held came while it
        // was: the device cannot have had the whole send yet. Once it can have had it, a prompt
        // answer is this send's, even after an unanswered one.
        const bool stillLeaving = port.bytesToWrite() > 0 || driverOutputPending(port) > 0;
        if (!answer.left && stillLeaving) {
            keepBounded(answer.stale, bytes);
            continue;
        }
        // Nothing of the send is held on this side any more.
        answer.reached = answer.reached || !linkFailed(port);
        if (!answer.left && rule.earlierUnanswered && !hasLeft(port, send))
            keepBounded(answer.early, bytes);
        else
            keepLatest(answer.reply, bytes);
    }
    // A window that closed on an incomplete reply, or none: the reply may still be on its way.
    if (answer.left && !rule.done(answer.reply) && rule.grace.count() > 0 && !linkFailed(port)) {
        QByteArray late = answer.reply;
        QByteArray lateOnly;
        QDeadlineTimer graceEnd(rule.grace);
        while (!rule.accepted(late) && !graceEnd.hasExpired() && !linkFailed(port)) {
            if (waitForData(port, graceEnd.remainingTime())) {
                const QByteArray bytes = port.readAll();
                noteArrival(answer, send, bytes);
                keepLatest(late, bytes);
                keepBounded(lateOnly, bytes);
            }
        }
        if (rule.accepted(late))
            answer.reply = late;
        else
            answer.late = lateOnly;
    }
    // Nothing more leaves a failed link, and waiting for it would only hold the tool up.
    if (linkFailed(port)) {
        // The system took all of it before the link failed.
        answer.reached = answer.reached || (send.written && port.bytesToWrite() == 0);
        answer.left = true;
        if (answer.leftNs < 0)
            answer.leftNs = send.writtenAt.nsecsElapsed();
    }
    return answer;
}

QByteArray takeInput(QSerialPort &port) {
    QByteArray bytes;
    if (!port.isOpen())
        return bytes;
    keepBounded(bytes, port.readAll());
    // What the driver holds but the port has not read yet; a few looks only, so that a device
    // that never stops sending cannot hold the tool here.
    port.clearError();
    for (int look = 0; look < 4 && port.waitForReadyRead(0); ++look)
        keepBounded(bytes, port.readAll());
    return bytes;
}

QByteArray gatherFor(QSerialPort &port, std::chrono::milliseconds duration) {
    QByteArray bytes;
    QDeadlineTimer end(duration);
    while (!end.hasExpired()) {
        if (linkFailed(port)) {
            QThread::msleep(quint64(qMax<qint64>(0, end.remainingTime())));
            break;
        }
        if (waitForData(port, end.remainingTime()))
            keepBounded(bytes, port.readAll());
    }
    return bytes;
}

// A window of three bytes whose middle one is 0x00, looked for byte by byte so that stray bytes
// before an acknowledgement cannot hide it; windows taken do not overlap. Returns its start, or
// -1.
static int nextAcknowledgement(const QByteArray &bytes, int from) {
    for (int at = from; at + kAcknowledgeSize <= bytes.size(); ++at) {
        if (bytes.at(at + 1) == '\0')
            return at;
    }
    return -1;
}

QByteArray firstAcknowledgement(const QByteArray &bytes) {
    const int at = nextAcknowledgement(bytes, 0);
    return at < 0 ? QByteArray() : bytes.mid(at, kAcknowledgeSize);
}

int acknowledgementCount(const QByteArray &bytes) {
    int count = 0;
    for (int at = nextAcknowledgement(bytes, 0); at >= 0;
         at = nextAcknowledgement(bytes, at + kAcknowledgeSize))
        ++count;
    return count;
}

bool waitUntilLeft(QSerialPort &port, const Send &send, std::chrono::milliseconds grace) {
    QDeadlineTimer limit(grace);
    while (!hasLeft(port, send)) {
        if (linkFailed(port))
            return true;
        if (limit.hasExpired())
            return false;
        const qint64 waitMs = qMin(nextLookMs(port, send), limit.remainingTime());
        port.clearError();
        if (port.bytesToWrite() > 0)
            port.waitForBytesWritten(int(qMax<qint64>(1, waitMs)));
        else
            QThread::msleep(quint64(qMax<qint64>(1, waitMs)));
    }
    return true;
}

} // namespace transfer
