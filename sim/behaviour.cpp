#include "behaviour.h"

namespace sim {

namespace {

// Gap between the two parts of a split reply: well inside the host's reply time-out.
constexpr int kSplitGapMs = 30;
// Out of a thousand records, how many meet each mishap under chaos; the rest are answered at
// once.
constexpr int kSplitsPerMille = 200;
constexpr int kLatePerMille = 150;
constexpr int kRefusalsPerMille = 150;
constexpr int kSilencesPerMille = 100;
// The gap of a split answer, and how long after a record a device goes away, under chaos.
constexpr int kLongestGapMs = 150;
constexpr int kLatestHangUpMs = 300;

} // namespace

quint64 Chaos::nextBits() {
    // SplitMix64: the same series from a seed on every platform and library.
    quint64 z = (m_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int Chaos::between(int low, int high) {
    return low + int(nextBits() % quint64(high - low + 1));
}

int Chaos::retryDelay() {
    return between(0, 1) == 0 ? 0 : between(1, kLatestMs);
}

Chaos::Draw Chaos::next() {
    int roll = between(0, 999);
    const auto within = [&roll](int perMille) {
        roll -= perMille;
        return roll < 0;
    };
    Draw draw;
    if (within(kHangUpsPerMille)) {
        draw.mishap = Mishap::HangUp;
        draw.delayMs = between(0, kLatestHangUpMs);
    } else if (within(kSilencesPerMille)) {
        draw.mishap = Mishap::Silence;
        draw.delayMs = retryDelay();
    } else if (within(kRefusalsPerMille)) {
        draw.mishap = Mishap::Refusal;
        draw.delayMs = retryDelay();
    } else if (within(kLatePerMille)) {
        draw.mishap = Mishap::Late;
        draw.delayMs = between(1, kLatestMs);
    } else if (within(kSplitsPerMille)) {
        draw.mishap = Mishap::Split;
        draw.gapMs = between(1, kLongestGapMs);
    }
    return draw;
}

const char *Chaos::mishapName(Mishap mishap) {
    switch (mishap) {
    case Mishap::Split:
        return "split";
    case Mishap::Late:
        return "late";
    case Mishap::Refusal:
        return "refusal";
    case Mishap::Silence:
        return "silence";
    case Mishap::HangUp:
        return "hang-up";
    case Mishap::None:
        break;
    }
    return "at once";
}

const char *Behaviour::verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Acknowledged:
        return "acknowledged";
    case Verdict::Refused:
        return "refused";
    case Verdict::Confirmed:
        return "confirmed";
    case Verdict::HungUp:
        return "went away";
    case Verdict::Ignored:
        break;
    }
    return "not answered";
}

Behaviour::Behaviour(const Faults &faults)
    : m_faults(faults)
    , m_chaos(faults.chaosSeed) {}

Behaviour::Answer Behaviour::answer(const SimDevice::Received &message) {
    if (m_faults.silent)
        return {{}, Verdict::Ignored};
    if (message.kind == SimDevice::Received::Command)
        return {shaped(SimDevice::confirmation(), m_faults.delayMs), Verdict::Confirmed};

    if (m_faults.chaos)
        return chaotic(message);

    const int delayMs = m_faults.delayMs + m_faults.processMs;
    if (m_refusedLast) {
        m_refusedLast = false;
        return {shaped(SimDevice::acknowledgement(), delayMs), Verdict::Acknowledged};
    }
    ++m_records;
    if (m_faults.refuseEvery > 0 && m_records % m_faults.refuseEvery == 0) {
        m_refusedLast = true;
        return {shaped(refusal(), delayMs), Verdict::Refused};
    }
    return {shaped(SimDevice::acknowledgement(), delayMs), Verdict::Acknowledged};
}

Behaviour::Answer Behaviour::chaotic(const SimDevice::Received &message) {
    const QByteArray ack = SimDevice::acknowledgement();
    // The send after a refused or ignored one is the record's second: acknowledged at once.
    // A different record there means the host gave that one up, and is drawn for anew.
    if (!m_retried.isNull()) {
        const bool again = message.bytes == m_retried;
        m_retried = QByteArray();
        if (again)
            return {{{m_retryDelayMs, ack}}, Verdict::Acknowledged};
    }
    ++m_records;
    const Chaos::Draw draw = m_chaos.next();
    switch (draw.mishap) {
    case Chaos::Mishap::Split:
        return {SimDevice::split(ack, draw.gapMs), Verdict::Acknowledged};
    case Chaos::Mishap::Late:
        return {{{draw.delayMs, ack}}, Verdict::Acknowledged};
    case Chaos::Mishap::Refusal:
        m_retried = message.bytes;
        m_retryDelayMs = draw.delayMs;
        return {{{0, refusal()}}, Verdict::Refused};
    case Chaos::Mishap::Silence:
        m_retried = message.bytes;
        m_retryDelayMs = draw.delayMs;
        return {{}, Verdict::Ignored};
    case Chaos::Mishap::HangUp:
        return {SimDevice::hangUp(draw.delayMs), Verdict::HungUp};
    case Chaos::Mishap::None:
        break;
    }
    return {{{0, ack}}, Verdict::Acknowledged};
}

SimDevice::Reply Behaviour::shaped(const QByteArray &bytes, int delayMs) const {
    SimDevice::Reply reply =
        m_faults.splitReplies ? SimDevice::split(bytes, kSplitGapMs) : SimDevice::Reply{{0, bytes}};
    reply.first().delayMs += delayMs;
    return reply;
}

} // namespace sim
