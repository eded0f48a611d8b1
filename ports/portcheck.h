#pragma once

#include "cause.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <optional>

// What a path is before it is opened, and who holds a port: the system's side of port
// selection, one file per system.
namespace ports {

// Why path, links followed, is no serial port to open, found out without opening it (a FIFO's
// open blocks, a watchdog's reboots): a socket, a FIFO, a regular file, a directory, a block
// device, another device for one that no serial or pseudo-terminal slave driver claims
// (/dev/null, /dev/ptmx, /dev/tty, a console), or the controlling terminal of a process.
// What::None for a serial port or a pseudo-terminal slave no process has as its terminal, and
// for a path that is not there (the open says so). transfer::describe() words it.
transfer::NotSerial notSerialPort(const QString &path);
// The same for a path given as the system's bytes (a name that is not valid text).
transfer::NotSerial notSerialPort(const QByteArray &path);

// The device a path given as bytes leads to, links followed: its device number and the path of
// its own node (links resolved), for seeing it go. nullopt when the path leads to no character
// device.
struct DeviceNode {
    quint64 number = 0;
    QByteArray node;
};
std::optional<DeviceNode> deviceNode(const QByteArray &path);
// Whether the node at path is still the device number.
bool isNodeOf(const QByteArray &node, quint64 number);
// Whether this process may open path for reading and writing as it is now; true where that
// cannot be told. A port's node may appear before its group is set (udev, a moment later).
bool mayOpen(const QByteArray &path);

// The names in folder of what is there and is no folder, links followed (a link to nothing is
// not there), as the system gives them: bytes, valid text or not. Sorted; empty when the folder
// cannot be listed.
QByteArrayList folderEntries(const QByteArray &folder);

// The port-busy cause of the port at path, with who holds it from its lock file or /proc (its
// text e.g. "/dev/ttyUSB0 is in use by minicom (pid 4242)"); nobody when no holder is found.
// Does not open the port.
transfer::Cause inUseBy(const QString &path);

// Fills in cause, a permission-denied one, with what the port at path says of its access: the
// group that owns it, whether that group may read and write it, and the device's own name.
void describeAccess(const QString &path, transfer::Cause *cause);

// Whether path names a character device (what a serial port is), following links.
bool isCharacterDevice(const QString &path);

// Names given as the system's bytes (a file or port operand, a name a folder listed), which
// need not be valid text. decoded is the name as Qt decoded it, raw its bytes (empty: as decoded).
// Whether decoding lost some of the bytes, so that the name is to be reached by raw.
bool lostInDecoding(const QString &decoded, const QByteArray &raw);
// How reachByBytes() holds what it reaches.
enum class Reach {
    Name, // a handle on the name alone, kept until letGo(): a port is never opened by it
    Read, // the file opened for reading, kept for the program's life
};
// A path that reaches what raw names: decoded itself when decoding lost nothing, else a name
// referring to a handle taken on raw as how says; decoded too when raw names nothing (yet), for
// the cause to tell. Where such handles are not to be had, raw decoded as well as it can be.
QString reachByBytes(const QString &decoded, const QByteArray &raw, Reach how = Reach::Name);
// Lets go of the handle behind a name reachByBytes() returned, once nothing is to be opened by
// it any more; any other name is left alone.
void letGo(const QString &reached);

// The USB adapter behind a port: none (onUsb false) for a port on no USB adapter.
struct UsbAdapter {
    bool onUsb = false;
    quint16 vendor = 0;
    quint16 product = 0;
    QString serial; // empty for an adapter without one
};

// The USB adapter behind the port at path, links followed, read from what the system says of
// that one device (sysRoot/dev/char/MAJOR:MINOR and the USB device above it). nullopt where the
// system tells it only by listing every port.
std::optional<UsbAdapter> usbAdapter(const QString &path,
                                     const QString &sysRoot = QStringLiteral("/sys"));
// The same for the device numbered device, where its number is known already.
std::optional<UsbAdapter> usbAdapterOf(quint64 device,
                                       const QString &sysRoot = QStringLiteral("/sys"));

// Where the port at path sits on the machine, links followed: the path of the link in
// devRoot/serial/by-path whose target is the port, where udev made one; else the name of the USB
// interface (e.g. 1-1.4:1.0) or device (1-1.4) above its tty, read from what sysRoot says of that
// one device. Empty when neither is known (a port on no USB adapter, a system that tells neither).
QString physicalLocation(const QString &path, const QString &devRoot = QStringLiteral("/dev"),
                         const QString &sysRoot = QStringLiteral("/sys"));

} // namespace ports
