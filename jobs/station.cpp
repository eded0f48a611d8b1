#include "station.h"

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace jobs {

Station::Station(ports::SelectorList selectors, const transfer::RecordList &records,
                 const transfer::Timing &timing, Hooks hooks, int count, qint64 noticeMs)
    : m_records(records)
    , m_hooks(std::move(hooks))
    , m_count(count)
    , m_timing(timing)
    , m_selectors(std::move(selectors))
    , m_noticeMs(noticeMs)
    , m_watch(m_selectors, noticeMs)
    , m_notifier(ports::patternsOf(m_selectors)) {
#ifdef __GLIBC__
    // Every job's thread would get an arena of its own, and an arena keeps pages that one
    // long-lived allocation pins. The jobs mostly wait on their lines: two arenas serve them.
    mallopt(M_ARENA_MAX, 2);
#endif
}

Station::~Station() {
    for (const auto &job : m_running)
        job->requestStop();
    m_running.clear();
}

namespace {

// Whether a station's job found no port at the name it was given: the name went between the
// look that took it and the open.
bool vanished(const BoardResult &result) {
    return result.outcome == transfer::Outcome::PortNotOpened && result.cause &&
           result.cause->kind == transfer::Cause::Kind::PortMissing && !result.interrupted();
}

} // namespace

bool Station::reap() {
    bool reaped = false;
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (!(*it)->wait(0)) {
            ++it;
            continue;
        }
        const BoardResult &result = (*it)->result();
        if (result.secondName()) {
            const QString note = m_watch.refusedAsSameDevice(result.port, result.cause->otherName);
            if (!note.isEmpty() && m_hooks.note)
                m_hooks.note(note, true);
        } else if (vanished(result)) {
            // A name gone before its port could be opened (udev's passing name for a link) was
            // never a board: nothing to count or log.
            const QString note = m_watch.vanished(result.port);
            if (m_hooks.note)
                m_hooks.note(note, true);
        } else {
            (result.ok() ? m_loaded : m_failed) += 1;
            if (m_hooks.finished)
                m_hooks.finished(result);
        }
        for (auto gone = m_goneLater.begin(); gone != m_goneLater.end();) {
            if (gone->name != result.port) {
                ++gone;
                continue;
            }
            if (m_hooks.gone)
                m_hooks.gone(gone->name, gone->slot);
            gone = m_goneLater.erase(gone);
        }
        it = m_running.erase(it);
        reaped = true;
    }
#ifdef __GLIBC__
    // What a job freed stays with the arena it came from. A station runs for days: what its
    // boards used goes back to the system once they are done.
    if (reaped)
        malloc_trim(0);
#endif
    return reaped;
}

void Station::wait(qint64 nowMs, int wakeFd) {
    // A batch loaded in full ends the station: nothing is left to wait for.
    if (batchDone())
        return;
    // Idle, it sleeps until the system tells of a change or the next look is due.
    const qint64 untilLook = std::clamp<qint64>(m_nextLookMs - nowMs, 0, kLookMs);
    if (m_notifier.wait(m_running.empty() ? int(untilLook) : std::min<int>(kReapMs, int(untilLook)),
                        wakeFd))
        m_look = true;
}

void Station::step(bool takeNew, qint64 nowMs) {
    // A board that ended may leave a name to take: its device now let go, or room in a batch.
    if (reap())
        m_look = true;
    if (!takeNew || batchDone() || (!m_look && nowMs < m_nextLookMs))
        return;
    m_look = false;
    // Looked at anyway now and then (a link to a node that appears later is told of by no
    // folder), when the wait for a first port is to be told of, and soon while a port is not
    // ready to open.
    m_nextLookMs = nowMs + kLookMs;
    if (nowMs < m_noticeMs)
        m_nextLookMs = std::min(m_nextLookMs, m_noticeMs);
    const auto busy = [&](const QString &port) {
        return std::any_of(m_running.begin(), m_running.end(),
                           [&](const auto &job) { return job->port() == port; });
    };
    // The system's port list only serves a USB selector; a glob is matched against the folder.
    // A station looks again and again for days: the USB ports are read from the system's
    // description of each device where it can, since Qt's listing keeps memory each time.
    ports::PortList present;
    if (std::any_of(m_selectors.begin(), m_selectors.end(), [](const ports::Selector &each) {
            return ports::isUsbIdentity(each.pattern);
        })) {
        const std::optional<ports::PortList> usb = ports::usbPorts();
        present = usb ? *usb : ports::enumerate();
    }
    const ports::PortWatch::Step step = m_watch.poll(present, busy, nowMs);
    if (step.unready)
        m_nextLookMs = std::min(m_nextLookMs, nowMs + ports::PortNotifier::kScanMs);
    m_notifier.watchNodes(m_watch.deviceNodes());
    for (const ports::PortWatch::Gone &gone : step.gone) {
        if (busy(gone.name))
            m_goneLater << gone;
        else if (m_hooks.gone)
            m_hooks.gone(gone.name, gone.slot);
    }
    if (m_hooks.note) {
        for (const QString &text : step.passedOver)
            m_hooks.note(text, true);
        if (!step.waiting.isEmpty())
            m_hooks.note(step.waiting, false);
    }
    for (const QString &port : step.take) {
        // A batch takes no more boards than it still needs; the rest wait their turn.
        if (m_count > 0 && m_loaded + int(m_running.size()) >= m_count) {
            m_watch.release(port);
            continue;
        }
        // Goes on from what the watch learned: a name that is not valid text is opened by its
        // bytes.
        m_running.push_back(
            std::make_unique<UploadJob>(port, m_records, m_watch.factsOf(port), m_timing));
        if (m_hooks.made)
            m_hooks.made(*m_running.back());
        m_running.back()->start();
    }
}

void Station::finish(const std::function<bool()> &stop) {
    std::vector<UploadJob *> running;
    for (const auto &job : m_running)
        running.push_back(job.get());
    waitAll(running, stop);
    reap();
}

} // namespace jobs
