#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

// Port selection: short names, paths and USB identities (usb:VID:PID[:SERIAL]), waiting for a
// port to appear, telling two names of one device apart, the 'ports' listing and station
// selectors.
namespace cli::ports {

// What an operand stands for now. path is empty when a USB identity matches no port; error says
// why it cannot be used (several ports match, or the identity is malformed).
struct Resolution {
    QString path;
    QString error;
};

// usb:VID:PID[:SERIAL] with VID and PID in hexadecimal.
bool isUsbIdentity(const QString &operand);
// Empty when text is a well-formed USB identity; else what is wrong with it.
QString usbIdentityError(const QString &text);

// raw: the operand's bytes as given, when decoding lost some (a name that is not valid UTF-8):
// the port is then reached by those bytes (see fileoperand::portPath).
Resolution resolve(const QString &operand, const QByteArray &raw = QByteArray());
// Whether the port the resolution names is there.
bool isPresent(const Resolution &resolution);
// Resolves operand, waiting up to waitMs for it to be present (0: not at all). Gives up early
// when stop() holds.
Resolution waitFor(const QString &operand, int waitMs, const std::function<bool()> &stop,
                   const QByteArray &raw = QByteArray());

// Whether operand reads as a port rather than an image: a USB identity, a character device, a
// path under /dev, or the short name of a port present.
bool looksLikePort(const QString &operand);

// The first two operands that name one device (a link and its target, say), as "A and B";
// empty when all differ.
QString sameDevice(const QStringList &operands);

// The short names of the ports present, for saying what there is.
QStringList presentNames();
// The USB serial number of the port at path; empty when unknown.
QString serialNumber(const QString &path);

// Prints the ports present, one a line: tab-separated columns, or JSON objects with json.
int list(bool json);

// The names present that selector takes in: usb:VID:PID[:SERIAL], or a path glob whose last
// component holds the wildcards (e.g. /dev/ttyUSB*; without a folder, in /dev), matched
// case-sensitively. Links count, links to nothing do not. A glob takes in whatever file has a
// matching name: see portcheck::notSerialPort() for which are ports.
QStringList matching(const QString &selector);

} // namespace cli::ports
