#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace panel {

class Panel;

// The panel over HTTP, read-only: the page (/), its stream (/events), the state (/status) and
// the metrics (/metrics), on one event-driven thread of libmicrohttpd's and one that watches
// the streams. Whatever a client does, it holds a bounded share of the memory and of the
// connections, never a thread, and never delays stop(); nothing a client does reaches the
// panel's callers. Binds nothing until listen() is called.
class Server {
public:
    // Connections at once, all clients together, and from one address other than loopback.
    static constexpr unsigned maxConnections = 512;
    static constexpr unsigned maxConnectionsPerAddress = 64;
    // Event streams one address other than loopback may hold (the panel holds 32 in all).
    static constexpr int maxStreamsPerAddress = 4;

    explicit Server(Panel &panel);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Host names, besides the listen address and localhost, that requests may name in their
    // Host header; any other is answered 421. Set before listen().
    void setHosts(const QStringList &names);
    // Binds to "PORT" (on 127.0.0.1), "ADDRESS:PORT" or "[IPv6]:PORT" and starts serving.
    // Returns an empty string, or the error to print when the address is wrong or cannot be
    // bound. Port 0 takes any free port (see port()).
    QString listen(const QString &address);
    // The port bound, or 0.
    int port() const;
    // The address bound as listen() takes it ("127.0.0.1:8080", "[::1]:8080"), or empty.
    QString boundAddress() const;
    // Sends what the streams still have to send, for half a second at most, and ends the
    // server and every connection at once, whatever their clients do. Called by the destructor.
    void stop();

    // The server's state, in server.cpp.
    struct Private;

private:
    std::unique_ptr<Private> d;
};

// Empty when address reads as listen() takes it; else the error listen() would give.
QString addressError(const QString &address);

// AF_INET or AF_INET6 for a numeric address, else 0.
int addressFamily(const QString &host);

// What differs by system (server_posix.cpp, server_windows.cpp).
// A listening socket bound to the numeric host and port, with the given backlog (the address is
// reused after a restart, but never shared with another server listening on the same port), or
// -1 with the error to print.
qintptr openListener(const QString &host, int port, int backlog, QString *error);
// The port a socket is bound to, or 0.
int boundPort(qintptr socket);
void closeSocket(qintptr socket);
// Waits up to `ms` for any of the sockets' peers to close or reset; true for those that did.
std::vector<bool> hungUp(const std::vector<qintptr> &sockets, int ms);

} // namespace panel
