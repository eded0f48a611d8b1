#include "pacedline.h"

namespace sim {

namespace {

constexpr qint64 kNsPerSecond = 1000000000;
constexpr qint64 kBitsPerByte = 10; // start bit, eight data bits, stop bit

} // namespace

qint64 PacedLine::byteNs() const {
    return m_baud > 0 ? kBitsPerByte * kNsPerSecond / m_baud : 0;
}

void PacedLine::hostSent(const QByteArray &bytes, qint64 readNs) {
    if (bytes.isEmpty())
        return;
    if (m_inbox.isEmpty())
        m_inboxDueNs = qMax(readNs, m_lastArrivalNs) + byteNs();
    m_inbox.append(bytes);
}

void PacedLine::hostClosed(qint64 readNs) {
    const qint64 atNs =
        m_inbox.isEmpty() ? qMax(readNs, m_lastArrivalNs) : arrivalNs(int(m_inbox.size()) - 1);
    m_closes.push_back({int(m_inbox.size()), atNs});
}

void PacedLine::arrive(qint64 nowNs, const std::function<void(const Arrival &)> &onArrival) {
    int delivered = 0;
    for (;;) {
        if (!m_closes.empty() && m_closes.front().offset == delivered &&
            m_closes.front().atNs <= nowNs) {
            const qint64 atNs = m_closes.front().atNs;
            m_closes.pop_front();
            onArrival({true, 0, atNs});
            continue;
        }
        if (delivered == m_inbox.size())
            break;
        const qint64 atNs = arrivalNs(delivered);
        if (atNs > nowNs)
            break;
        m_lastArrivalNs = atNs;
        onArrival({false, m_inbox.at(delivered), atNs});
        ++delivered;
    }
    if (delivered == 0)
        return;
    m_inbox.remove(0, delivered);
    m_inboxDueNs += qint64(delivered) * byteNs();
    for (Close &close : m_closes)
        close.offset -= delivered;
}

qint64 PacedLine::nextWakeNs() const {
    int index = int(m_inbox.size()) - 1;
    for (int i = 0; i < m_inbox.size(); ++i) {
        const char c = m_inbox.at(i);
        if (c == '}' || c == '$') {
            index = i;
            break;
        }
    }
    if (!m_closes.empty() && (index < 0 || m_closes.front().offset <= index))
        return m_closes.front().atNs;
    return index < 0 ? -1 : arrivalNs(index);
}

int PacedLine::batchSize() const {
    const qint64 byte = byteNs();
    return byte > 0 ? int(qMax<qint64>(1, kBatchNs / byte)) : qMax(1, int(m_out.size()));
}

void PacedLine::send(const QByteArray &bytes, qint64 fromNs) {
    m_out = bytes;
    m_handed = 0;
    m_outStartNs = qMax(fromNs, m_outputFreeNs);
    m_outputFreeNs = m_outStartNs + qint64(bytes.size()) * byteNs();
}

QByteArray PacedLine::dueOutput(qint64 nowNs) const {
    // Batches are counted from the last byte handed over, so after a write the terminal took
    // only in part the rest still leaves at the line's pace.
    const int batch = batchSize();
    int end = m_handed;
    while (end < m_out.size()) {
        const int next = qMin(int(m_out.size()), end + batch);
        if (m_outStartNs + qint64(next) * byteNs() > nowNs)
            break;
        end = next;
    }
    return m_out.mid(m_handed, end - m_handed);
}

qint64 PacedLine::nextHandOverNs() const {
    if (!sending())
        return -1;
    const int next = qMin(int(m_out.size()), m_handed + batchSize());
    return m_outStartNs + qint64(next) * byteNs();
}

void PacedLine::abandonSend() {
    m_out.clear();
    m_handed = 0;
}

} // namespace sim
