#include "server.h"

#include <cerrno>
#include <sys/socket.h>

namespace panel {

void setListenOptions(qintptr socket) {
    const int yes = 1;
    setsockopt(int(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void clearSocketError() {
    errno = 0;
}

QString socketErrorText() {
    return errno == 0 ? QString() : qt_error_string(errno);
}

} // namespace panel
