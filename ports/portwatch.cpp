#include "portwatch.h"

#include "portcheck.h"
#include "seriallink.h"

namespace ports {

PortWatch::PortWatch(const QString &selector, qint64 noticeMs)
    : m_selector(selector)
    , m_noticeMs(noticeMs) {}

PortWatch::Step PortWatch::poll(const PortList &ports,
                                const std::function<bool(const QString &)> &busy, qint64 nowMs) {
    Step step;
    const QStringList present = matching(m_selector, ports);

    // Absent, busy or not, is forgotten; so is a name that now leads to another device (a link
    // pointed elsewhere between two looks).
    for (auto it = m_known.begin(); it != m_known.end();) {
        bool forget = !present.contains(it.key());
        if (!forget && it->kind != Kind::NotAPort) {
            const std::optional<quint64> device = transfer::deviceNumber(it.key());
            forget = device && it->device && *device != *it->device;
        }
        it = forget ? m_known.erase(it) : std::next(it);
    }

    // The devices taken, by the name they were taken under.
    QHash<quint64, QString> taken;
    for (auto it = m_known.constBegin(); it != m_known.constEnd(); ++it) {
        if (it->kind == Kind::Board && it->device)
            taken.insert(*it->device, it.key());
    }

    for (const QString &name : present) {
        if (m_known.contains(name) || busy(name))
            continue;
        const QString why = notSerialPort(name);
        if (!why.isEmpty()) {
            m_known.insert(name, {Kind::NotAPort, std::nullopt});
            step.passedOver
                << QStringLiteral("%1: passed over, not a serial port: %2").arg(name, why);
            continue;
        }
        m_sawPort = true;
        const std::optional<quint64> device = transfer::deviceNumber(name);
        const QString other = device ? taken.value(*device) : QString();
        if (!other.isEmpty()) {
            m_known.insert(name, {Kind::SecondName, device});
            step.passedOver
                << QStringLiteral("%1: passed over, the same device as %2").arg(name, other);
            continue;
        }
        // Still open in a job on a name that has gone (a board swapped in on the same device
        // number): taken once that job has let it go.
        if (!transfer::inUseAs(name).isEmpty())
            continue;
        if (device)
            taken.insert(*device, name);
        m_known.insert(name, {Kind::Board, device});
        step.take << name;
    }

    if (!m_sawPort && !m_saidWaiting && nowMs >= m_noticeMs) {
        m_saidWaiting = true;
        step.waiting = QStringLiteral("no port matches %1 yet; waiting").arg(m_selector);
    }
    return step;
}

QString PortWatch::refusedAsSameDevice(const QString &name, const QString &other) {
    const auto known = m_known.find(name);
    if (known == m_known.end())
        return QString();
    const auto holder = m_known.constFind(other);
    if (holder != m_known.constEnd() && holder->kind == Kind::Board) {
        known->kind = Kind::SecondName;
        return QStringLiteral("%1: passed over, the same device as %2").arg(name, other);
    }
    m_known.erase(known);
    return QString();
}

} // namespace ports
