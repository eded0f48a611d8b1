#include "portnotify.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

namespace ports {

// No notifications here: a change is told every kScanMs.
struct PortNotifier::Watch {
    QElapsedTimer sinceScan;
};

PortNotifier::PortNotifier(const QStringList &)
    : m_watch(std::make_unique<Watch>()) {}

PortNotifier::~PortNotifier() = default;

bool PortNotifier::wait(int ms, int) {
    if (!m_watch->sinceScan.isValid() || m_watch->sinceScan.elapsed() >= kScanMs) {
        m_watch->sinceScan.start();
        return true;
    }
    QThread::msleep(ulong(std::clamp<qint64>(kScanMs - m_watch->sinceScan.elapsed(), 0,
                                             std::min(ms, kTimedSleepMs))));
    if (m_watch->sinceScan.elapsed() < kScanMs)
        return false;
    m_watch->sinceScan.start();
    return true;
}

void PortNotifier::watchNodes(const QByteArrayList &) {}

bool PortNotifier::notified() const {
    return false;
}

} // namespace ports
