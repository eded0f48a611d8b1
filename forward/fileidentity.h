#pragma once

#include <QString>
#include <QtGlobal>

class QFile;

namespace forward {

// What a file is, whatever it is named: kept to find a log again after a rotation renamed it.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileIdentity &other) const {
        return device == other.device && inode == other.inode;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
    bool known() const { return device != 0 || inode != 0; }
};

// The identity of the file path names now; unknown when there is none.
FileIdentity identityOf(const QString &path);
// The identity of the open file.
FileIdentity identityOf(QFile &file);

} // namespace forward
