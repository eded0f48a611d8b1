#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <poll.h>

namespace sim {

// The device's end of a pseudo-terminal, whose other end a host opens as a serial port. The
// device holds only its own end, so it sees the host close the port: once the last descriptor of
// the host's end is closed, the device's end reports a hang-up until a host opens it again. A
// watch on the port's name tells when one does.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { close(); }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // Opens a raw terminal pair and keeps the device's end. False when none could be had.
    bool open();
    void close();
    bool isOpen() const { return m_master >= 0; }
    // Full path of the host's end.
    QString portName() const { return m_portName; }

    // Whether a host held the port when last looked.
    bool hostPresent() const { return m_hostPresent; }
    // What to wait for: with a host present, its bytes (when wantInput), room for the device's
    // (when wantOutput), and its close; without one, a host opening the port.
    pollfd waitEntry(bool wantInput, bool wantOutput) const;
    // How long to wait at most before looking again for a host, for a system where the port's
    // name cannot be watched; -1 when the wait itself tells.
    qint64 recheckNs() const;

    // What the host wrote, and whether it closed the port after it.
    struct Input {
        QByteArray bytes;
        bool closed = false;
    };
    // Looks after a wait, with the revents it gave waitEntry()'s entry (0 after a time-out). Reads
    // at most limit bytes from a host that holds the port; once the host closed it, reads all it
    // wrote, so that a host that opens the port again does not have its bytes joined to those.
    QList<Input> service(short revents, int limit);

    // Writes what the host's end takes now: the count written, 0 when it takes nothing now, -1
    // when the terminal failed.
    int write(const QByteArray &bytes);

private:
    QByteArray readAll();
    // Looks for a host after one closed the port or the watch fired.
    void lookForHost(QList<Input> *inputs);

    int m_master = -1;
    int m_watch = -1; // inotify on the host's end: a host opened it
    bool m_hostPresent = false;
    QString m_portName;
};

} // namespace sim
