#pragma once

#include <QString>

#include <optional>
#include <vector>

// A line's named slots: which port each fixture position is wired to, read from a file of
// `LABEL = PORT` lines (PORT a path, typically a /dev/serial/by-path link, or
// usb:VID:PID:SERIAL); `#` starts a comment, blank lines are allowed.
namespace jobs {

struct Slot {
    QString label;
    QString port;
};

// The slots of file, in its order; or nothing, with *error set to "FILE:LINE: what is wrong"
// (or "FILE: why it cannot be read"). Refused: a line that does not parse, a duplicate label,
// two labels for one port.
std::optional<std::vector<Slot>> readSlots(const QString &file, QString *error);

} // namespace jobs
