#pragma once

#include "portnotify.h"
#include "portwatch.h"
#include "uploadjob.h"

#include <functional>
#include <list>
#include <memory>

namespace jobs {

// A station: the ports a selector matches, each serial port uploaded to by a job of its own as
// it appears, one board per device, a name taken anew when it comes back, and, as a batch, no
// more boards than a count still needs. The caller waits for the ports to change (wait()), looks
// (step()) and says when to end (finish()); what happens comes back through the hooks, on the
// caller's thread but for the job's own signals. The ports are looked at when the system tells
// of a change (see PortNotifier), when a board ends, and every kLookMs besides.
class Station {
public:
    static constexpr qint64 kLookMs = 5000;
    static constexpr int kReapMs = 50;

    struct Hooks {
        // A job was made for a new port, before it starts: connect to its signals here.
        std::function<void(UploadJob &job)> made;
        // A board ended: loaded, failed or interrupted. Never called for a second name of a
        // device already being loaded, which is no board.
        std::function<void(const BoardResult &result)> finished;
        // Something passed over, or the wait for a first port; verbose: worth saying with -v only.
        std::function<void(const QString &text, bool verbose)> note;
        // A board's device went away (unplugged): told after its board ended. slot: its slot's
        // label, empty for none.
        std::function<void(const QString &port, const QString &slot)> gone;
    };

    // selectors: the ports taken in, each with its slot (a job's facts carry it). timing: the
    // uploads' time-outs. count: the boards of a batch, 0 for no end. noticeMs: how
    // long without any port matching before saying so, once.
    Station(ports::SelectorList selectors, const transfer::RecordList &records,
            const transfer::Timing &timing, Hooks hooks, int count = 0, qint64 noticeMs = 10000);
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Reports the boards that ended; then, when takeNew holds and the batch still needs boards,
    // starts a job on each new port, if the ports may have changed. nowMs: the time since the
    // station started.
    void step(bool takeNew, qint64 nowMs);
    // Waits for the ports to change (returns at once when they did), for the next look, for
    // wakeFd to be readable (-1: none), or, while boards run, kReapMs for them to end. nowMs: the
    // time since the station started. Returns at once once a batch has loaded in full.
    void wait(qint64 nowMs, int wakeFd = -1);
    // Waits for the jobs still running, stopping them once stop() holds, and reports them.
    void finish(const std::function<bool()> &stop);

    int loaded() const { return m_loaded; }
    int failed() const { return m_failed; }
    // Whether the batch has loaded all its boards (never without a count).
    bool batchDone() const { return m_count > 0 && m_loaded >= m_count; }

private:
    bool reap();

    const transfer::RecordList &m_records;
    const Hooks m_hooks;
    const int m_count;
    const transfer::Timing m_timing;
    const ports::SelectorList m_selectors;
    const qint64 m_noticeMs;
    ports::PortWatch m_watch;
    ports::PortNotifier m_notifier;
    // Whether the ports are to be looked at, and when they are next looked at anyway.
    bool m_look = true;
    qint64 m_nextLookMs = 0;
    std::list<std::unique_ptr<UploadJob>> m_running;
    // Boards whose device went away while their job still ran: told of once it ends.
    QList<ports::PortWatch::Gone> m_goneLater;
    int m_loaded = 0;
    int m_failed = 0;
};

} // namespace jobs
