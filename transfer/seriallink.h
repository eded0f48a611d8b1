#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

namespace transfer {

// The one line setting both device operations use: 115200 baud both ways, 8 data bits, no
// parity, one stop bit, no flow control, opened for reading and writing.
inline constexpr qint32 kBaudRate = 115200;

// Why a link could not be opened, as the step that failed said it.
struct LinkFailure {
    // The port's error and its text from the open or the setting that was refused; NoError when
    // the port was never asked (the device is in use under another name).
    QSerialPort::SerialPortError error = QSerialPort::NoError;
    QString errorText;
    // The system's error number from that step (errno); 0 when it left none.
    int systemError = 0;
    // This process has the device open already, under this name: one device, one job.
    QString sameDeviceAs;
    // Another process holds the device's lock: it is writing to the device now.
    bool lockedElsewhere = false;
};

// Opens port on portName and configures the line, stopping at the first step the port refuses.
// A device is used by one operation at a time, whatever name it is reached by: a second name of
// a device this process has open is refused without touching the device, and the open port is
// locked (flock) so that no other process writes to it meanwhile. Returns false on any failure,
// with its cause in failure when given; the port may then still be open and closes when
// destroyed.
bool openLink(QSerialPort &port, const QString &portName, LinkFailure *failure = nullptr);

// The file a port name opens: a name that is not a path is looked for in /dev.
QString systemLocation(const QString &portName);

// The device a port name opens: its device number, links followed; nullopt when the name does
// not lead to a character device.
std::optional<quint64> deviceNumber(const QString &portName);

// The name under which this process has the device that portName opens in use; empty when none.
QString inUseAs(const QString &portName);
// The same for a device by its number.
QString inUseAs(quint64 deviceNumber);

} // namespace transfer
