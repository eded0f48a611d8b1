#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Why a device operation, an image or a run failed, as a value: a kind from a fixed list and the
// facts that go with it, made where the failure happens. Its sentence is rendered from it in one
// place (Cause::text()); programs read its kind (kindName(), the word --json gives) and facts.
namespace transfer {

// A process, as the system names it.
struct Process {
    qint64 pid = 0;
    QString name; // empty when the system did not tell it
};

// What a path is when it is no serial port to open, found out without opening it.
struct NotSerial {
    enum class What {
        None, // nothing said it is not a serial port
        Socket,
        Fifo,
        RegularFile,
        Directory,
        BlockDevice,
        NotDevice,           // none of those, and no device either
        OtherDevice,         // a character device no serial or pseudo-terminal driver claims
        OtherTerminal,       // a terminal of a driver of another type (a console, say)
        ControllingTerminal, // a terminal a process has as its own
    };
    What what = What::None;
    unsigned major = 0; // the device's number, for OtherDevice and OtherTerminal
    unsigned minor = 0;
    QString driver; // the terminal driver and its type, for OtherTerminal
    QString driverType;
    Process process; // for ControllingTerminal
    explicit operator bool() const { return what != What::None; }
};

// Who holds a busy port.
struct Holding {
    enum class By {
        Unknown,  // nobody was found
        LockFile, // the port's lock file names a live process
        OpenFile, // these processes have the device open
    };
    By by = By::Unknown;
    QList<Process> processes;
};

// A port a USB identity matches, among others.
struct PortMatch {
    QString path;
    QString serial; // empty when unknown
};

// Why an image was refused, as the step that failed found it.
struct ImageCause {
    enum Kind {
        None,
        NoSuchFile,       // nothing at the path (or an empty path)
        NotRegularFile,   // a folder, a FIFO, a device, a socket
        TooLarge,         // size is over kMaxImageSize
        PermissionDenied, // the open was refused for want of permission
        ReadError,        // the open or the read failed otherwise; systemText says how
        Empty,
        NoRecord, // no '{' with a '}' after it
    };
    Kind kind = None;
    qint64 size = 0;
    QString systemText;
};

struct Cause {
    // Each kind has its word (kindName()); there is none for success.
    enum class Kind {
        NoAck,            // no-ack: a record was not acknowledged in its sends
        OutOfStep,        // out-of-step: an acknowledgement answered no send
        PortBusy,         // port-busy: another program holds the port
        PortMissing,      // port-missing: no port is there by that name
        PortAmbiguous,    // port-ambiguous: a USB identity matches several ports
        PermissionDenied, // permission-denied: the port may not be opened by this user
        NotSerial,        // not-serial: the path is no serial port
        PortFailed,       // port-failed: the port could not be opened for another reason
        SameDevice,       // same-device: this process has the device open under another name
        DeviceGone,       // device-gone: the device went away during the operation
        Interrupted,      // interrupted: stopped on request
        ImageUnreadable,  // image-unreadable: the image could not be read
        ImageEmpty,       // image-empty: the image holds no record
        DigestMismatch,   // digest-mismatch: the image's records are not the ones asked for
        NotConfirmed,     // not-confirmed: the bootloader-entry command got no confirmation
        OutputLost,       // output-lost: the results log could not be written
        UnitUnknown,      // unit-unknown: the unit command failed or printed nothing
    };

    Kind kind = Kind::NoAck;

    // The facts; each kind uses those its sentence tells.
    QString port; // the operand as given
    QString path; // the file opened or refused: a port's path, or an image as the user gave it
    // The bootloader entry rather than an upload (interrupted, device-gone).
    bool entering = false;
    int acknowledged = 0;     // records acknowledged before the failure
    int record = 0;           // the record that failed, from 1
    int records = 0;          // records in the image
    int sends = 0;            // sends of the record, or of the command, that went unanswered
    int systemError = 0;      // errno from the step that failed; 0 when it left none
    QString systemText;       // what the system or the port said, in its own words; unit-unknown:
                              // how the unit command failed, empty when it printed nothing
    QString otherName;        // same-device: the name the device is open under
    QString group;            // permission-denied: the group that owns the port; empty when unknown
    bool groupGrants = false; // permission-denied: whether that group may read and write it
    QString device;           // permission-denied: the device's own name (e.g. ttyUSB0), for a rule
    QStringList present;      // port-missing: the short names of the ports present
    bool listed = true;       // port-missing: whether present was looked up
    bool malformed = false;   // port-missing: the operand is no well-formed USB identity
    QList<PortMatch> matches; // port-ambiguous
    NotSerial notSerial;      // not-serial
    Holding holding;          // port-busy
    ImageCause image;         // image-unreadable, image-empty
    QString sha256;           // digest-mismatch: the records' digest, and the one asked for
    QString expectedSha256;

    // The sentence a person reads, e.g. "no such port /dev/ttyUSB3 (no serial ports are
    // present)".
    QString text() const;
};

// The word of a kind, as --json and the results log give it, e.g. "port-busy".
QString kindName(Cause::Kind kind);

// "ports present: NAME, ..." or "no serial ports are present", from the ports' short names.
QString presentText(const QStringList &present);

// "a socket", "the controlling terminal of NAME (pid N)", ...; empty for What::None.
QString describe(const NotSerial &notSerial);

} // namespace transfer
