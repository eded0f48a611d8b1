#pragma once

#include <QByteArrayList>
#include <QString>

#include <memory>

// When the names a station's selector matches may have changed, from the system's notifications
// rather than by looking again and again: a glob's folder (or, while it does not exist yet, the
// nearest folder above it that does, moving down as the folders appear), /dev for a USB
// identity (its tty nodes appear there and have their group set there), and the nodes of the
// devices taken (one going away). Where there are no such notifications, or they cannot be had,
// it tells a change every kScanMs, and the station looks as often as that.
namespace ports {

class PortNotifier {
public:
    static constexpr int kScanMs = 250;
    static constexpr int kTimedSleepMs = 50;

    // Tells of changes to the names any of selectors takes in.
    explicit PortNotifier(const QStringList &selectors);
    ~PortNotifier();
    PortNotifier(const PortNotifier &) = delete;
    PortNotifier &operator=(const PortNotifier &) = delete;

    // Waits up to ms for a change, or for wakeFd to be readable (-1: none). True when the names
    // may have changed since the last call; always the first time, and after notifications were
    // lost (too many at once). Without notifications, wakeFd is not watched: it sleeps no more
    // than kTimedSleepMs at once.
    bool wait(int ms, int wakeFd = -1);
    // The device nodes whose going away is a change too.
    void watchNodes(const QByteArrayList &nodes);
    // Whether changes come from the system's notifications; false: every kScanMs.
    bool notified() const;

private:
    struct Watch;
    std::unique_ptr<Watch> m_watch;
};

} // namespace ports
