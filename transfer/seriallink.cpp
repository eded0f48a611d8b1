#include "seriallink.h"

#include "seriallink_system.h"

#include <QHash>
#include <QSerialPort>

#include <cerrno>
#include <memory>
#include <mutex>

namespace transfer {

namespace {

// The devices this process has open, by device number, with the name each was opened by.
std::mutex registryMutex;
QHash<quint64, QString> devicesInUse;

QString holderOf(quint64 number) {
    std::lock_guard<std::mutex> lock(registryMutex);
    return devicesInUse.value(number);
}

// Claims the device the open port reached for portName until the port closes. False when this
// process had it open already, under the name then put in failure.
bool claim(QSerialPort &port, const QString &portName, LinkFailure &failure) {
    const std::optional<quint64> number = linksystem::openedDevice(port);
    if (!number)
        return true;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        const auto held = devicesInUse.constFind(*number);
        if (held != devicesInUse.constEnd()) {
            failure.sameDeviceAs = *held;
            return false;
        }
        devicesInUse.insert(*number, portName);
    }
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(&port, &QIODevice::aboutToClose, [number, connection] {
        {
            std::lock_guard<std::mutex> lock(registryMutex);
            devicesInUse.remove(*number);
        }
        QObject::disconnect(*connection);
    });
    return true;
}

} // namespace

QString inUseAs(const QString &portName) {
    const std::optional<quint64> number = deviceNumber(portName);
    return number ? holderOf(*number) : QString();
}

QString inUseAs(quint64 deviceNumber) {
    return holderOf(deviceNumber);
}

bool openLink(QSerialPort &port, const QString &portName, LinkFailure *failure) {
    LinkFailure ignored;
    LinkFailure &why = failure ? *failure : ignored;
    why = LinkFailure();
    port.setPortName(portName);
    // Known before opening, so a device in use is not opened (and reconfigured) a second time.
    why.sameDeviceAs = inUseAs(portName);
    if (!why.sameDeviceAs.isEmpty())
        return false;
    if (!linksystem::openPort(port, portName, why))
        return false;
    // Checked again on what was opened: a link may have changed since.
    if (!claim(port, portName, why) || !linksystem::lockDevice(port, why)) {
        port.close();
        return false;
    }
    const bool configured =
        port.setBaudRate(kBaudRate, QSerialPort::AllDirections) &&
        port.setDataBits(QSerialPort::Data8) && port.setParity(QSerialPort::NoParity) &&
        port.setStopBits(QSerialPort::OneStop) && port.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        why.systemError = errno;
        why.error = port.error();
        why.errorText = port.errorString();
    }
    return configured;
}

} // namespace transfer
