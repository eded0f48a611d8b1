#include "portnotify.h"

#include "timedlook.h"

namespace ports {

// No notifications here: a change is told every kScanMs.
struct PortNotifier::Watch {
    TimedLook timed;
};

PortNotifier::PortNotifier(const QStringList &)
    : m_watch(std::make_unique<Watch>()) {}

PortNotifier::~PortNotifier() = default;

bool PortNotifier::wait(int ms, int) {
    return m_watch->timed.wait(ms);
}

void PortNotifier::watchNodes(const QByteArrayList &) {}

bool PortNotifier::notified() const {
    return false;
}

} // namespace ports
