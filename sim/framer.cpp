#include "framer.h"

namespace sim {

namespace {

constexpr qint64 kNsPerMs = 1000000;

} // namespace

Framer::Event Framer::dropped(DropCause cause, qint64 atNs) {
    Event event{Event::Dropped, atNs, {}, m_pending, cause};
    m_pending.clear();
    m_inRecord = false;
    return event;
}

QList<Framer::Event> Framer::take(char byte, qint64 atNs) {
    QList<Event> events;
    // Idleness is the time between two bytes on the line, however late the device looks at them.
    if (m_inRecord && atNs - m_lastByteNs > kIdleDropNs)
        events.append(dropped(DropCause::LineIdle, atNs));
    m_lastByteNs = atNs;

    if (!m_inRecord && byte == '{') {
        // A record starts; what stood between it and the previous message is no part of it.
        m_inRecord = true;
        m_pending.clear();
    }
    m_pending.append(byte);

    Received message{};
    if (m_inRecord && byte == '}') {
        message = {Received::Record, m_records++, m_pending, atNs / kNsPerMs};
        m_inRecord = false;
    } else if (!m_inRecord && m_pending.endsWith(command())) {
        message = {Received::Command, m_commands++, m_pending, atNs / kNsPerMs};
    } else {
        return events;
    }
    m_pending.clear();
    events.append({Event::Message, atNs, message, {}});
    return events;
}

QList<Framer::Event> Framer::hostClosed(qint64 atNs) {
    if (m_inRecord)
        return {dropped(DropCause::HostClosed, atNs)};
    m_pending.clear();
    return {};
}

} // namespace sim
