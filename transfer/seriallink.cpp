#include "seriallink.h"

#include <QSerialPort>

namespace transfer {

bool openLink(QSerialPort &port, const QString &portName) {
    port.setPortName(portName);
    return port.open(QIODevice::ReadWrite) &&
           port.setBaudRate(kBaudRate, QSerialPort::AllDirections) &&
           port.setDataBits(QSerialPort::Data8) && port.setParity(QSerialPort::NoParity) &&
           port.setStopBits(QSerialPort::OneStop) &&
           port.setFlowControl(QSerialPort::NoFlowControl);
}

} // namespace transfer
