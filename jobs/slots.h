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
// (or "FILE: why it cannot be read"). Refused: a line that does not parse, a duplicate label,
// two labels for one port.
std::optional<std::vector<Slot>> readSlots(const QString &file, QString *error);

// A slots file being written as ports appear: "Slot N = PORT" appended for each, N counting on
// from the slots the file holds already.
class SlotsFile {
public:
    enum class Failure { None, Unreadable, Refused };
    // Opens path, created when missing, and reads its slots; Refused (a line in error, as
    // readSlots() says) or Unreadable, with *error set, when it cannot be added to.
    Failure open(const QString &path, QString *error);
    // The ports of the slots the file held when opened.
    const QStringList &ports() const { return m_ports; }
    // Appends a slot for port, written through; its line ("Slot N = PORT"), or empty with
    // *error set when the file did not take it.
    QString append(const QString &port, QString *error);

private:
    QFile m_file;
    QStringList m_ports;
    QByteArray m_lineEnd; // ends a last line left without one, before the first slot added
    int m_count = 0;
};

} // namespace jobs
