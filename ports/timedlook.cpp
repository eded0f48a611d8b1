#include "timedlook.h"

#include "portnotify.h"

#include <QThread>

#include <algorithm>

namespace ports {

bool TimedLook::wait(int ms) {
    constexpr int kScanMs = PortNotifier::kScanMs;
    if (!m_sinceScan.isValid() || m_sinceScan.elapsed() >= kScanMs) {
        m_sinceScan.start();
        return true;
    }
    QThread::msleep(ulong(std::clamp<qint64>(kScanMs - m_sinceScan.elapsed(), 0,
                                             std::min(ms, PortNotifier::kTimedSleepMs))));
    if (m_sinceScan.elapsed() < kScanMs)
        return false;
    m_sinceScan.start();
    return true;
}

} // namespace ports
