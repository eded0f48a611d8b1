#include "linedrain.h"

#include <QSerialPort>

#include <windows.h>

namespace transfer {

qint64 driverOutputPending(QSerialPort &port) {
    if (!port.isOpen())
        return 0;
    // The driver's output queue, as the communications status reports it.
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port.handle(), &errors, &status))
        return 0;
    return qint64(status.cbOutQue);
}

} // namespace transfer
