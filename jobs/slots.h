#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

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
// (or "FILE: why it cannot be read"). Refused: a file that is not a regular file (a FIFO would
// hold the open), a file with no slot, a line that does not parse, a label with a control
// character or an '=', a duplicate label, and one port given twice, under any spelling (the
// same path once cleaned, or the same device).
std::optional<std::vector<Slot>> readSlots(const QString &file, QString *error);

// A slots file being written as ports appear: "Slot N = PORT" appended for each, N counting on
// from the highest "Slot N" the file holds. The file is locked against a second writer while
// open; before each slot it is read again, so that a slot added by hand meanwhile is counted and
// a port already in it is not added twice, and a file replaced under its name (an editor saving
// by rename) is opened anew.
class SlotsFile {
public:
    enum class Failure { None, Unreadable, Refused };
    // Opens path, created when missing, and reads its slots; Refused (a line in error, as
    // readSlots() says, or another writer's lock) or Unreadable, with *error set, when it
    // cannot be added to.
    Failure open(const QString &path, QString *error);
    // The ports of the slots the file held when opened.
    const QStringList &ports() const { return m_ports; }
    // Appends a slot for port, written through; its line ("Slot N = PORT"). Empty, with *error
    // set, when the file did not take it; empty with *error left empty when port is in the
    // file already.
    QString append(const QString &port, QString *error);

private:
    // Opens the file at m_path and locks it, as open() says.
    Failure openLocked(QString *error);

    QString m_path;
    QFile m_file;
    QStringList m_ports;
};

} // namespace jobs
