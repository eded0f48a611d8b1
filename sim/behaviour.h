#pragma once

#include "simdevice.h"

#include <QByteArray>
#include <QtGlobal>

namespace sim {

// What a device under chaos does with a record, drawn once for each record (not for each send)
// from a seed, so that one seed always gives the same series. Every mishap stays within what
// the host allows a device: an answer within 1000 ms of the record's last byte, and a record
// refused or ignored at most once.
class Chaos {
public:
    enum class Mishap {
        None,    // acknowledged at once
        Split,   // acknowledged in two writes, gapMs apart
        Late,    // acknowledged delayMs after the record's last byte
        Refusal, // refused once; the record's next send is acknowledged, delayMs after it
        Silence, // the first send ignored; the next is acknowledged, delayMs after it
        HangUp,  // the device goes away delayMs after the record, as an unplugged board
    };
    struct Draw {
        Mishap mishap = Mishap::None;
        int delayMs = 0;
        int gapMs = 0;
    };

    // The longest a late acknowledgement waits after the record's last byte.
    static constexpr int kLatestMs = 900;
    // How many records in a thousand end with the device going away: one in 200.
    static constexpr int kHangUpsPerMille = 5;

    explicit Chaos(quint64 seed)
        : m_state(seed) {}
    // The next record's mishap.
    Draw next();
    static const char *mishapName(Mishap mishap);

private:
    quint64 nextBits();
    // A whole number from low to high, both included.
    int between(int low, int high);
    // How long after its last byte the send after a refused or ignored one is acknowledged:
    // at once half the time, otherwise late.
    int retryDelay();

    quint64 m_state;
};

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
    // Draws each record's answer from chaosSeed (see Chaos) instead of the faults above.
    bool chaos = false;
    quint64 chaosSeed = 0;
};

// The answers of a device with the given faults. Not thread-safe: call answer() for each message
// in the order the device received them (the device thread does).
class Behaviour {
public:
    // HungUp: the device went away instead of answering.
    enum class Verdict { Acknowledged, Refused, Confirmed, Ignored, HungUp };
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
    Answer chaotic(const SimDevice::Received &message);
    // The reply bytes as the faults shape them, starting delayMs after the message.
    SimDevice::Reply shaped(const QByteArray &bytes, int delayMs) const;

    Faults m_faults;
    // Records taken in so far, each counted once however often it was sent.
    int m_records = 0;
    // The last record was refused, so the next send is its second one.
    bool m_refusedLast = false;
    // Under chaos: the draws, and the record refused or ignored on its first send, whose next
    // send is acknowledged (empty when none is).
    Chaos m_chaos{0};
    QByteArray m_retried;
    int m_retryDelayMs = 0;
};

} // namespace sim
