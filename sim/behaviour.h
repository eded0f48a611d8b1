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

    // The times a slow device takes for the records it writes before answering them, drawn once
    // for a run (see slowDevice()). kNever: it never answers that record.
    static constexpr int kNever = -1;
    struct Slow {
        int firstMs = 0;  // the first record it takes: an erase, then the write
        int recordMs = 0; // every other record
        int lastMs = 0;   // the image's last record, when the device knows which it is
    };

    explicit Chaos(quint64 seed)
        : m_state(seed) {}
    // The next record's mishap.
    Draw next();
    static const char *mishapName(Mishap mishap);
    // The slow device a run draws from seed: a first record of up to 2000 ms (past the host's
    // second about half the time), every other record at once half the time, otherwise up to
    // 300 ms, and a last record of up to 2000 ms or, one run in eight, never answered. Drawn
    // from a series of its own, so the records' mishaps stay the ones the seed draws without it.
    static Slow slowDevice(quint64 seed);

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
    // A slow device writes each record before it answers it, one after the other (processMs),
    // and takes longer for some: the first record it takes, erasing first, when firstProcessMs
    // is 0 or more; and each send of the image's last record, when recordCount is known:
    // lastProcessMs, or Chaos::kNever for a device that never answers it (nor holds it).
    int firstProcessMs = -1;
    int lastProcessMs = 0;
    // How many records the image holds, so the device knows its last; 0 when not known.
    int recordCount = 0;
    // Under chaos: draws a slow device for the run as well (Chaos::slowDevice), whose times come
    // before each record's mishap. Replaces the three fields above but recordCount.
    bool chaosSlow = false;
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
        // A record's number in the image as the device counts them, from 1: a record with the
        // contents of the one before is that record sent again, any other the next one. 0 for a
        // command.
        int record = 0;
        // Answered later than Chaos::kLatestMs after the message's last byte, or a record taken
        // and never answered: past what the host allows a device.
        bool pastWindow = false;
    };

    // Three bytes like an acknowledgement, but with a non-zero middle byte.
    static QByteArray refusal() { return QByteArray("A\x01K", 3); }
    static const char *verdictName(Verdict verdict);

    explicit Behaviour(const Faults &faults);

    Answer answer(const SimDevice::Received &message);
    // The times of the slow device, as given or, under chaos, drawn.
    Chaos::Slow slow() const { return m_slow; }

private:
    Answer answered(const SimDevice::Received &message);
    Answer chaotic(const SimDevice::Received &message);
    // How long the device takes to write the current record before it answers it, or
    // Chaos::kNever.
    int processMs() const;
    // The current record taken: reply, delayed by the time to write the record, or nothing for a
    // record never answered.
    Answer taken(SimDevice::Reply reply);
    // The reply bytes as the faults shape them, starting delayMs after the message.
    SimDevice::Reply shaped(const QByteArray &bytes, int delayMs) const;

    Faults m_faults;
    // Records taken in so far, each counted once however often it was sent.
    int m_records = 0;
    // The slow device's times, and the current record: its contents and number.
    Chaos::Slow m_slow;
    QByteArray m_current;
    int m_number = 0;
    // The device took its first record: later ones take the record time.
    bool m_tookFirst = false;
    // The last record was refused, so the next send is its second one.
    bool m_refusedLast = false;
    // Under chaos: the draws, and the record refused or ignored on its first send, whose next
    // send is acknowledged (empty when none is).
    Chaos m_chaos{0};
    QByteArray m_retried;
    int m_retryDelayMs = 0;
};

} // namespace sim
