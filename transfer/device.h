#pragma once

#include "messages.h"

#include <QMetaType>
#include <QObject>
#include <QString>

class QSerialPort;

namespace transfer {

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

    // Loads the image at imagePath and sends its records to the device on portName.
    Outcome upload(const QString &imagePath, const QString &portName);
    // Asks the device on portName to switch into its bootloader mode.
    Outcome enterBootloader(const QString &portName);

signals:
    void progressChanged(int percent);
    void recordAcknowledged(int acknowledged, int total);
    void reported(transfer::Outcome outcome);

private:
    Outcome report(Outcome outcome);
    // Reports that the image did not load, traces the last reply read, and closes the port.
    Outcome notLoaded(QSerialPort &port, const QByteArray &lastReply);
};

} // namespace transfer

Q_DECLARE_METATYPE(transfer::Outcome)
