#include "fileoperand.h"

namespace cli::fileoperand {

// Windows passes the command line as UTF-16, which Qt decodes without loss: the decoded name
// is the file's name.
QString openablePath(const QString &decoded, const QByteArray &) {
    return decoded;
}

} // namespace cli::fileoperand
