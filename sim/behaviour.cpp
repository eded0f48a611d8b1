#include "behaviour.h"

namespace sim {

namespace {

// Gap between the two parts of a split reply: well inside the host's reply time-out.
constexpr int kSplitGapMs = 30;

} // namespace

const char *Behaviour::verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Acknowledged:
        return "acknowledged";
    case Verdict::Refused:
        return "refused";
    case Verdict::Confirmed:
        return "confirmed";
    case Verdict::Ignored:
        break;
    }
    return "not answered";
}

Behaviour::Behaviour(const Faults &faults)
    : m_faults(faults) {}

Behaviour::Answer Behaviour::answer(const SimDevice::Received &message) {
    if (m_faults.silent)
        return {{}, Verdict::Ignored};
    if (message.kind == SimDevice::Received::Command)
        return {shaped(SimDevice::confirmation(), m_faults.delayMs), Verdict::Confirmed};

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

SimDevice::Reply Behaviour::shaped(const QByteArray &bytes, int delayMs) const {
    SimDevice::Reply reply =
        m_faults.splitReplies ? SimDevice::split(bytes, kSplitGapMs) : SimDevice::Reply{{0, bytes}};
    reply.first().delayMs += delayMs;
    return reply;
}

} // namespace sim
