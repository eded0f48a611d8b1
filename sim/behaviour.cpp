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
// What sets a slow device's draws apart from the records' own, under the same seed.
constexpr quint64 kSlowSeries = 0x736c6f7720646576ULL;
// The longest first or last record, and the longest other record, of a slow device under chaos.
constexpr int kSlowestEndMs = 2000;
constexpr int kSlowestRecordMs = 300;

// When the last byte of a reply is due, after the message's last byte.
int lastByteMs(const SimDevice::Reply &reply) {
    int ms = 0;
    for (const SimDevice::Chunk &chunk : reply)
        ms += chunk.delayMs;
    return ms;
}

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

Chaos::Slow Chaos::slowDevice(quint64 seed) {
    Chaos draws(seed ^ kSlowSeries);
    Slow slow;
    slow.firstMs = draws.between(0, kSlowestEndMs);
    slow.recordMs = draws.between(0, 1) == 0 ? 0 : draws.between(1, kSlowestRecordMs);
    slow.lastMs = draws.between(0, 7) == 0 ? kNever : draws.between(0, kSlowestEndMs);
    return slow;
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
    , m_chaos(faults.chaosSeed) {
    if (faults.chaos) {
        if (faults.chaosSlow)
            m_slow = Chaos::slowDevice(faults.chaosSeed);
    } else {
        m_slow.firstMs = faults.firstProcessMs < 0 ? faults.processMs : faults.firstProcessMs;
        m_slow.recordMs = faults.processMs;
        m_slow.lastMs = faults.lastProcessMs;
    }
}

Behaviour::Answer Behaviour::answer(const SimDevice::Received &message) {
    if (message.kind == SimDevice::Received::Record && message.bytes != m_current) {
        m_current = message.bytes;
        ++m_number;
    }
    if (m_faults.silent)
        return {{}, Verdict::Ignored};
    if (message.kind == SimDevice::Received::Command)
        return {shaped(SimDevice::confirmation(), m_faults.delayMs), Verdict::Confirmed};

    Answer answer = m_faults.chaos ? chaotic(message) : answered(message);
    answer.record = m_number;
    if (!answer.reply.isEmpty() && !answer.reply.last().hangUp &&
        lastByteMs(answer.reply) > Chaos::kLatestMs)
        answer.pastWindow = true;
    return answer;
}

Behaviour::Answer Behaviour::answered(const SimDevice::Received &) {
    const QByteArray ack = SimDevice::acknowledgement();
    if (m_refusedLast) {
        m_refusedLast = false;
        return taken(shaped(ack, m_faults.delayMs));
    }
    ++m_records;
    if (m_faults.refuseEvery > 0 && m_records % m_faults.refuseEvery == 0) {
        m_refusedLast = true;
        return {shaped(refusal(), m_faults.delayMs + m_faults.processMs), Verdict::Refused};
    }
    return taken(shaped(ack, m_faults.delayMs));
}

int Behaviour::processMs() const {
    if (m_faults.recordCount > 0 && m_number == m_faults.recordCount)
        return m_slow.lastMs;
    return m_tookFirst ? m_slow.recordMs : m_slow.firstMs;
}

Behaviour::Answer Behaviour::taken(SimDevice::Reply reply) {
    const int ms = processMs();
    if (ms == Chaos::kNever)
        return {{}, Verdict::Ignored, 0, true};
    m_tookFirst = true;
    reply.first().delayMs += ms;
    return {reply, Verdict::Acknowledged};
}

Behaviour::Answer Behaviour::chaotic(const SimDevice::Received &message) {
    const QByteArray ack = SimDevice::acknowledgement();
    // The send after a refused or ignored one is the record's second: acknowledged at once.
    // A different record there means the host gave that one up, and is drawn for anew.
    if (!m_retried.isNull()) {
        const bool again = message.bytes == m_retried;
        m_retried = QByteArray();
        if (again)
            return taken({{m_retryDelayMs, ack}});
    }
    ++m_records;
    const Chaos::Draw draw = m_chaos.next();
    switch (draw.mishap) {
    case Chaos::Mishap::Split:
        return taken(SimDevice::split(ack, draw.gapMs));
    case Chaos::Mishap::Late:
        return taken({{draw.delayMs, ack}});
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
    return taken({{0, ack}});
}

SimDevice::Reply Behaviour::shaped(const QByteArray &bytes, int delayMs) const {
    SimDevice::Reply reply =
        m_faults.splitReplies ? SimDevice::split(bytes, kSplitGapMs) : SimDevice::Reply{{0, bytes}};
    reply.first().delayMs += delayMs;
    return reply;
}

} // namespace sim
