#pragma once

#include <QByteArray>

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

// Gathers the device's reply on port until done(reply) holds or timeout has passed since the
// call; returns what arrived (empty when nothing did). Ends early when the link fails.
// At most this much of a reply is kept; a device that floods the line must not fill memory.
inline constexpr int kMaxReplyKept = 64 * 1024;

QByteArray gatherReply(QSerialPort &port, std::chrono::milliseconds timeout,
                       const std::function<bool(const QByteArray &)> &done);

} // namespace transfer
