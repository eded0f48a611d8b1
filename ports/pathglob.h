#pragma once

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

// A selector that is a path glob, taken apart once for whoever reads it: the matching of names,
// and the notifications of the folder they are in.
namespace ports {

struct PathGlob {
    // The folder the glob looks in, as written; without a folder, /dev, as for a bare port name.
    QString folder;
    // The last component: case-sensitive, as the names of devices are (ttyusb* is not ttyUSB0).
    QRegularExpression glob;
    // Whether the glob takes in names with a leading dot, which it does only when its last
    // component starts with one: as a shell's, a wildcard takes in no leading dot (udev makes
    // each link under a name beginning ".#" before it renames it into place, and that name is
    // no port of its own).
    bool dotNames = false;

    // Whether the name of an entry of the folder, as the system gives it, matches. A name that
    // is not valid text is matched as decoded, its stray bytes as U+FFFD.
    bool matches(const QByteArray &name) const;
};

PathGlob pathGlob(const QString &selector);

} // namespace ports
