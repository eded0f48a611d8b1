#include "device.h"

#include "firmwareimage.h"
#include "protocol.h"
#include "seriallink.h"

#include <QDebug>
#include <QSerialPort>

namespace transfer {

int ProgressCounter::advance() {
    // The whole part is taken from the sum before it is narrowed back to single precision, so
    // three records show 33, 66 and 99 before the final 100.
    const double sum = double(m_progress) + double(m_increment);
    m_progress = float(sum);
    return int(sum);
}

Device::Device(QObject *parent)
    : QObject(parent) {}

Outcome Device::report(Outcome outcome) {
    emit reported(outcome);
    return outcome;
}

Outcome Device::notLoaded(QSerialPort &port, const QByteArray &lastReply) {
    report(Outcome::FirmwareNotLoaded);
    qDebug() << lastReply.toHex();
    port.close();
    return Outcome::FirmwareNotLoaded;
}

Outcome Device::outOfStep(QSerialPort &port, const QByteArray &lastReply) {
    m_outOfStep = true;
    return notLoaded(port, lastReply);
}

Outcome Device::upload(const QString &imagePath, const QString &portName) {
    emit progressChanged(0);

    const LoadedImage image = loadImage(imagePath);
    if (image.refusal)
        return report(*image.refusal);
    return upload(image, portName);
}

void Device::watchForLoss(QSerialPort &port) {
    m_deviceGone = false;
    m_outOfStep = false;
    m_sends = 0;
    m_acknowledged = 0;
    m_records = 0;
    // Direct: the port lives on the operation's thread, which need not be this object's.
    connect(
        &port, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) {
            // An unplugged adapter fails as a resource; a terminal whose far end went away fails
            // every read.
            if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
                m_deviceGone = true;
        },
        Qt::DirectConnection);
}

Cause Device::failure(const QString &port) const {
    Cause cause;
    cause.port = port;
    cause.entering = m_entering;
    cause.acknowledged = m_acknowledged;
    cause.records = m_records;
    if (m_deviceGone) {
        cause.kind = Cause::Kind::DeviceGone;
    } else if (m_entering) {
        cause.kind = Cause::Kind::NotConfirmed;
        cause.sends = m_timing.commandSends;
    } else if (m_outOfStep) {
        cause.kind = Cause::Kind::OutOfStep;
        // A stray acknowledgement can come once every record was acknowledged: it came after
        // the last one.
        cause.record = qMin(m_acknowledged + 1, m_records);
    } else {
        cause.kind = Cause::Kind::NoAck;
        cause.record = m_acknowledged + 1;
        cause.sends = m_timing.recordSends;
    }
    return cause;
}

