#pragma once

#include "ports.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What a station does with the names its selector matches, poll after poll: each serial port
// once while it stays (the same device under a second name is no second board), anything else
// passed over, and a name forgotten as soon as it is absent, so that a board plugged in again
// is taken anew.
namespace ports {

class PortWatch {
public:
    // noticeMs: how long without any port matching before saying so, once.
    explicit PortWatch(const QString &selector, qint64 noticeMs = 10000);

    struct Step {
        // The names to start a board on, in the order found.
        QStringList take;
        // What was passed over and why, each said once while its name stays present (for -v).
        QStringList passedOver;
        // Said once, when no port has matched for noticeMs; else empty.
        QString waiting;
    };

    // Looks at the names present now. busy(name): whether a board on name still runs (one taken
    // before its name went away); such a name is taken once that board ends, as is a name whose
    // device this process still has open under a name that went away. nowMs: the time since
    // the station started.
    // ports: the ports present, for a USB selector.
    Step poll(const PortList &ports, const std::function<bool(const QString &)> &busy,
              qint64 nowMs);

    // A board on name was refused on opening because this process had its device open under
    // other (a second name that came up between two looks). It is no board: while other stays
    // taken, name is passed over as its second name (returns what to say, once); otherwise the
    // device is on its way out of an earlier job, and name is looked at again next time.
    QString refusedAsSameDevice(const QString &name, const QString &other);

    // A name taken by poll() but not started on after all (a batch with no room for it): it is
    // offered again by the next poll.
    void release(const QString &name) { m_known.remove(name); }

private:
    enum class Kind { Board, SecondName, NotAPort };
    struct Known {
        Kind kind;
        std::optional<quint64> device;
    };

    const QString m_selector;
    const qint64 m_noticeMs;
    // The names present and dealt with.
    QHash<QString, Known> m_known;
    bool m_sawPort = false;
    bool m_saidWaiting = false;
};

} // namespace ports
