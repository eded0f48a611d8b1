#pragma once

#include <QString>

class QSerialPort;

namespace transfer {

// The one line setting both device operations use: 115200 baud both ways, 8 data bits, no
// parity, one stop bit, no flow control, opened for reading and writing.
inline constexpr qint32 kBaudRate = 115200;

// Opens port on portName and configures the line, stopping at the first step the port refuses.
// Returns false on any failure; the port may then still be open and closes when destroyed.
bool openLink(QSerialPort &port, const QString &portName);

} // namespace transfer
