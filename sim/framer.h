#pragma once

#include <QByteArray>
#include <QList>

namespace sim {

// A message the device took in whole.
struct Received {
    enum Kind { Record, Command };
    Kind kind;
    int index; // 0-based count of earlier messages of the same kind
    // A record from its '{' to its '}'; a command with what came before it since the
    // previous message.
    QByteArray bytes;
    qint64 atMs; // milliseconds since the device started when its last byte arrived
};

// Why a record was given up before its '}' came.
enum class DropCause {
    // The line went quiet in the middle of it for longer than a host ever pauses within one.
    LineIdle,
    // The host closed the port: whatever comes next belongs to another upload.
    HostClosed,
};

// Splits the bytes that arrive on the line into records (from a '{' to the next '}') and
// commands ("@46FF$", between records only). Pure: it is told when each byte arrived and when the
// host closed the port, and says what that completed or dropped; it reads, sleeps and waits for
// nothing.
class Framer {
public:
    // A host writes a record in one go, so a line that goes quiet this long in the middle of one
    // holds the remains of an upload that stopped half-way; the next upload must not be joined to
    // it.
    static constexpr qint64 kIdleDropNs = 500 * 1000 * 1000;

    struct Event {
        enum Kind { Message, Dropped };
        Kind kind;
        qint64 atNs;        // when the message's last byte arrived, or when the record was given up
        Received message;   // Message only; its atMs is atNs in milliseconds
        QByteArray partial; // Dropped only: the record's bytes so far
        DropCause cause = DropCause::LineIdle;
    };

    static QByteArray command() { return QByteArrayLiteral("@46FF$"); }

    // Takes one byte that arrived at atNs (nanoseconds on the device's clock, never earlier than
    // the byte before). Returns a record dropped for the quiet line before it, then the message it
    // completed, in that order; mostly nothing.
    QList<Event> take(char byte, qint64 atNs);
    // The host closed the port at atNs, after the bytes taken so far: drops an unfinished record
    // and forgets the bytes since the last message.
    QList<Event> hostClosed(qint64 atNs);

    bool inRecord() const { return m_inRecord; }
    // Bytes since the last message: the record so far, or what may precede a command.
    QByteArray pending() const { return m_pending; }

private:
    Event dropped(DropCause cause, qint64 atNs);

    QByteArray m_pending;
    bool m_inRecord = false;
    qint64 m_lastByteNs = 0;
    int m_records = 0;
    int m_commands = 0;
};

} // namespace sim
