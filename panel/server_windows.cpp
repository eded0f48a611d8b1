#include "server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace panel {

void setListenOptions(qintptr socket) {
    const BOOL yes = TRUE;
    setsockopt(SOCKET(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char *>(&yes), sizeof yes);
}

void clearSocketError() {
    WSASetLastError(0);
}

QString socketErrorText() {
    const int error = WSAGetLastError();
    return error == 0 ? QString() : qt_error_string(error);
}

} // namespace panel
