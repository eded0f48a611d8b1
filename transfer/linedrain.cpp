#include "linedrain.h"

#include <QSerialPort>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace transfer {

qint64 driverOutputPending(QSerialPort &port) {
    if (!port.isOpen())
        return 0;
#ifdef Q_OS_WIN
    // The driver's output queue, as the communications status reports it.
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port.handle(), &errors, &status))
        return 0;
    return qint64(status.cbOutQue);
#else
    int queued = 0;
    if (::ioctl(port.handle(), TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return queued;
#endif
}

} // namespace transfer
