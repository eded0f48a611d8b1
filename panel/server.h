#pragma once

#include <QString>

#include <memory>

namespace panel {

class Panel;

// The panel over HTTP, read-only: the page (/), its stream (/events), the state (/status) and
// the metrics (/metrics). It runs on threads of its own; nothing a client does reaches the
// panel's callers. Binds nothing until listen() is called.
class Server {
public:
    explicit Server(Panel &panel);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds to "PORT" (on 127.0.0.1), "ADDRESS:PORT" or "[IPv6]:PORT" and starts serving.
    // Returns an empty string, or the error to print when the address is wrong or cannot be
    // bound. Port 0 takes any free port (see port()).
    QString listen(const QString &address);
    // The port bound, or 0.
    int port() const;
    // Ends the server promptly, streams included. Called by the destructor.
    void stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Empty when address reads as listen() takes it; else the error listen() would give.
QString addressError(const QString &address);

// AF_INET or AF_INET6 for a numeric address, else 0.
int addressFamily(const QString &host);
// What differs by system (server_posix.cpp, server_windows.cpp): the listening socket's options
// (the address is reused after a restart, but never shared with another server listening on the
// same port), and the text of the error the last socket call of this thread failed with (errno,
// or the socket error on Windows), and clearing it.
void setListenOptions(qintptr socket);
void clearSocketError();
QString socketErrorText();

} // namespace panel
