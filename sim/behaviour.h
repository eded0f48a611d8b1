#pragma once

#include "simdevice.h"

#include <QByteArray>

namespace sim {

// Ways the simulated device can misbehave, for trying the host's recovery. All off by default:
// then every record is acknowledged and every command confirmed, at once and in one write.
struct Faults {
    // Answers nothing at all.
    bool silent = false;
    // Refuses the k-th, 2k-th, ... record on its first send and takes the send after it; 0 never.
    int refuseEvery = 0;
    // Writes each reply in two parts, a short while apart.
    bool splitReplies = false;
    // Starts each reply this many milliseconds after the message.
    int delayMs = 0;
    // Takes this many milliseconds after a record's last byte before answering it.
    int processMs = 0;
};

// The answers of a device with the given faults. Not thread-safe: call answer() for each message
// in the order the device received them (the device thread does).
class Behaviour {
public:
    enum class Verdict { Acknowledged, Refused, Confirmed, Ignored };
    struct Answer {
        SimDevice::Reply reply;
        Verdict verdict;
    };

    // Three bytes like an acknowledgement, but with a non-zero middle byte.
    static QByteArray refusal() { return QByteArray("A\x01K", 3); }
    static const char *verdictName(Verdict verdict);

    explicit Behaviour(const Faults &faults);

    Answer answer(const SimDevice::Received &message);

private:
    // The reply bytes as the faults shape them, starting delayMs after the message.
    SimDevice::Reply shaped(const QByteArray &bytes, int delayMs) const;

    Faults m_faults;
    // Records taken in so far, each counted once however often it was sent.
    int m_records = 0;
    // The last record was refused, so the next send is its second one.
    bool m_refusedLast = false;
};

} // namespace sim
