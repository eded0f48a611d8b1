#pragma once

#include <QtGlobal>

class QSerialPort;

namespace transfer {

// Bytes the serial driver still holds for sending on port's line, beyond the port object's own
// buffer: 0 when it holds none, or when it cannot tell (a pseudo-terminal never can).
qint64 driverOutputPending(QSerialPort &port);

} // namespace transfer
