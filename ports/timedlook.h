#pragma once

#include <QElapsedTimer>

// A change told every PortNotifier::kScanMs: what a station has where the system tells it of
// none.
namespace ports {

class TimedLook {
public:
    // Waits up to ms, and no more than PortNotifier::kTimedSleepMs at once, for the next look to
    // be due; true when it is (always the first time), and the next is then due kScanMs later.
    bool wait(int ms);

private:
    QElapsedTimer m_sinceScan; // since the names were last said to have changed
};

} // namespace ports
