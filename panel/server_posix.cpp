#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace panel {

int addressFamily(const QString &host) {
    const QByteArray text = host.toLatin1();
    in6_addr address;
    if (inet_pton(AF_INET, text.constData(), &address) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text.constData(), &address) == 1)
        return AF_INET6;
    return 0;
}

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
