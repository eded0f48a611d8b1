#include "server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace panel {

int addressFamily(const QString &host) {
    const QByteArray text = host.toLatin1();
    IN6_ADDR address;
    if (inet_pton(AF_INET, text.constData(), &address) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text.constData(), &address) == 1)
        return AF_INET6;
    return 0;
}

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
