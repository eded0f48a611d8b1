#pragma once

#include "ports.h"

#include <optional>

// USB identities (usb:VID:PID[:SERIAL]) taken apart, for the files of ports/ that match them.
namespace ports {

struct UsbIdentity {
    quint16 vendor = 0;
    quint16 product = 0;
    QString serial;
};

// The identity text stands for; nullopt when it is not well-formed.
std::optional<UsbIdentity> parseUsb(const QString &text);
// The ports of ports on the adapter identity names (any serial number when it names none).
PortList withIdentity(const UsbIdentity &identity, const PortList &ports);
// The port-missing cause of text, a USB identity that is not well-formed: it names no port.
transfer::Cause malformedIdentity(const QString &text);

} // namespace ports
