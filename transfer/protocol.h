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

// At most this much of a reply is kept; a device that floods the line must not fill memory.
inline constexpr int kMaxReplyKept = 64 * 1024;

// The time bytes take on the line: ten bit times each (start bit, eight data bits, stop bit) at
// the link's baud rate. A record of 16 KiB needs over 1.4 s just to leave.
std::chrono::nanoseconds wireTime(qint64 bytes);

// How much longer than their wire time the bytes of a send may take to leave the line. Output
// that has not drained by then counts as unanswered, so a line that takes nothing cannot hang
// the tool.
inline constexpr std::chrono::milliseconds kLeaveGrace = 1000ms;

// Bytes written to the port in one write call, and when.
struct Send {
    qint64 bytes = 0;
    QElapsedTimer writtenAt;
};

Send sendBytes(QSerialPort &port, const QByteArray &bytes);

// What came back after a send, and whether the send's bytes had left the line by then.
struct Answer {
    QByteArray reply;
    bool left = false;
};

// Gathers the device's reply to send until done(reply) holds. The reply window opens once the
// bytes can have left the line (their wire time after the write, and not before the driver
// holds none of them) and then lasts window; a reply that comes earlier is kept. Ends early when
// the link fails, and gives up when the bytes have not left within their wire time and
// kLeaveGrace.
Answer awaitReply(QSerialPort &port, const Send &send, std::chrono::milliseconds window,
                  const std::function<bool(const QByteArray &)> &done);

// Waits until send's bytes can have left the line, at most kLeaveGrace from now; false when they
// still may not have. A send must not follow another still leaving: the device would take both
// for one record.
bool waitUntilLeft(QSerialPort &port, const Send &send);

} // namespace transfer
