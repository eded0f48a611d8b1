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

// Whether path names a character device (what a serial port is), following links.
bool isCharacterDevice(const QString &path);

} // namespace cli::portcheck
