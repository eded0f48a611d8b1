#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace panel {

qintptr openListener(const QString &host, int port, int backlog, QString *error) {
    const int family = addressFamily(host);
    sockaddr_storage address{};
    socklen_t length = 0;
    const QByteArray text = host.toLatin1();
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(quint16(port));
        inet_pton(AF_INET6, text.constData(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(quint16(port));
        inet_pton(AF_INET, text.constData(), &in4->sin_addr);
        length = sizeof *in4;
    }
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = qt_error_string(errno);
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0) {
        *error = qt_error_string(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int boundPort(qintptr socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(int(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

void closeSocket(qintptr socket) {
    close(int(socket));
}

std::vector<bool> hungUp(const std::vector<qintptr> &sockets, int ms) {
    std::vector<bool> gone(sockets.size(), false);
    if (sockets.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return gone;
    }
    std::vector<pollfd> fds;
    for (qintptr socket : sockets)
        fds.push_back({int(socket), POLLRDHUP, 0});
    if (poll(fds.data(), nfds_t(fds.size()), ms) > 0) {
        for (size_t i = 0; i < fds.size(); ++i)
            gone[i] = (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return gone;
}

} // namespace panel
