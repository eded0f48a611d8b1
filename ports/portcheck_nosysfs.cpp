#include "portcheck.h"

#include "ports.h"

// Systems without sysfs (all but Linux) tell a port's USB adapter only in the list of all ports.
namespace ports {

std::optional<UsbAdapter> usbAdapter(const QString &, const QString &) {
    return std::nullopt;
}

std::optional<UsbAdapter> usbAdapterOf(quint64, const QString &) {
    return std::nullopt;
}

std::optional<PortList> usbPorts(const QString &) {
    return std::nullopt;
}

} // namespace ports
