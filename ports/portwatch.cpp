#include "portwatch.h"

#include "portcheck.h"
#include "seriallink.h"

#include <QFile>

#include <algorithm>

namespace ports {

QStringList patternsOf(const SelectorList &selectors) {
    QStringList patterns;
    for (const Selector &selector : selectors)
        patterns << selector.pattern;
    return patterns;
}

PortWatch::PortWatch(SelectorList selectors, qint64 noticeMs)
    : m_selectors(std::move(selectors))
    , m_noticeMs(noticeMs) {}

PortWatch::Step PortWatch::poll(const PortList &ports,
                                const std::function<bool(const QString &)> &busy, qint64 nowMs) {
    Step step;
    QStringList present;
    QHash<QString, QByteArray> bytes;
    QHash<QString, QString> slotOf;
    for (const Selector &selector : m_selectors) {
        for (const QByteArray &name : matchingNames(selector.pattern, ports)) {
            const QString readable = readableName(name);
            if (bytes.contains(readable))
                continue;
            present << readable;
            bytes.insert(readable, name);
            slotOf.insert(readable, selector.slot);
        }
    }

    // A board whose name is absent stays while its device does (a link gone for a moment);
    // anything else absent is forgotten. So is a name that now leads to another device (a link
    // pointed elsewhere between two looks).
    for (auto it = m_known.begin(); it != m_known.end();) {
        const auto found = bytes.constFind(it.key());
        bool forget = false;
        if (found == bytes.constEnd()) {
            forget = it->kind != Kind::Board || !it->device || !isNodeOf(it->node, *it->device);
        } else if (it->kind != Kind::NotAPort) {
            const std::optional<DeviceNode> device = deviceNode(*found);
            forget = device && it->device && device->number != *it->device;
        }
        if (forget && it->kind == Kind::Board)
            step.gone << Gone{it.key(), it->slot};
        it = forget ? m_known.erase(it) : std::next(it);
    }
    for (auto it = m_unready.begin(); it != m_unready.end();)
        it = bytes.contains(it.key()) ? std::next(it) : m_unready.erase(it);
    for (auto it = m_unslotted.begin(); it != m_unslotted.end();)
        it = bytes.contains(it.key()) ? std::next(it) : m_unslotted.erase(it);
    const bool slotted = std::any_of(m_selectors.begin(), m_selectors.end(),
                                     [](const Selector &each) { return !each.slot.isEmpty(); });

    // The devices taken, by the name they were taken under.
    QHash<quint64, QString> taken;
    for (auto it = m_known.constBegin(); it != m_known.constEnd(); ++it) {
        if (it->kind == Kind::Board && it->device)
            taken.insert(*it->device, it.key());
    }

    for (const QString &name : present) {
        if (m_known.contains(name) || busy(name))
            continue;
        const QByteArray &raw = bytes[name];
        const transfer::NotSerial why = notSerialPort(raw);
        if (why) {
            m_known.insert(name, {Kind::NotAPort, std::nullopt, raw, {}, {}, {}, {}});
            step.passedOver << QStringLiteral("%1: passed over, not a serial port: %2")
                                   .arg(name, transfer::describe(why));
            continue;
        }
        m_sawPort = true;
        const std::optional<DeviceNode> node = deviceNode(raw);
        const std::optional<quint64> device =
            node ? std::optional<quint64>(node->number) : std::nullopt;
        const QString other = device ? taken.value(*device) : QString();
        if (!other.isEmpty()) {
            m_known.insert(name, {Kind::SecondName, device, raw, {}, {}, {}, {}});
            step.passedOver
                << QStringLiteral("%1: passed over, the same device as %2").arg(name, other);
            continue;
        }
        // Still open in a job on a name that has gone (a board swapped in on the same device
        // number): taken once that job has let it go.
        if (device && !transfer::inUseAs(*device).isEmpty())
            continue;
        // A name no slot names, while slots are watched, may be a slot's device whose link udev
        // has yet to make (the node comes first): taken once the link had time to take it.
        if (slotted && slotOf.value(name).isEmpty()) {
            const qint64 since = m_unslotted.value(name, nowMs);
            m_unslotted.insert(name, since);
            if (nowMs - since < kSlotSettleMs) {
                step.unready = true;
                continue;
            }
        }
        if (!mayOpen(raw)) {
            const qint64 since = m_unready.value(name, nowMs);
            m_unready.insert(name, since);
            if (nowMs - since < kSettleMs) {
                step.unready = true;
                continue;
            }
        }
        m_unready.remove(name);
        m_unslotted.remove(name);
        if (device)
            taken.insert(*device, name);
        // Its USB adapter: from the list a USB selector is matched against, else from what the
        // system says of the one device.
        Known board{Kind::Board,       device, raw, node ? node->node : QByteArray(), {}, {},
                    slotOf.value(name)};
        std::optional<UsbAdapter> adapter;
        for (const PortInfo &port : ports) {
            if (QFile::encodeName(port.path) == raw)
                adapter = UsbAdapter{port.usb, port.vendor, port.product, port.serial};
        }
        if (!adapter && device)
            adapter = usbAdapterOf(*device);
        if (adapter) {
            board.serial = adapter->serial;
            if (adapter->onUsb)
                board.usb = usbText(adapter->vendor, adapter->product, adapter->serial);
        }
        m_known.insert(name, board);
        step.take << name;
    }

    if (!m_sawPort && !m_saidWaiting && nowMs >= m_noticeMs) {
        m_saidWaiting = true;
        // Slots go by their count: a line's paths would fill the screen.
        QStringList patterns;
        int slotCount = 0;
        for (const Selector &selector : m_selectors) {
            if (selector.slot.isEmpty())
                patterns << selector.pattern;
            else
                ++slotCount;
        }
        if (slotCount == 0)
            step.waiting = QStringLiteral("no port matches %1 yet; waiting")
                               .arg(patterns.join(QStringLiteral(", ")));
        else
            step.waiting = QStringLiteral("no port yet; waiting for %1 slot%2%3")
                               .arg(slotCount)
                               .arg(slotCount == 1 ? "" : "s")
                               .arg(patterns.isEmpty() ? QString()
                                                       : QStringLiteral(" and ports matching ") +
                                                             patterns.join(QStringLiteral(", ")));
    }
    return step;
}

PortFacts PortWatch::factsOf(const QString &name) const {
    const Known known = m_known.value(name);
    return {known.bytes, known.device, known.serial, known.usb, known.slot};
}

QByteArrayList PortWatch::deviceNodes() const {
    QByteArrayList nodes;
    for (const Known &known : m_known) {
        if (known.kind == Kind::Board && !known.node.isEmpty())
            nodes << known.node;
    }
    return nodes;
}

QString PortWatch::vanished(const QString &name) {
    m_known.remove(name);
    return QStringLiteral("%1: passed over, gone before it could be opened").arg(name);
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
