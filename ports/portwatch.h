#pragma once

#include "ports.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// What a station does with the names its selector matches, poll after poll: each serial port
// once while its device stays (the same device under a second name is no second board, nor is a
// name that went away for a moment and came back to the same device), anything else passed
// over. A board is forgotten once its device has gone (its node vanished, or leads to another
// device), so that a board plugged in again is taken anew; anything else is forgotten as soon as
// its name is absent. Names are taken as the system gives them, valid text or not, and go by
// their readable form (readableName()).
namespace ports {

// What a station takes in: the names pattern matches (usb:VID:PID[:SERIAL] or a path glob; see
// matching()), and the label of the slot they are, empty for none.
struct Selector {
    QString pattern;
    QString slot;
};
using SelectorList = std::vector<Selector>;
QStringList patternsOf(const SelectorList &selectors);

// What the watch learned of a port when it took it, for the board's job to go on from, so that
// nothing examines the port again: it is a serial port (checked), reached by bytes, with its
// device number and USB adapter.
struct PortFacts {
    QByteArray bytes; // the name as the system gave it
    std::optional<quint64> device;
    QString serial; // the USB adapter's serial number; empty when none or unknown
    QString usb;    // VID:PID[:SERIAL] of the USB adapter; empty when none or unknown
    QString slot;   // the slot of the selector that took it in (the first that did); empty: none
};

class PortWatch {
public:
    // The names any of selectors takes in. noticeMs: how long without any port matching before
    // saying so, once.
    explicit PortWatch(SelectorList selectors, qint64 noticeMs = 10000);

    // A board forgotten because its device went away: its name and slot.
    struct Gone {
        QString name;
        QString slot;
    };

    struct Step {
        // The names to start a board on, in the order found.
        QStringList take;
        // What was passed over and why, each said once while its name stays present (for -v).
        QStringList passedOver;
        // Said once, when no port has matched for noticeMs; else empty.
        QString waiting;
        // Whether a port was left for later, not ready to open.
        bool unready = false;
        // The boards forgotten because their device went away (unplugged), in no order.
        QList<Gone> gone;
    };

    // Looks at the names present now. busy(name): whether a board on name still runs (one taken
    // before its name led to another device); such a name is taken once that board ends, as is
    // a name whose device this process still has open under a name that went away. A port this
    // process may not open yet (its node just made, its group not yet set) is taken once it may,
    // or kSettleMs after it was first seen, when its open says why not. With slots, a name no
    // slot names is taken kSlotSettleMs after it was first seen. nowMs: the time since
    // the station started.
    // ports: the ports present, for a USB selector.
    Step poll(const PortList &ports, const std::function<bool(const QString &)> &busy,
              qint64 nowMs);

    // A board on name was refused on opening because this process had its device open under
    // other (a second name that came up between two looks). It is no board: while other stays
    // taken, name is passed over as its second name (returns what to say, once); otherwise the
    // device is on its way out of an earlier job, and name is looked at again next time.
    QString refusedAsSameDevice(const QString &name, const QString &other);

    // A name taken by poll() that was gone before its port could be opened (a link udev made
    // under a passing name and renamed): no board. Forgotten, so that its device goes with the
    // name that stays. Returns what to say (for -v).
    QString vanished(const QString &name);

    // A name taken by poll() but not started on after all (a batch with no room for it): it is
    // offered again by the next poll.
    void release(const QString &name) { m_known.remove(name); }

    // What was learned of a name poll() took.
    PortFacts factsOf(const QString &name) const;
    // The nodes of the devices taken: one going away is worth a look.
    QByteArrayList deviceNodes() const;

    static constexpr qint64 kSettleMs = 2000;
    // How long a name no slot names waits, while slots are watched, for a slot's link to its
    // device (udev makes the link after the node): a board on a slot's device is the slot's,
    // whichever name appears first.
    static constexpr qint64 kSlotSettleMs = 1500;

private:
    enum class Kind { Board, SecondName, NotAPort };
    struct Known {
        Kind kind = Kind::NotAPort;
        std::optional<quint64> device;
        QByteArray bytes;
        // The device's own node (links resolved), to see the device go.
        QByteArray node;
        QString serial;
        QString usb;
        QString slot;
    };

    const SelectorList m_selectors;
    const qint64 m_noticeMs;
    // The names present and dealt with.
    QHash<QString, Known> m_known;
    // Ports not to be opened yet, with when each was first seen.
    QHash<QString, qint64> m_unready;
    // Names no slot names, waiting for a slot's link, with when each was first seen.
    QHash<QString, qint64> m_unslotted;
    bool m_sawPort = false;
    bool m_saidWaiting = false;
};

} // namespace ports
