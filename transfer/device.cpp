#include "device.h"

#include "firmwareimage.h"
#include "protocol.h"
#include "seriallink.h"

#include <QDebug>
#include <QElapsedTimer>
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

Cause Device::failedAs(Cause::Kind kind) const {
    Cause cause;
    cause.port = m_portName;
    cause.entering = m_entering;
    cause.acknowledged = m_acknowledged;
    cause.records = m_records;
    cause.kind = m_deviceGone      ? Cause::Kind::DeviceGone
                 : m_stopRequested ? Cause::Kind::Interrupted
                                   : kind;
    switch (cause.kind) {
    case Cause::Kind::NotConfirmed:
        cause.sends = m_timing.commandSends;
        break;
    case Cause::Kind::OutOfStep:
        // A stray acknowledgement can come once every record was acknowledged: it came after
        // the last one.
        cause.record = qMin(m_acknowledged + 1, m_records);
        break;
    case Cause::Kind::NoAck:
        cause.record = m_acknowledged + 1;
        cause.sends = m_timing.recordSends;
        break;
    default:
        break;
    }
    return cause;
}

Outcome Device::notLoaded(QSerialPort &port, const QByteArray &lastReply, Cause::Kind kind) {
    m_cause = failedAs(kind);
    report(Outcome::FirmwareNotLoaded);
    qDebug() << lastReply.toHex();
    port.close();
    return Outcome::FirmwareNotLoaded;
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
    m_cause.reset();
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

namespace {

qint64 toNs(std::chrono::milliseconds ms) {
    return qint64(std::chrono::nanoseconds(ms).count());
}

// How long the line must stay quiet to show that a device that has been seen to take answerNs
// owes no answer: a quarter more, for a device whose pace varies a little from send to send, and
// the grace.
qint64 quietNs(qint64 answerNs, qint64 graceNs) {
    return answerNs + answerNs / 4 + graceNs;
}

// The sends of one record that no answer has been credited to yet, and what came back for them.
// A device answers each send it received once, in order, so while two or more sends of a record
// are open an answer may belong to any of them: how often the device took the record is known
// only once the line has stayed quiet for as long as the device may take to answer.
struct OpenSends {
    // When each send was written, and when it was seen to have left the line, on the upload's
    // clock: the device cannot have had it before the first, and had it by the second.
    QList<qint64> writtenAtNs;
    QList<qint64> leftAtNs;
    // What came while they were open, the acknowledgements in it (counted over all of it, so that
    // one written in two parts counts), the pieces it came in, and when the last piece was read
    // (-1 before any).
    QByteArray received;
    int acknowledgements = 0;
    int answers = 0;
    qint64 lastAnswerNs = -1;

    bool isEmpty() const { return leftAtNs.isEmpty(); }
    void add(qint64 writtenNs, qint64 leftNs) {
        writtenAtNs << writtenNs;
        leftAtNs << leftNs;
    }

    // Takes bytes read at atNs as answers to the open sends, and what they show of how long the
    // device takes: an answer is counted from the earliest send it can belong to (each piece
    // before it answered one at least), or from the answer before it, which the device may have
    // been busy with, whichever is later.
    void take(const QByteArray &bytes, qint64 atNs, qint64 *answerNs) {
        if (bytes.isEmpty() || leftAtNs.isEmpty())
            return;
        // Past this much the device floods the line; what counts is already in.
        if (received.size() < kMaxReplyKept)
            received += bytes.left(kMaxReplyKept - received.size());
        acknowledgements = acknowledgementCount(received);
        const qint64 from =
            qMax(writtenAtNs.at(qMin(answers, writtenAtNs.size() - 1)), lastAnswerNs);
        *answerNs = qMax(*answerNs, atNs - from);
        ++answers;
        lastAnswerNs = qMax(lastAnswerNs, atNs);
    }

    // Until when the line must stay quiet for every open send to be accounted for.
    qint64 quietUntilNs(qint64 answerNs, qint64 graceNs) const {
        return qMax(leftAtNs.isEmpty() ? 0 : leftAtNs.last(), lastAnswerNs) +
               quietNs(answerNs, graceNs);
    }
};

// Replies other than an acknowledgement go to the trace.
void traceRefusals(const QByteArray &bytes) {
    if (!isAcknowledgement(bytes))
        qDebug() << bytes.toHex();
}

// How the open sends of a record were accounted for.
enum class Settled {
    Once,       // one acknowledgement: the device took the record once
    Never,      // none: it did not take it
    Twice,      // more than one: it took it twice
    Unprovable, // the device may take longer to answer than the tool waits to tell
    Broken,     // the link failed or a stop was asked for
};

// Watches the line until every open send is accounted for: answered, or shown to be lost by the
// line staying quiet for as long as the device may take to answer, plus the grace.
Settled settle(QSerialPort &port, OpenSends &open, const QElapsedTimer &clock, qint64 *answerNs,
               const Timing &timing, const std::atomic<bool> &stopRequested) {
    const qint64 graceNs = toNs(timing.latencyGrace);
    // A stop is looked at this often while the line is watched.
    constexpr qint64 kLookMs = 100;
    for (;;) {
        if (open.acknowledgements > 1)
            return Settled::Twice;
        if (quietNs(*answerNs, graceNs) > toNs(timing.pairingLimit))
            return Settled::Unprovable;
        const qint64 leftNs = open.quietUntilNs(*answerNs, graceNs) - clock.nsecsElapsed();
        if (leftNs <= 0) {
            // What came before the time was up, read only now when this thread ran late.
            const QByteArray last = takeInput(port);
            if (last.isEmpty())
                return open.acknowledgements == 1 ? Settled::Once : Settled::Never;
            traceRefusals(last);
            open.take(last, clock.nsecsElapsed(), answerNs);
            continue;
        }
        if (stopRequested || linkFailed(port))
            return Settled::Broken;
        const qint64 waitMs = qMin<qint64>(kLookMs, (leftNs + 999999) / 1000000);
        const QByteArray bytes = nextInput(port, std::chrono::milliseconds(waitMs));
        if (!bytes.isEmpty()) {
            traceRefusals(bytes);
            open.take(bytes, clock.nsecsElapsed(), answerNs);
        }
    }
}

} // namespace

Outcome Device::upload(const LoadedImage &image, const QString &portName) {
    QSerialPort port;
    watchForLoss(port);
    m_entering = false;
    m_portName = portName;
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

    QElapsedTimer clock;
    clock.start();
    // The longest this device may take to answer a send it received: the reply window, until an
    // answer shows that it takes longer.
    qint64 answerNs = toNs(m_timing.recordReplyWindow);
    // Whether a send went unanswered in its window: the device may then owe an answer still.
    bool anyOpen = false;
    for (int index = 0; index < total; ++index) {
        const QByteArray &record = image.records.at(index);
        int attempts = m_timing.recordSends;
        Send last;
        bool lineClear = true;
        OpenSends open;
        // The record's only open send was acknowledged in its window.
        bool acknowledged = false;
        while (attempts > 0 && open.acknowledgements == 0) {
            if (m_stopRequested)
                return notLoaded(port, reply);
            // A copy still leaving the line would run into this one and the device would take
            // the two for one record; a line that does not clear ends the upload instead.
            if (!lineClear && !waitUntilLeft(port, last, m_timing.leaveGrace))
                return notLoaded(port, reply);
            // Before the first send the device owes nothing, and what it sent is dropped. Later,
            // what came since the last look answers an open send of this record; with none open,
            // an acknowledgement answers no send: the device took a record once more than it was
            // counted, and going on could only report an image it does not hold.
            if (index == 0 && attempts == m_timing.recordSends) {
                dropStaleInput(port);
            } else {
                const QByteArray input = takeInput(port);
                if (open.isEmpty() && holdsAcknowledgement(input))
                    return outOfStep(port, reply);
                open.take(input, clock.nsecsElapsed(), &answerNs);
                if (open.acknowledgements > 0)
                    break;
            }
            const qint64 sentAtNs = clock.nsecsElapsed();
            last = sendBytes(port, record);
            qDebug() << record.toHex();
            rule.earlierUnanswered = !open.isEmpty();
            const Answer answer = awaitReply(port, last, rule);
            if (last.written && answer.reached)
                ++m_sends;
            lineClear = answer.left;
            --attempts;
            const qint64 leftAtNs = sentAtNs + qMax<qint64>(0, answer.leftNs);
            if (open.isEmpty()) {
                // What came while the send was still leaving answers no send.
                if (holdsAcknowledgement(answer.stale))
                    return outOfStep(port, reply);
                if (!answer.reply.isEmpty())
                    reply = answer.reply;
                if (isAcknowledgement(answer.reply)) {
                    acknowledged = true;
                    break;
                }
                if (!answer.reply.isEmpty())
                    qDebug() << reply.toHex();
                // Refused whole: the send is answered, and the record goes again.
                if (answer.reply.size() >= kAcknowledgeSize)
                    continue;
                // Unanswered in its window, or answered only in part (the rest of an
                // acknowledgement may still be on its way): the device may still answer it.
                open.add(sentAtNs, leftAtNs);
                open.take(answer.reply + answer.late, sentAtNs + answer.firstByteNs, &answerNs);
                continue;
            }
            // An earlier send of the record is open: whatever came answers it or this one.
            open.add(sentAtNs, leftAtNs);
            const QByteArray before = answer.stale + answer.early;
            for (const QByteArray &part : {before, answer.reply}) {
                if (!part.isEmpty()) {
                    reply = part;
                    traceRefusals(part);
                }
            }
            open.take(before + answer.reply + answer.late, sentAtNs + answer.firstByteNs,
                      &answerNs);
        }
        if (!open.isEmpty()) {
            // Which send an acknowledgement answers is not known, nor whether the device took
            // the record once more: it is credited once the line has stayed quiet for as long
            // as every open send may take to be answered, and a second one means the device
            // holds the record twice.
            switch (settle(port, open, clock, &answerNs, m_timing, m_stopRequested)) {
            case Settled::Once:
                break;
            case Settled::Never:
                return notLoaded(port, reply);
            case Settled::Twice:
            case Settled::Unprovable:
                return outOfStep(port, reply);
            case Settled::Broken:
                return notLoaded(port, reply);
            }
            anyOpen = true;
        } else if (!acknowledged) {
            return notLoaded(port, reply);
        }
        qDebug() << attempts + 1;
        // The pause is also a look at the line: nothing is owed by the device now.
        if (holdsAcknowledgement(gatherFor(port, m_timing.recordPause)))
            return outOfStep(port, reply);
        m_acknowledged = index + 1;
        emit progressChanged(progress.advance());
        emit recordAcknowledged(index + 1, total);
    }

    // A device that left a send unanswered in its window may owe an answer still: after the last
    // record, as after each, the line must stay quiet for as long as the device may take to
    // answer, and an acknowledgement then is one more than the records.
    if (anyOpen) {
        const qint64 waitNs = quietNs(answerNs, toNs(m_timing.latencyGrace));
        if (waitNs > toNs(m_timing.pairingLimit))
            return outOfStep(port, reply);
        if (holdsAcknowledgement(gatherFor(port, std::chrono::milliseconds(waitNs / 1000000))))
            return outOfStep(port, reply);
    }
    emit progressChanged(100);
    report(Outcome::FirmwareLoaded);
    port.close();
    return Outcome::FirmwareLoaded;
}

Outcome Device::enterBootloader(const QString &portName) {
    QSerialPort port;
    watchForLoss(port);
    m_entering = true;
    m_portName = portName;
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
    m_cause = failedAs(Cause::Kind::NotConfirmed);
    port.close();
    return report(Outcome::BootloaderNotEntered);
}

} // namespace transfer
