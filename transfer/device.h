#pragma once

#include "cause.h"
#include "messages.h"
#include "protocol.h"
#include "seriallink.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>
#include <optional>

class QSerialPort;

namespace transfer {

struct LoadedImage;

// Progress of an upload in percent, moved on by 100 / records for each acknowledged record and
// accumulated in single precision.
class ProgressCounter {
public:
    explicit ProgressCounter(int records)
        : m_increment(100.0f / float(records)) {}
    // Adds one record's share; returns the percentage to show.
    int advance();

private:
    float m_increment;
    float m_progress = 0.0f;
};

// The device operations, run synchronously on the calling thread. Each opens its own serial
// port, uses it and closes it before returning.
//
// reported() is emitted exactly once per operation, at the moment the user is to be told the
// outcome; a receiver connected directly may block there (a modal box), and the operation goes
// on afterwards (closing the port when the outcome calls for it after the report).
class Device : public QObject {
    Q_OBJECT

public:
    explicit Device(QObject *parent = nullptr);

    // The time-outs and counts the operations use; the tool's own unless set.
    void setTiming(const Timing &timing) { m_timing = timing; }
    const Timing &timing() const { return m_timing; }

    // Loads the image at imagePath and sends its records to the device on portName.
    Outcome upload(const QString &imagePath, const QString &portName);
    // Asks the device on portName to switch into its bootloader mode.
    Outcome enterBootloader(const QString &portName);

    // For running one Device per port on threads of its own (a job of jobs/ does, for each board;
    // the window uses none of this):
    // Sends the records of an image already read and accepted (image.refusal unset).
    Outcome upload(const LoadedImage &image, const QString &portName);
    // Safe from any thread: the running operation, and any later one, ends before its next
    // send, closes its port and reports a failure (FirmwareNotLoaded or BootloaderNotEntered).
    void requestStop() { m_stopRequested = true; }
    // The sends of the last operation, resends included: those whose bytes the system took.
    int sends() const { return m_sends; }
    // Why the last operation failed, after it reported a failure other than PortNotOpened:
    // device-gone, interrupted, out-of-step, no-ack or not-confirmed, made where it failed. Its
    // port is the name the operation was given.
    const std::optional<Cause> &cause() const { return m_cause; }
    // Whether the port of the last operation failed as one does when its device is unplugged.
    bool deviceGone() const { return hasCause(Cause::Kind::DeviceGone); }
    // Whether the last upload ended because the device may hold a record more often than it
    // was counted: an acknowledgement came that answers no send, or which send one answers
    // could not be shown.
    bool outOfStep() const { return hasCause(Cause::Kind::OutOfStep); }
    // Why the last operation's port could not be opened (after PortNotOpened): the step that
    // failed, as it said.
    const LinkFailure &linkFailure() const { return m_linkFailure; }

signals:
    void progressChanged(int percent);
    void recordAcknowledged(int acknowledged, int total);
    void reported(transfer::Outcome outcome);

private:
    Outcome report(Outcome outcome);
    bool hasCause(Cause::Kind kind) const { return m_cause && m_cause->kind == kind; }
    // The cause of a failure of kind (no-ack, out-of-step or not-confirmed) as the operation
    // stands now; device-gone or interrupted instead when the device went away or a stop came.
    Cause failedAs(Cause::Kind kind) const;
    // Reports that the image did not load, traces the last reply read, and closes the port.
    Outcome notLoaded(QSerialPort &port, const QByteArray &lastReply,
                      Cause::Kind kind = Cause::Kind::NoAck);
    // Ends the upload as not loaded because the device's replies are out of step with the sends.
    Outcome outOfStep(QSerialPort &port, const QByteArray &lastReply) {
        return notLoaded(port, lastReply, Cause::Kind::OutOfStep);
    }
    // Watches port for the failure of a device that went away.
    void watchForLoss(QSerialPort &port);

    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_deviceGone{false};
    int m_sends = 0;
    std::optional<Cause> m_cause;
    // The name the last operation was given.
    QString m_portName;
    // Of the last operation: whether it was the bootloader entry, and how far an upload came.
    bool m_entering = false;
    int m_acknowledged = 0;
    int m_records = 0;
    LinkFailure m_linkFailure;
    Timing m_timing;
};

} // namespace transfer

Q_DECLARE_METATYPE(transfer::Outcome)
