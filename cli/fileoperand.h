#pragma once

#include <QByteArray>
#include <QString>

// A file named on the command line, used as the bytes given even when they are not text in the
// system's encoding.
namespace cli::fileoperand {

// A path that opens the file the command line named. decoded is the operand as Qt decoded it,
// raw its bytes as given. When decoding lost bytes (a name that is not valid UTF-8, say), the
// file is opened by its bytes and kept open; the path returned then refers to that open file.
QString openablePath(const QString &decoded, const QByteArray &raw);

} // namespace cli::fileoperand
