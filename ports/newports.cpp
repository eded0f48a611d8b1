#include "ports.h"

#include <QThread>

// The serial ports that appear one after another, for a slots file.
namespace ports {

NewPorts::NewPorts(const QStringList &taken)
    : m_known(taken.cbegin(), taken.cend()) {}

QStringList NewPorts::wait(int ms, int wakeFd) {
    QStringList found;
    if (!m_notifier.wait(ms, wakeFd))
        return found;
    // The listing of USB adapters keeps no memory for good, as enumerate() does.
    const std::optional<PortList> usb = usbPorts();
    for (const PortInfo &port : usb ? *usb : enumerate()) {
        if (m_known.contains(port.path) || m_first) {
            m_known << port.path;
            continue;
        }
        QThread::msleep(500); // udev makes the port's links a moment after the port
        QString name = physicalLocation(port.path);
        name = name.startsWith(QLatin1String("/dev/serial/by-path/")) ? name : port.path;
        if (!m_known.contains(name))
            found << name;
        m_known << port.path << name;
    }
    m_first = false;
    return found;
}

} // namespace ports
