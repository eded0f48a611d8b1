#include "protocol.h"

#include <QDeadlineTimer>
#include <QSerialPort>

namespace transfer {

bool isAcknowledgement(const QByteArray &reply) {
    return reply.size() == kAcknowledgeSize && reply.at(1) == '\0';
}

void dropStaleInput(QSerialPort &port) {
    if (port.isOpen())
        port.clear(QSerialPort::Input);
}

namespace {

// Waits until data is readable or the deadline passes. False when none came, and at once when
// the line is gone or broken, since no reply can come then.
bool waitForData(QSerialPort &port, const QDeadlineTimer &deadline) {
    while (port.isOpen() && !deadline.hasExpired()) {
        if (port.bytesAvailable() > 0)
            return true;
        // A wait that timed out leaves TimeoutError behind; it says nothing about the next one.
        port.clearError();
        if (port.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return true;
        const QSerialPort::SerialPortError error = port.error();
        if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError)
            return false;
    }
    return false;
}

} // namespace

QByteArray gatherReply(QSerialPort &port, std::chrono::milliseconds timeout,
                       const std::function<bool(const QByteArray &)> &done) {
    const QDeadlineTimer deadline(timeout);
    QByteArray reply;
    while (!done(reply) && waitForData(port, deadline)) {
        reply += port.readAll();
        if (reply.size() > kMaxReplyKept)
            reply = reply.right(kMaxReplyKept);
    }
    return reply;
}

} // namespace transfer