Outcome Device::upload(const LoadedImage &image, const QString &portName) {
    QSerialPort port;
    watchForLoss(port);
    m_entering = false;
    m_records = int(image.records.size());
    if (!openLink(port, portName, &m_linkFailure))
        return report(Outcome::PortNotOpened);

    const int total = image.records.size();
    ProgressCounter progress(total);
    // The last reply read during this upload, kept across records for the failure trace.
    QByteArray reply;
    ReplyRule rule;
    rule.window = m_timing.recordReplyWindow;
    rule.done = [](const QByteArray &bytes) { return bytes.size() >= kAcknowledgeSize; };
    rule.grace = m_timing.latencyGrace;
    rule.leaveGrace = m_timing.leaveGrace;
    rule.accepted = isAcknowledgement;

    // Whether a send went unanswered in its window: its answer may still have come later, and
    // been taken for a later send's.
    bool anyUnanswered = false;
    for (int index = 0; index < total; ++index) {
        const QByteArray &record = image.records.at(index);
        int attempts = m_timing.recordSends;
        Send last;
        bool lineClear = true;
        rule.earlierUnanswered = false;
        for (;;) {
            if (m_stopRequested)
                return notLoaded(port, reply);
            // A copy still leaving the line would run into this one and the device would take
            // the two for one record; a line that does not clear ends the upload instead.
            if (!lineClear && !waitUntilLeft(port, last, m_timing.leaveGrace))
                return notLoaded(port, reply);
            // Before the first send the device owes nothing, and what it sent is dropped. Later,
            // an acknowledgement that answers no send means the device took a record once more
            // than it was counted: going on could only report an image it does not hold.
            if (index == 0 && attempts == m_timing.recordSends)
                dropStaleInput(port);
            else if (holdsAcknowledgement(takeInput(port)))
                return outOfStep(port, reply);
            last = sendBytes(port, record);
            ++m_sends;
            qDebug() << record.toHex();
            const Answer answer = awaitReply(port, last, rule);
            if (holdsAcknowledgement(answer.stale))
                return outOfStep(port, reply);
            lineClear = answer.left;
            // An acknowledgement before this send can have reached the device at the line's pace
            // answers either the unanswered send late (a paced line, whose device answers this
            // one too) or this one at once (a line without pacing, whose device ignored the
            // other). The window and its grace have been waited out: a second acknowledgement
            // in them means the device took the record twice; none, that the first one stands.
            if (const int early = acknowledgementCount(answer.early); early > 0) {
                if (early > 1 || isAcknowledgement(answer.reply))
                    return outOfStep(port, reply);
                reply = firstAcknowledgement(answer.early);
                break;
            }
            if (!answer.reply.isEmpty()) {
                reply = answer.reply;
                if (isAcknowledgement(reply))
                    break;
                qDebug() << reply.toHex();
            }
            rule.earlierUnanswered = answer.reply.isEmpty();
            anyUnanswered = anyUnanswered || rule.earlierUnanswered;
            if (--attempts == 0)
                return notLoaded(port, reply);
        }
        qDebug() << attempts;
        // The pause is also a look at the line: nothing is owed by the device now.
        if (holdsAcknowledgement(gatherFor(port, m_timing.recordPause)))
            return outOfStep(port, reply);
        m_acknowledged = index + 1;
        emit progressChanged(progress.advance());
        emit recordAcknowledged(index + 1, total);
    }

    // A device that answered a send late may owe an answer still, each answer taken for the
    // send after its own from then on: twice a window's time is waited out for it, and an
    // acknowledgement in it is out of step.
    if (anyUnanswered && holdsAcknowledgement(gatherFor(
                             port, 2 * (m_timing.recordReplyWindow + m_timing.latencyGrace))))
        return outOfStep(port, reply);
    emit progressChanged(100);
    report(Outcome::FirmwareLoaded);
    port.close();
    return Outcome::FirmwareLoaded;
}

Outcome Device::enterBootloader(const QString &portName) {
    QSerialPort port;
    watchForLoss(port);
    m_entering = true;
    if (!openLink(port, portName, &m_linkFailure))
        return report(Outcome::PortNotOpened);

    const auto confirmed = [](const QByteArray &bytes) {
        return bytes.contains(kBootloaderConfirmation);
    };
    for (int attempts = m_timing.commandSends; attempts > 0; --attempts) {
        if (m_stopRequested)
            break;
        dropStaleInput(port);
        const Send command = sendBytes(port, kBootloaderCommand);
        ++m_sends;
        port.flush();
        ReplyRule rule;
        rule.window = m_timing.commandReplyWindow;
        rule.leaveGrace = m_timing.leaveGrace;
        rule.done = confirmed;
        const Answer answer = awaitReply(port, command, rule);
        if (confirmed(answer.reply)) {
            report(Outcome::BootloaderEntered);
            port.close();
            return Outcome::BootloaderEntered;
        }
        if (!answer.left && !waitUntilLeft(port, command, m_timing.leaveGrace))
            break;
    }
    port.close();
    return report(Outcome::BootloaderNotEntered);
}

} // namespace transfer
