#pragma once

#include "framer.h"
#include "pacedline.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

// A device on the far end of a pseudo-terminal. The host opens portName() as a serial port; the
// device reads what the host writes, splits it into records (from a '{' to the next '}') and
// commands ("@46FF$", between records only), remembers all of it, and answers each through a
// responder.
//
// Without pacing, bytes arrive the moment the host writes them. With setPacing(baud), the line
// behaves like a UART's: each byte takes ten bit times to arrive, in both directions, so a
// record of several KiB takes as long to reach the device as it would on a board.
//
// The device's thread waits on the terminal and on the next thing due, never on a reply: it goes
// on taking the host's bytes, on time, while replies wait their turn in a queue of timed writes.
// An unfinished record is dropped when the line stays idle in it for 500 ms or when the host
// closes the port.
class SimDevice {
public:
    using Received = sim::Received;

    // One write of the device, made delayMs after the previous one (or after the last byte of
    // the message).
    struct Chunk {
        int delayMs;
        QByteArray bytes;
        // After this chunk the device closes its end, as if it were unplugged.
        bool hangUp = false;
    };
    using Reply = QList<Chunk>;
    // Runs on the device's own thread, when a message is complete. The reply is written later,
    // in turn: the device answers one message at a time, so a reply's first chunk is due its
    // delay after the message's last byte or after the reply before it was written, whichever
    // is later.
    using Responder = std::function<Reply(const Received &)>;

    // A record given up before its '}' came.
    struct Dropped {
        QByteArray partial;
        DropCause cause;
        qint64 atMs; // milliseconds since start()
    };

    // Functions rather than constants, so they are safe to use in other files' static data.
    static QByteArray command() { return Framer::command(); }
    // Three bytes, the middle one 0x00.
    static QByteArray acknowledgement() { return QByteArray("A\0K", 3); }
    static QByteArray confirmation() { return QByteArrayLiteral("KOK"); }

    // Acknowledges each record at once and confirms each command.
    static Reply defaultReply(const Received &message);
    // The same reply bytes written in two parts, delayMs apart.
    static Reply split(const QByteArray &bytes, int delayMs = 30);

    SimDevice();
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    // Opens the pseudo-terminal and starts the device thread. Returns false when no terminal
    // could be had.
    bool start();
    // Stops the device thread and closes the terminal. Safe to call more than once.
    void stop();
    // A reply that floods the line: writes of 4 KiB of byte, intervalMs apart.
    static Reply flood(char byte, int writes, int intervalMs) {
        Reply reply;
        for (int i = 0; i < writes; ++i)
            reply.append({intervalMs, QByteArray(4096, byte)});
        return reply;
    }
    // A reply that unplugs the device after delayMs instead of answering.
    static Reply hangUp(int delayMs = 0) { return {{delayMs, QByteArray(), true}}; }

    // Full path of the host's end, usable as a serial port name.
    QString portName() const { return m_portName; }

    void setResponder(Responder responder);
    // Paces the line as one of this many baud (8N1, ten bit times a byte) in both directions:
    // the device takes the host's bytes and writes its own at that rate. 0, the default, moves
    // bytes at once.
    void setPacing(int baud);
    // Called on the device's thread with the bytes of a record it dropped unfinished, and why:
    // the line went idle in the middle of it for longer than a host ever pauses within a record,
    // or the host closed the port.
    void setDropObserver(std::function<void(const QByteArray &partial, DropCause cause)> observer);
    // Called on the device's thread with a message once the last byte of its reply has been
    // written to the line (at once for a message answered with nothing). Not called for a reply
    // the device gave up: one still waiting when stop() came, one cut short by a hang-up, or one
    // the terminal failed to take.
    void setReplyObserver(std::function<void(const Received &message)> observer);
    // Called on the device's thread once it has gone away after a hang-up chunk (its end of the
    // terminal closed, the port's name gone), with the message whose reply held the chunk. The
    // device takes and answers nothing more.
    void setHangUpObserver(std::function<void(const Received &message)> observer);
    // Whether the device went away after a hang-up chunk.
    bool hungUp() const { return m_hungUp; }

    QByteArray receivedBytes() const;
    QList<Received> received() const;
    QList<QByteArray> records() const;
    int commandCount() const;
    // Replies written whole, empty ones not counted.
    int replyCount() const { return m_replies; }
    int droppedCount() const { return m_dropped; }
    QList<Dropped> dropped() const;

private:
    struct PendingReply {
        Received message;
        Reply chunks;
        int next = 0;         // the chunk being written or waited for
        qint64 fromNs = 0;    // what its delay counts from
        bool writing = false; // the line has the chunk
    };

    void run();
    void takeArrivals(qint64 nowNs);
    void onFramed(const Framer::Event &event);
    // Writes what is due of the queued replies; returns when to look again (-1: nothing due).
    qint64 writeReplies(qint64 nowNs);
    void finishReply(const PendingReply &reply);
    void spinUntil(qint64 dueNs) const;

    PseudoTerminal m_terminal;
    int m_wake[2] = {-1, -1};
    QString m_portName;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_replies{0};
    std::atomic<int> m_pacingBaud{0};
    std::atomic<int> m_dropped{0};
    std::atomic<bool> m_hungUp{false};

    // Device thread only.
    Framer m_framer;
    PacedLine m_line;
    std::deque<PendingReply> m_replyQueue;
    // The terminal took no more of a reply when last written to.
    bool m_outputBlocked = false;
    // When the last reply was written whole, or given up.
    qint64 m_lastReplyDoneNs = 0;

    mutable std::mutex m_mutex;
    Responder m_responder;
    std::function<void(const QByteArray &, DropCause)> m_dropObserver;
    std::function<void(const Received &)> m_replyObserver;
    std::function<void(const Received &)> m_hangUpObserver;
    QByteArray m_all;
    QList<Received> m_received;
    QList<Dropped> m_drops;
    int m_commandCount = 0;
    qint64 m_startNs = 0;
};

} // namespace sim
