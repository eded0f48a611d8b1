#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
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
class SimDevice {
public:
    struct Received {
        enum Kind { Record, Command };
        Kind kind;
        int index; // 0-based count of earlier messages of the same kind
        // A record from its '{' to its '}'; a command with what came before it since the
        // previous message.
        QByteArray bytes;
        qint64 atMs; // milliseconds since start() when its last byte arrived
    };

    // One write of the device, made delayMs after the previous one (or after the last byte of
    // the message).
    struct Chunk {
        int delayMs;
        QByteArray bytes;
        // After this chunk the device closes its end, as if it were unplugged.
        bool hangUp = false;
    };
    using Reply = QList<Chunk>;
    // Runs on the device's own thread.
    using Responder = std::function<Reply(const Received &)>;

    // Functions rather than constants, so they are safe to use in other files' static data.
    static QByteArray command() { return QByteArrayLiteral("@46FF$"); }
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
    // Called on the device's thread with the bytes of a record it dropped unfinished: the line
    // went idle in the middle of it for longer than a host ever pauses within a record.
    void setDropObserver(std::function<void(const QByteArray &partial)> observer);

    QByteArray receivedBytes() const;
    QList<Received> received() const;
    QList<QByteArray> records() const;
    int commandCount() const;
    int replyCount() const { return m_replies; }
    int droppedCount() const { return m_dropped; }

private:
    void run();
    void takeIn(const char *data, int size, qint64 nowNs);
    void deliverDue(qint64 nowNs);
    qint64 nextWakeNs() const;
    void handleByte(char byte, qint64 atNs);
    void answer(const Received &message, qint64 atNs);
    bool sleepMs(int ms);
    bool sleepUntil(qint64 dueNs);
    void spinUntil(qint64 dueNs) const;
    void closeTerminal();
    // Writes bytes as the line carries them, the first leaving at fromNs or once the line is free.
    void writeAll(const QByteArray &bytes, qint64 fromNs);
    qint64 byteNs() const;

    int m_master = -1;
    int m_slave = -1;
    int m_wake[2] = {-1, -1};
    QString m_portName;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_replies{0};
    std::atomic<int> m_pacingBaud{0};
    std::atomic<int> m_dropped{0};

    // Device thread only: bytes read from the terminal that are still on their way down the
    // paced line (the first arrives at m_inboxDueNs, each next one a byte time later), when
    // the last delivered byte arrived, and when the device's own output line is free again.
    QByteArray m_inbox;
    qint64 m_inboxDueNs = 0;
    qint64 m_lastByteNs = 0;
    qint64 m_outputFreeNs = 0;
    bool m_inRecord = false;

    mutable std::mutex m_mutex;
    Responder m_responder;
    std::function<void(const QByteArray &)> m_dropObserver;
    QByteArray m_all;
    QByteArray m_pending;
    QList<Received> m_received;
    int m_recordCount = 0;
    int m_commandCount = 0;
    qint64 m_startNs = 0;
};

} // namespace sim
