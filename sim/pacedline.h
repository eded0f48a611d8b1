#pragma once

#include <QByteArray>

#include <deque>
#include <functional>

namespace sim {

// The line between host and device as a UART carries it: each byte takes ten bit times (8N1) at
// the line's baud rate, in both directions, and a byte cannot start before the one ahead of it
// has gone. Keeps time only: it is told when bytes were read off the terminal and says when they
// arrive, and it is given the device's bytes and says when each batch of them is due to be
// handed to the terminal. At baud 0 bytes move at once.
class PacedLine {
public:
    // Outgoing bytes are handed over in batches of up to this much line time, each when its last
    // byte is due: the host sees them at the line's pace without a write per byte.
    static constexpr qint64 kBatchNs = 1000 * 1000;

    void setBaud(int baud) { m_baud = baud; }
    int baud() const { return m_baud; }
    // A byte's time on the line; 0 when unpaced.
    qint64 byteNs() const;

    // Host to device.

    // Bytes the host wrote, read off the terminal at readNs. On an idle line the first arrives
    // one byte time after readNs; behind bytes still on their way, one byte time after the last.
    void hostSent(const QByteArray &bytes, qint64 readNs);
    // The host closed its end after the bytes sent so far; that reaches the device right after
    // the last of them.
    void hostClosed(qint64 readNs);
    // Bytes on their way that have not arrived yet.
    int inFlight() const { return int(m_inbox.size()); }

    struct Arrival {
        bool hostClosed; // else byte arrived
        char byte;
        qint64 atNs;
    };
    // Hands over, in order, every byte and close that has arrived by nowNs.
    void arrive(qint64 nowNs, const std::function<void(const Arrival &)> &onArrival);
    // When the first byte that may end a message arrives, or the host's close, or else the last
    // byte on the way: the device need not look before then, since the bytes carry their arrival
    // times. -1 when nothing is on the way.
    qint64 nextWakeNs() const;

    // Device to host.

    // Starts sending bytes: the first leaves at fromNs or once the line is free, whichever is
    // later. Replaces what was still unsent.
    void send(const QByteArray &bytes, qint64 fromNs);
    // Whether bytes of the last send are still to be handed over.
    bool sending() const { return m_handed < m_out.size(); }
    // The bytes of the last send due for handing over by nowNs and not handed over yet.
    QByteArray dueOutput(qint64 nowNs) const;
    // When the next batch is due; -1 when nothing is left to send.
    qint64 nextHandOverNs() const;
    // count bytes of dueOutput() went to the terminal.
    void handedOver(int count) { m_handed += count; }
    // Gives up the rest of the last send.
    void abandonSend();

private:
    int batchSize() const;
    qint64 arrivalNs(int offset) const { return m_inboxDueNs + qint64(offset) * byteNs(); }

    int m_baud = 0;

    QByteArray m_inbox;
    qint64 m_inboxDueNs = 0; // arrival of m_inbox[0]
    qint64 m_lastArrivalNs = 0;
    struct Close {
        int offset; // bytes of the inbox ahead of it
        qint64 atNs;
    };
    std::deque<Close> m_closes;

    QByteArray m_out;
    int m_handed = 0;
    qint64 m_outStartNs = 0;   // when m_out[0] starts to leave
    qint64 m_outputFreeNs = 0; // when the line is free of everything sent so far
};

} // namespace sim
