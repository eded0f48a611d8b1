#include "cause.h"

#include "firmwareimage.h"
#include "protocol.h"

#include <cerrno>

namespace transfer {

namespace {

QString processText(const Process &process) {
    return process.name.isEmpty()
               ? QStringLiteral("process %1").arg(process.pid)
               : QStringLiteral("%1 (pid %2)").arg(process.name).arg(process.pid);
}

QString busyText(const Cause &cause) {
    const Holding &holding = cause.holding;
    QStringList holders;
    for (const Process &process : holding.processes)
        holders << processText(process);
    switch (holding.by) {
    case Holding::By::LockFile:
        return QStringLiteral("%1 is in use by %2").arg(cause.path, holders.value(0));
    case Holding::By::OpenFile:
        return QStringLiteral("%1 is in use; it is open in %2")
            .arg(cause.path, holders.join(QStringLiteral(", ")));
    case Holding::By::Unknown:
        break;
    }
    return QStringLiteral("%1 is in use by another program").arg(cause.path);
}

QString permissionText(const Cause &cause) {
    // Joining a group helps only when the group may read and write the port, and root is no
    // group to join.
    if (cause.groupGrants && !cause.group.isEmpty() && cause.group != QLatin1String("root"))
        return QStringLiteral("permission denied on %1: join the group that owns it, %2 "
                              "(sudo usermod -aG %2 $USER), then log in again")
            .arg(cause.path, cause.group);
    const QString device = cause.device.isEmpty() ? QStringLiteral("ttyUSB*") : cause.device;
    return QStringLiteral("permission denied on %1: no group may read and write it; a udev rule "
                          "can give one access, e.g. the line 'KERNEL==\"%2\", GROUP=\"dialout\", "
                          "MODE=\"0660\"' in /etc/udev/rules.d/50-serial.rules, then join "
                          "dialout (sudo usermod -aG dialout $USER) and log in again")
        .arg(cause.path, device);
}

QString missingText(const Cause &cause) {
    if (cause.malformed)
        return QStringLiteral("'%1' is not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, "
                              "VID and PID in hexadecimal as 'ports' prints them")
            .arg(cause.port);
    // A USB identity that matches no port leaves no path.
    if (cause.path.isEmpty())
        return QStringLiteral("no port matches %1 (%2)")
            .arg(cause.port, presentText(cause.present));
    if (!cause.listed)
        return QStringLiteral("no such port %1").arg(cause.path);
    return QStringLiteral("no such port %1 (%2)").arg(cause.path, presentText(cause.present));
}

QString ambiguousText(const Cause &cause) {
    QStringList names;
    for (const PortMatch &match : cause.matches)
        names << match.path + QStringLiteral(" (serial ") +
                     (match.serial.isEmpty() ? QStringLiteral("unknown") : match.serial) +
                     QLatin1Char(')');
    return QStringLiteral("%1 matches %2 ports: %3; add the serial number")
        .arg(cause.port)
        .arg(cause.matches.size())
        .arg(names.join(QStringLiteral(", ")));
}

QString notSerialText(const Cause &cause) {
    if (cause.notSerial)
        return QStringLiteral("%1 is not a serial port: %2")
            .arg(cause.path, describe(cause.notSerial));
    // The system's name for ENOTTY would only say it again.
    if (cause.systemError == ENOTTY)
        return QStringLiteral("%1 is not a serial port").arg(cause.path);
    return QStringLiteral("%1 is not a serial port: %2").arg(cause.path, cause.systemText);
}

QString imageText(const Cause &cause) {
    const QString &shown = cause.path;
    switch (cause.image.kind) {
    case ImageCause::None:
        break;
    case ImageCause::NoSuchFile:
        return QStringLiteral("%1: no such file").arg(shown);
    case ImageCause::NotRegularFile:
        return QStringLiteral("%1: not a regular file").arg(shown);
    case ImageCause::TooLarge:
        return QStringLiteral("%1: too large (%2 bytes; the limit is %3 bytes)")
            .arg(shown)
            .arg(cause.image.size)
            .arg(kMaxImageSize);
    case ImageCause::PermissionDenied:
        return QStringLiteral("%1: permission denied").arg(shown);
    case ImageCause::ReadError:
        return QStringLiteral("%1: %2").arg(shown, cause.image.systemText);
    case ImageCause::Empty:
        return QStringLiteral("%1: the file is empty").arg(shown);
    case ImageCause::NoRecord:
        return QStringLiteral("%1: holds no record (a '{' and a '}' after it)").arg(shown);
    }
    return QString();
}

} // namespace

QString presentText(const QStringList &present) {
    if (present.isEmpty())
        return QStringLiteral("no serial ports are present");
    return QStringLiteral("ports present: %1").arg(present.join(QStringLiteral(", ")));
}

QString describe(const NotSerial &notSerial) {
    const QString number = QStringLiteral("%1:%2").arg(notSerial.major).arg(notSerial.minor);
    switch (notSerial.what) {
    case NotSerial::What::None:
        break;
    case NotSerial::What::Socket:
        return QStringLiteral("a socket");
    case NotSerial::What::Fifo:
        return QStringLiteral("a FIFO");
    case NotSerial::What::RegularFile:
        return QStringLiteral("a regular file");
    case NotSerial::What::Directory:
        return QStringLiteral("a directory");
    case NotSerial::What::BlockDevice:
        return QStringLiteral("a block device");
    case NotSerial::What::NotDevice:
        return QStringLiteral("not a device");
    case NotSerial::What::OtherDevice:
        return QStringLiteral("another device (%1)").arg(number);
    case NotSerial::What::OtherTerminal:
        return QStringLiteral("another device (%1, terminal driver %2 of type %3)")
            .arg(number, notSerial.driver, notSerial.driverType);
    case NotSerial::What::ControllingTerminal:
        return QStringLiteral("the controlling terminal of %1").arg(processText(notSerial.process));
    }
    return QString();
}

QString kindName(Cause::Kind kind) {
    switch (kind) {
    case Cause::Kind::NoAck:
        return QStringLiteral("no-ack");
    case Cause::Kind::OutOfStep:
        return QStringLiteral("out-of-step");
    case Cause::Kind::PortBusy:
        return QStringLiteral("port-busy");
    case Cause::Kind::PortMissing:
        return QStringLiteral("port-missing");
    case Cause::Kind::PortAmbiguous:
        return QStringLiteral("port-ambiguous");
    case Cause::Kind::PermissionDenied:
        return QStringLiteral("permission-denied");
    case Cause::Kind::NotSerial:
        return QStringLiteral("not-serial");
    case Cause::Kind::PortFailed:
        return QStringLiteral("port-failed");
    case Cause::Kind::SameDevice:
        return QStringLiteral("same-device");
    case Cause::Kind::DeviceGone:
        return QStringLiteral("device-gone");
    case Cause::Kind::Interrupted:
        return QStringLiteral("interrupted");
    case Cause::Kind::ImageUnreadable:
        return QStringLiteral("image-unreadable");
    case Cause::Kind::ImageEmpty:
        return QStringLiteral("image-empty");
    case Cause::Kind::DigestMismatch:
        return QStringLiteral("digest-mismatch");
    case Cause::Kind::NotConfirmed:
        return QStringLiteral("not-confirmed");
    case Cause::Kind::OutputLost:
        return QStringLiteral("output-lost");
    case Cause::Kind::UnitUnknown:
        return QStringLiteral("unit-unknown");
    }
    return QString();
}

QString Cause::text() const {
    switch (kind) {
    case Kind::NoAck:
        return QStringLiteral("the device on %1 did not acknowledge record %2 of %3 in %4 sends")
            .arg(port)
            .arg(record)
            .arg(records)
            .arg(sends);
    case Kind::OutOfStep:
        return QStringLiteral("the device on %1 sent an acknowledgement that answers no send, "
                              "after record %2 of %3: it may hold a record twice")
            .arg(port)
            .arg(record)
            .arg(records);
    case Kind::PortBusy:
        return busyText(*this);
    case Kind::PortMissing:
        return missingText(*this);
    case Kind::PortAmbiguous:
        return ambiguousText(*this);
    case Kind::PermissionDenied:
        return permissionText(*this);
    case Kind::NotSerial:
        return notSerialText(*this);
    case Kind::PortFailed:
        return QStringLiteral("%1 cannot be opened: %2").arg(path, systemText);
    case Kind::SameDevice:
        return QStringLiteral("%1 is the same device as %2").arg(port, otherName);
    case Kind::DeviceGone:
        if (entering)
            return QStringLiteral("the device on %1 went away").arg(port);
        return QStringLiteral("the device on %1 went away after %2 of %3 records")
            .arg(port)
            .arg(acknowledged)
            .arg(records);
    case Kind::Interrupted:
        if (entering)
            return QStringLiteral("Interrupted: bootloader mode not asked of %1").arg(port);
        return QStringLiteral("Interrupted: %1 of %2 records acknowledged on %3")
            .arg(acknowledged)
            .arg(records)
            .arg(port);
    case Kind::ImageUnreadable:
    case Kind::ImageEmpty:
        return imageText(*this);
    case Kind::DigestMismatch:
        return QStringLiteral("%1: its records' SHA-256 is %2, not %3 as --sha256 asks")
            .arg(path, sha256, expectedSha256);
    case Kind::NotConfirmed:
        return QStringLiteral("the device on %1 did not answer \"%2\" in %3 sends")
            .arg(port, QString::fromLatin1(kBootloaderCommand))
            .arg(sends);
    case Kind::OutputLost:
        return QStringLiteral("cannot write the log %1: %2").arg(path, systemText);
    case Kind::UnitUnknown:
        if (systemText.isEmpty())
            return QStringLiteral("the unit command for %1 printed nothing").arg(port);
        return QStringLiteral("the unit command for %1 failed: %2").arg(port, systemText);
    }
    return QString();
}

} // namespace transfer
