#pragma once

#include "firmwareimage.h"
#include "resultlog.h"
#include "slots.h"
#include "uploadjob.h"

#include <QJsonObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <vector>

namespace panel {
class Panel;
}

// A run of boards, as any front end has it done: 'upload' and 'enter' (a job per port, all at
// once) or a station (a job on each port a selector matches as it appears). The session reads
// the image and holds it to --sha256, writes each finished board to the results log before it
// tells of it anywhere, keeps the tally, stops on a stop request, and decides the exit code. The
// front end is told what happens through hooks, each with its event object (the JSON of --json),
// and decides only how to show it.
namespace jobs {

// The exit codes a run ends with.
namespace exitcodes {
enum ExitCode {
    kDone = 0,
    kNotAcknowledged = 1,
    kImageRefused = 2,
    kPortNotOpened = 3,
    kUsage = 64,
    kOutputLost = 74,   // EX_IOERR: stdout, stderr or the results log could not be written
    kInterrupted = 130, // SIGINT
    kTerminated = 143,  // SIGTERM or SIGHUP
};
} // namespace exitcodes
using namespace exitcodes;

// The event objects: one JSON object per thing that happens, keys in this order.
namespace events {
QJsonObject start(const QString &port, const QString &image, int records, const QString &sha256);
QJsonObject progress(const QString &port, int acknowledged, int records, int percent);
QJsonObject result(const JobResult &result, int exit);
QJsonObject summary(int loaded, int failed);
} // namespace events

// The outcome of a finished job as the console tells it: the window's words, but for a board
// that loaded and is not on the results log, "Firmware loaded, but not on record".
QString outcomeText(const JobResult &result);

// The exit code of a finished job: 0 done, 1 not acknowledged, 3 port not opened, or the stop
// request's.
int exitCode(const JobResult &result);

// What a run is given.
struct RunSettings {
    QString image;       // the image's name as given
    QByteArray imageRaw; // its bytes as given, for a name that is not valid text
    QString sha256;      // the digest the image's records must have; empty for any
    QString logPath;     // the results log; empty for none
    QString station;     // the station's name, for the log's records
    int waitMs = 0;      // how long each port of an upload may take to appear
    transfer::Timing timing;
    // A station's named slots, in the file's order. With slots, the start, progress and
    // result events (and the station's gone) carry "slot": the label, or null for a port that
    // no slot names; without, they have no such key. The log's records always have it.
    std::vector<Slot> slotList;
};

class Session {
public:
    // What happens, as it happens: on the job's thread for started, progress and finished, on
    // the caller's otherwise.
    enum class Say { Error, Always, Normal, Verbose };
    struct Hooks {
        // A board started (its port found): its index among the ports (-1 on a station), its job.
        std::function<void(int index, const UploadJob &job, const QJsonObject &event)> started;
        std::function<void(int index, const UploadJob &job, int done, int total, int percent,
                           const QJsonObject &event)>
            progress;
        // A board ended, and is in the results log already.
        std::function<void(const JobResult &result, int exit, const QJsonObject &event)> finished;
        // Something to say, and when: Error and Always whatever the verbosity, Normal unless
        // quiet, Verbose with -v only.
        std::function<void(const QString &text, Say say)> note;
        // The run's end (its summary event), always its last word.
        std::function<void(const QJsonObject &event)> ended;
        // Whether the front end can no longer tell of anything: a station then takes no board.
        std::function<bool()> lost;
    };

    Session(RunSettings settings, Hooks hooks);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Reads the image and opens the log; false once either is refused (said, and ended with
    // boards failed): exitCode() tells why.
    bool prepare(int boards);
    const QString &sha256() const { return m_sha256; }
    const transfer::RecordList &records() const { return m_image.records; }

    // A job per port at once, until all end: an upload with the image prepare() read, or the
    // bootloader entry. raw: each port's bytes as given.
    void run(const QStringList &ports, const QByteArrayList &raw, Operation operation);
    // A job on each port of a slot or that selector matches (empty: none) as it appears, until
    // stopped, until the front end is lost, until the log cannot be written, or until count
    // boards have loaded (0: no end).
    void watch(const QString &selector, int count);
    // The panel a station shows itself on: the image, the slots, each board as it goes, and
    // a finished board's device going away. Null: none.
    void show(panel::Panel *panel) { m_panel = panel; }
    // The label of the slot a station's board is on; empty when it is on none.
    QString slotOf(const QString &port) const { return m_labels.value(port); }

    int loaded() const { return m_loaded; }
    int failed() const { return m_failed; }
    // How each port of run() ended, in the order given.
    std::vector<const JobResult *> results() const;
    // The run's exit code: a stop request's, else the log's loss, else the first failure's.
    int exitCode() const;

private:
    void say(const QString &text, Say say) const;
    // Writes the board's line to the log and tells of the board; returns the result as told.
    JobResult record(JobResult result, int exit, const QString &slot = QString());
    // The event with the board's slot, when slots are in use; told to the panel too.
    QJsonObject slotted(QJsonObject event, const QString &slot) const;
    void end();

    const RunSettings m_settings;
    const Hooks m_hooks;
    transfer::LoadedImage m_image;
    QString m_sha256;
    resultlog::ResultLog m_log;
    std::atomic<bool> m_logFailed{false};
    std::vector<std::unique_ptr<UploadJob>> m_jobs;
    int m_loaded = 0;
    int m_failed = 0;
    int m_code = kDone;
    int m_stopCode = 0;
    bool m_batchDone = false;
    panel::Panel *m_panel = nullptr;
    // A station's boards by port: the label of their slot (the caller's thread only).
    QHash<QString, QString> m_labels;
};

} // namespace jobs
