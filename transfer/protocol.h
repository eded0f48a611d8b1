#pragma once

#include <QByteArray>
#include <QElapsedTimer>

#include <chrono>
#include <functional>

class QSerialPort;

namespace transfer {

using namespace std::chrono_literals;

// Upload: each record is sent at most this many times, waiting this long for its reply after
// each send, and the tool pauses after every acknowledged record.
inline constexpr int kRecordSends = 5;
inline constexpr std::chrono::milliseconds kRecordReplyTimeout = 1000ms;
inline constexpr std::chrono::milliseconds kRecordPause = 50ms;
inline constexpr int kAcknowledgeSize = 3;

// Bootloader entry: the command is sent at most this many times, waiting this long after each.
inline constexpr int kCommandSends = 3;
inline constexpr std::chrono::milliseconds kCommandReplyTimeout = 500ms;
inline const QByteArray kBootloaderCommand = QByteArrayLiteral("@46FF$");
inline const QByteArray kBootloaderConfirmation = QByteArrayLiteral("KOK");

// A reply acknowledges a record when it is exactly three bytes with 0x00 in the middle.
bool isAcknowledgement(const QByteArray &reply);

// Drops whatever the device sent before now, so that a reply is matched to the send it follows.
void dropStaleInput(QSerialPort &port);

// After a record's reply window closes with no acknowledgement, one that comes within this much
// longer still counts for that send: a USB-serial adapter holds what the device sent back for up
// to about this long.
inline constexpr std::chrono::milliseconds kLatencyGrace = 100ms;

// At most this much of a reply is kept; a device that floods the line must not fill memory.
inline constexpr int kMaxReplyKept = 64 * 1024;

// The time bytes take on the line: ten bit times each (start bit, eight data bits, stop bit) at
// the link's baud rate. A record of 16 KiB needs over 1.4 s just to leave.
std::chrono::nanoseconds wireTime(qint64 bytes);

// How much longer than their wire time the bytes of a send may take to leave the line. Output
// that has not drained by then counts as unanswered, so a line that takes nothing cannot hang
// the tool.
inline constexpr std::chrono::milliseconds kLeaveGrace = 1000ms;

// An answer that may belong to one of several sends of a record is credited only once the line
// has stayed quiet for as long as the device may take to answer, plus the latency grace. When
// that would take longer than this, which send it answers cannot be told in reasonable time and
// the upload ends instead.
inline constexpr std::chrono::milliseconds kPairingLimit = 5000ms;

// The time-outs and counts of the device operations as one value. The defaults are the tool's
// own; only tests shorten them, so that a silent device costs them a fraction of a second.
struct Timing {
    int recordSends = kRecordSends;
    std::chrono::milliseconds recordReplyWindow = kRecordReplyTimeout;
    std::chrono::milliseconds latencyGrace = kLatencyGrace;
    std::chrono::milliseconds recordPause = kRecordPause;
    int commandSends = kCommandSends;
    std::chrono::milliseconds commandReplyWindow = kCommandReplyTimeout;
    std::chrono::milliseconds leaveGrace = kLeaveGrace;
    // The longest the upload waits to prove which send an answer belongs to.
    std::chrono::milliseconds pairingLimit = kPairingLimit;
};

// Bytes written to the port in one write call, and when.
struct Send {
    qint64 bytes = 0;
    QElapsedTimer writtenAt;
    // Whether the port took all of the bytes.
    bool written = false;
};

Send sendBytes(QSerialPort &port, const QByteArray &bytes);

// What came back after a send, and whether the send's bytes had left the line by then.
struct Answer {
    // What answers the send.
    QByteArray reply;
    // What came while the send could not be answered yet: the answer to an earlier send. Dropped.
    QByteArray stale;
    // What came, after an unanswered send, once this send had left the host but before its wire
    // time was over: an answer to either send. The reply window and its grace are waited out
    // all the same, so that a second answer shows which it was.
    QByteArray early;
    // What came in the grace after the window without making an accepted reply of it: the rest
    // of a reply, or what answers nothing.
    QByteArray late;
    bool left = false;
    // Whether the send's bytes left the line while the link still worked: it reached the device.
    bool reached = false;
    // When the first and the last bytes came, whichever part they went to, in nanoseconds after
    // the send was written; -1 when nothing came.
    qint64 firstByteNs = -1;
    qint64 lastByteNs = -1;
    // When the send was seen to have left the line, in nanoseconds after it was written.
    qint64 leftNs = -1;
};

// How the reply to a send is gathered.
struct ReplyRule {
    // How long the reply window lasts once the send has left the line.
    std::chrono::milliseconds window;
    // Gathering ends once done(reply) holds.
    std::function<bool(const QByteArray &)> done;
    // When the window closes without done(reply), what comes within grace is added to the reply
    // only if accepted(reply) then holds; otherwise it is dropped.
    std::chrono::milliseconds grace{0};
    std::function<bool(const QByteArray &)> accepted;
    // An earlier send is still unanswered. Bytes that come after this send has left the host but
    // before it can have reached the device at the line's pace are then kept apart (Answer::early):
    // they may be the earlier send's late answer, or this send's prompt answer on a line without
    // pacing.
    bool earlierUnanswered = false;
    // How much longer than their wire time the send's bytes may take to leave.
    std::chrono::milliseconds leaveGrace = kLeaveGrace;
};

// Gathers the device's reply to send. Bytes that come while the send is still leaving the host
// (the port's buffer or the driver's queue holds some of it) cannot answer it and go to stale.
// The reply window opens once the bytes can have left the line (their wire time after the write,
// and not before the driver holds none of them); a reply that comes earlier is kept unless an
// earlier send is unanswered. Ends early when the link fails, and gives up when the bytes have
// not left within their wire time and the rule's leaveGrace.
Answer awaitReply(QSerialPort &port, const Send &send, const ReplyRule &rule);

// Whether the link failed: the port closed, or an error other than a wait's time-out.
bool linkFailed(const QSerialPort &port);

// Waits up to wait for the device to send something; what came, empty when nothing did.
QByteArray nextInput(QSerialPort &port, std::chrono::milliseconds wait);

// Whatever the device sent that no send has read yet, taken without waiting.
QByteArray takeInput(QSerialPort &port);
// Waits for duration, gathering whatever the device sends meanwhile.
QByteArray gatherFor(QSerialPort &port, std::chrono::milliseconds duration);

// How many acknowledgements bytes may hold: windows of three bytes with 0x00 in the middle, not
// overlapping, wherever they start, so that stray bytes before one cannot hide it. In bytes that
// answer no send, any means the device may have taken a record more often than the tool counted.
int acknowledgementCount(const QByteArray &bytes);
inline bool holdsAcknowledgement(const QByteArray &stale) {
    return acknowledgementCount(stale) > 0;
}
// The first acknowledgement in bytes, taken as acknowledgementCount() takes them; empty if none.
QByteArray firstAcknowledgement(const QByteArray &bytes);

// Waits until send's bytes can have left the line, at most grace from now; false when they
// still may not have. A send must not follow another still leaving: the device would take both
// for one record.
bool waitUntilLeft(QSerialPort &port, const Send &send,
                   std::chrono::milliseconds grace = kLeaveGrace);

} // namespace transfer
