#pragma once

#include "seriallink.h"

#include <QSerialPort>
#include <QString>

#include <optional>

// What opening a link asks of the system, in one file per system (seriallink_posix.cpp,
// seriallink_windows.cpp); seriallink.cpp puts the steps together.
namespace transfer::linksystem {

// Opens port on portName for reading and writing; false when it could not, with why filled in as
// the step that failed said it.
bool openPort(QSerialPort &port, const QString &portName, LinkFailure &why);

// The device number of the device the open port reached; nullopt where the system tells none.
std::optional<quint64> openedDevice(QSerialPort &port);

// Takes the open port's advisory lock, which every copy of this tool takes, root or not: the
// port's exclusive mode does not keep root out. False, with why filled in, when another process
// holds it.
bool lockDevice(QSerialPort &port, LinkFailure &why);

} // namespace transfer::linksystem
