#include "linedrain.h"

#include <QSerialPort>

#include <sys/ioctl.h>
#include <termios.h>

namespace transfer {

qint64 driverOutputPending(QSerialPort &port) {
    if (!port.isOpen())
        return 0;
    int queued = 0;
    if (::ioctl(port.handle(), TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return queued;
}

} // namespace transfer
