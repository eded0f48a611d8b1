#pragma once

#include "cause.h"
#include "messages.h"
#include "protocol.h"
#include "seriallink.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>

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
    // Whether the port of the last operation failed as one does when its device is unplugged.
    bool deviceGone() const { return m_deviceGone; }
    // The sends of the last operation, resends included.
    int sends() const { return m_sends; }
    // Whether the last upload ended because the device acknowledged more sends than it was
    // counted for: an acknowledgement came that answers no send.
    bool outOfStep() const { return m_outOfStep; }
    // Why the last operation failed, after it reported a failure other than PortNotOpened:
    // device-gone, out-of-step, no-ack or not-confirmed, told by port, the name the user gave.
    Cause failure(const QString &port) const;
    // Why the last operation's port could not be opened (after PortNotOpened): the step that
    // failed, as it said.
    const LinkFailure &linkFailure() const { return m_linkFailure; }

signals:
    void progressChanged(int percent);
    void recordAcknowledged(int acknowledged, int total);
    void reported(transfer::Outcome outcome);

private:
    Outcome report(Outcome outcome);
    // Reports that the image did not load, traces the last reply read, and closes the port.
    Outcome notLoaded(QSerialPort &port, const QByteArray &lastReply);
    // Ends the upload as not loaded because the device's replies are out of step with the sends.
    Outcome outOfStep(QSerialPort &port, const QByteArray &lastReply);
    // Watches port for the failure of a device that went away.
    void watchForLoss(QSerialPort &port);

    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_deviceGone{false};
    std::atomic<bool> m_outOfStep{false};
    int m_sends = 0;
    // Of the last operation: whether it was the bootloader entry, and how far an upload came.
    bool m_entering = false;
    int m_acknowledged = 0;
    int m_records = 0;
    LinkFailure m_linkFailure;
    Timing m_timing;
};

} // namespace transfer

Q_DECLARE_METATYPE(transfer::Outcome)
