#pragma once

#include "cause.h"
#include "portcheck.h"
#include "portnotify.h"
#include "seriallink.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The serial ports of the machine: which are there and who they are (short names, paths, USB
// identities usb:VID:PID[:SERIAL]), what an operand or a station's selector stands for, two
// names of one device, waiting for a port to appear, and why a port could not be opened. What
// the machine has is taken as a list, enumerated once per decision, so that any list (a test's
// made-up adapters) can be decided on.
namespace ports {

// One port as the system lists it.
struct PortInfo {
    QString name; // short name, e.g. ttyUSB0
    QString path; // the file opened, e.g. /dev/ttyUSB0
    bool usb = false;
    quint16 vendor = 0;
    quint16 product = 0;
    QString serial;
    QString manufacturer;
    QString description;
    QString location; // where it sits: see physicalLocation(); empty when unknown
    // usb:VID:PID[:SERIAL] as an operand gives it; empty for a port that is not on USB.
    QString usbIdentity() const;
};
using PortList = QList<PortInfo>;

// The ports on USB adapters, as the system describes each device (sysRoot/class/tty and the USB
// device above each tty), without the listing enumerate() makes, which keeps some memory for
// good each time (libudev, through Qt): what a station that looks for a USB identity lists, each
// time a tty changes in /dev and every few seconds, for days. nullopt where the system tells it
// only through that listing.
std::optional<PortList> usbPorts(const QString &sysRoot = QStringLiteral("/sys"));

// The ports present now.
PortList enumerate();
// The port as 'ports' lists it: a JSON object with json, else tab-separated columns (name, path,
// VID:PID, serial, manufacturer, description, location; "-" for what is unknown). No line end.
QByteArray describe(const PortInfo &port, bool json);
// The serial ports that appear one after another, for a slots file: each new one by its link in
// /dev/serial/by-path where udev made one, else by its path. The ports present at the first
// look, and those named in taken, are not new.
class NewPorts {
public:
    explicit NewPorts(const QStringList &taken);
    // Waits up to ms for a change, or for wakeFd to be readable; the names of the ports that
    // appeared since the last call.
    QStringList wait(int ms, int wakeFd);

private:
    PortNotifier m_notifier{QStringList{QStringLiteral("/dev/tty*")}};
    QSet<QString> m_known;
    bool m_first = true;
};
// The short names of ports, as a cause tells what there is.
QStringList presentNames(const PortList &ports);
// "ports present: NAME, ..." or "no serial ports are present", for saying what there is.
QString presentText(const PortList &ports);

// usb:VID:PID[:SERIAL] with VID and PID in hexadecimal.
bool isUsbIdentity(const QString &operand);
// Empty when text is a well-formed USB identity; else what is wrong with it (the text of a
// port-missing cause).
QString usbIdentityError(const QString &text);
// Empty unless operand is a USB identity that is not well-formed: then what is wrong with it.
QString operandError(const QString &operand);
// What is wrong with the operands of an upload, ports then file, as a usage error: a malformed
// USB identity, a file and a port the wrong way round, two names of one device. Empty when none.
QString uploadOperandsError(const QStringList &ports, const QString &file);

// What an operand stands for now. path is empty when a USB identity matches no port; error says
// why it cannot be used (port-ambiguous: several ports match; port-missing: the identity is
// malformed). serial is the port's USB serial number, when the list knows the port.
struct Resolution {
    QString path;
    std::optional<transfer::Cause> error;
    QString serial;
    QString usb; // VID:PID[:SERIAL] of the port's USB adapter; empty when none or unknown
};

// VID:PID[:SERIAL] with VID and PID as four hexadecimal digits.
QString usbText(quint16 vendor, quint16 product, const QString &serial);

// raw: the operand's bytes as given, when decoding lost some (a name that is not valid UTF-8):
// the port is then reached by those bytes.
Resolution resolve(const QString &operand, const PortList &ports, const QByteArray &raw = {});
// Whether the port the resolution names is there.
bool isPresent(const Resolution &resolution);
// Resolves operand, waiting up to waitMs for it to be present (0: not at all). Gives up early
// when stop() holds. enumerate lists the ports at each look where the operand is a USB identity,
// or where the system tells a port's serial number only in a list of all.
Resolution waitFor(const QString &operand, int waitMs, const std::function<bool()> &stop,
                   const QByteArray &raw = {},
                   const std::function<PortList()> &enumerate = ports::enumerate);

// Whether operand reads as a port rather than an image: a USB identity, a character device, a
// path under /dev, or the short name of a port present.
bool looksLikePort(const QString &operand, const PortList &ports);

// The first two operands that name one device (a link and its target, say), as "A and B";
// empty when all differ.
QString sameDevice(const QStringList &operands, const PortList &ports);

// The names present that selector takes in: usb:VID:PID[:SERIAL], or a path glob whose last
// component holds the wildcards (e.g. /dev/ttyUSB*; without a folder, in /dev), matched
// case-sensitively. As in a shell, a wildcard takes in no name with a leading dot unless the
// pattern's last component starts with a dot. Links count, links to nothing do not. A glob takes
// in whatever file has a matching name: see notSerialPort() for which are ports.
QStringList matching(const QString &selector, const PortList &ports);
// The same names as the system gives them: bytes, valid text or not.
QByteArrayList matchingNames(const QString &selector, const PortList &ports);

// A name as the system gives it, made readable: as decoded when it is valid text, else with each
// byte that is not part of valid UTF-8 written \xNN (and a backslash as \\).
QString readableName(const QByteArray &name);

// Why the port at path, reached by the operand port, could not be opened, from what the open
// said: port-missing (with the ports present), permission-denied (with the group that owns the
// port), port-busy (with who holds it), same-device, not-serial or port-failed. Only who holds a
// busy port, and the group, are looked up afterwards. ports: nullopt where they were not listed
// (a missing port then names no others).
transfer::Cause whyNotOpened(const QString &port, const QString &path,
                             const transfer::LinkFailure &failure,
                             const std::optional<PortList> &ports);

} // namespace ports
