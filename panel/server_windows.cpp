#include "server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <thread>

namespace panel {

namespace {

QString lastError() {
    return qt_error_string(WSAGetLastError());
}

} // namespace

qintptr openListener(const QString &host, int port, int backlog, QString *error) {
    const int family = addressFamily(host);
    sockaddr_storage address{};
    int length = 0;
    const QByteArray text = host.toLatin1();
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(u_short(port));
        inet_pton(AF_INET6, text.constData(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(u_short(port));
        inet_pton(AF_INET, text.constData(), &in4->sin_addr);
        length = sizeof *in4;
    }
    const SOCKET fd = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) {
        *error = lastError();
        return -1;
    }
    const BOOL yes = TRUE;
    setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes),
               sizeof yes);
    u_long nonBlocking = 1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0 || ioctlsocket(fd, FIONBIO, &nonBlocking) != 0) {
        *error = lastError();
        closesocket(fd);
        return -1;
    }
    return qintptr(fd);
}

int boundPort(qintptr socket) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(SOCKET(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

void closeSocket(qintptr socket) {
    closesocket(SOCKET(socket));
}

std::vector<bool> hungUp(const std::vector<qintptr> &sockets, int ms) {
    std::vector<bool> gone(sockets.size(), false);
    if (sockets.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return gone;
    }
    // A stream's client sends nothing after its request: readable means closed or reset.
    std::vector<WSAPOLLFD> fds;
    for (qintptr socket : sockets)
        fds.push_back({SOCKET(socket), POLLRDNORM, 0});
    if (WSAPoll(fds.data(), ULONG(fds.size()), ms) > 0) {
        for (size_t i = 0; i < fds.size(); ++i)
            gone[i] = (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return gone;
}

} // namespace panel
