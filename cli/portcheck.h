#pragma once

#include <QString>
#include <QStringList>

// Why a port could not be opened, found out after the open failed: the cause line that follows
// the window's "Serial port is busy".
namespace cli::portcheck {

// The cause for the port at path, e.g. "no such port /dev/ttyUSB3", "permission denied on ...:
// join the group dialout ...", "/dev/ttyUSB0 is in use by minicom (pid 4242)", "... is not a
// serial port". present names the ports there are, for the first case. Empty when nothing is
// found wrong (the port may have come free since).
QString whyNotOpened(const QString &path, const QStringList &present);

// Why path, links followed, is no serial port to open, found out without opening it (a FIFO's
// open blocks, a watchdog's reboots): "a socket", "a FIFO", "a regular file", "a directory",
// "a block device", "another device (...)" for a device that no serial or pseudo-terminal slave
// driver claims (/dev/null, /dev/ptmx, /dev/tty, a console), or "the controlling terminal of
// NAME (pid N)" for a terminal a process has as its own. Empty for a serial port or a
// pseudo-terminal slave no process has as its terminal, and for a path that is not there (the
// open says so).
QString notSerialPort(const QString &path);

// Who holds the port at path, from its lock file or /proc, e.g. "/dev/ttyUSB0 is in use by
// minicom (pid 4242)"; "PATH is in use by another program" when no holder is found. Does not
// open the port.
QString inUseBy(const QString &path);

// Whether path names a character device (what a serial port is), following links.
bool isCharacterDevice(const QString &path);

} // namespace cli::portcheck
