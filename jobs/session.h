#pragma once

#include "exitcodes.h"
#include "firmwareimage.h"
#include "resultlog.h"
#include "slots.h"
#include "uploadjob.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <vector>

// A run of boards, as any front end has it done: 'upload' and 'enter' (a job per port, all at
// once) or a station (a job on each port a selector matches as it appears). The session reads
// the image and holds it to --sha256, writes each finished board to the results log before it
// tells of it anywhere, keeps the tally, stops on a stop request, and decides the exit code. The
// front end is told what happens through hooks, each with the board's BoardResult, and decides
// only how to show it.
namespace jobs {

// A stop request, as the session is given it: the exit code it calls for (0: none yet), and a
// descriptor that becomes readable at the first request (-1: none).
struct StopRequest {
    std::function<int()> code = [] { return 0; };
    int wakeFd = -1;
};

// The outcome of a finished board as the console tells it: the window's words, but for a board
// that loaded and is not on the results log, "Firmware loaded, but not on record".
QString outcomeText(const BoardResult &result);

// What a run is given.
struct RunSettings {
    QString image;       // the image's name as given
    QByteArray imageRaw; // its bytes as given, for a name that is not valid text
    QString sha256;      // the digest the image's records must have; empty for any
    QString logPath;     // the results log; empty for none
    QString station;     // the station's name, for the log's records
    QString unitCommand; // names each board's unit before its upload; empty for none
    int waitMs = 0;      // how long each port of an upload may take to appear
    transfer::Timing timing;
    // A station's named slots, in the file's order; each board carries its slot's label.
    std::vector<Slot> slotList;
};

class Session {
public:
    // What happens, as it happens: on the job's thread for started, progress and finished, on
    // the caller's otherwise.
    enum class Say { Error, Always, Normal, Verbose };
    struct Hooks {
        // A board started (its port found): its index among the ports (-1 on a station), and
        // what is known of it so far.
        std::function<void(int index, const BoardResult &board)> started;
        std::function<void(int index, const BoardResult &board, int done, int total, int percent)>
            progress;
        // A board ended, and is in the results log already; exit: its exit code.
        std::function<void(const BoardResult &board, int exit)> finished;
        // A station's board's device went away (unplugged), after its board ended. slot: its
        // slot's label, empty for none.
        std::function<void(const QString &port, const QString &slot)> gone;
        // Something to say, and when: Error and Always whatever the verbosity, Normal unless
        // quiet, Verbose with -v only.
        std::function<void(const QString &text, Say say)> note;
        // The run's end, with its tally: always its last word.
        std::function<void(int loaded, int failed)> ended;
        // Whether the front end can no longer tell of anything: a station then takes no board.
        std::function<bool()> lost;
    };

    Session(RunSettings settings, Hooks hooks, StopRequest stop = StopRequest());
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

    int loaded() const { return m_loaded; }
    int failed() const { return m_failed; }
    // How each port of run() ended, in the order given.
    std::vector<const BoardResult *> results() const;
    // The run's exit code: a stop request's, else the log's loss, else the first failure's.
    int exitCode() const;
    // A finished board's exit code: 0 done, 1 not acknowledged, 2 image refused, 3 port not
    // opened, or the stop request's.
    int exitCode(const BoardResult &result) const;

private:
    void say(const QString &text, Say say) const;
    // Tells the front end of job's start and progress; index: its port's, -1 on a station.
    void tellOf(UploadJob &job, int index);
    // Logs a finished board, then tells of it; returns the result as told.
    BoardResult record(BoardResult result, int exit);
    void end();
    int stopCode() const { return m_stop.code(); }

    const RunSettings m_settings;
    const Hooks m_hooks;
    const StopRequest m_stop;
    transfer::LoadedImage m_image;
    QString m_sha256;
    resultlog::ResultLog m_log;
    std::atomic<bool> m_logFailed{false};
    std::vector<std::unique_ptr<UploadJob>> m_jobs;
    int m_loaded = 0;
    int m_failed = 0;
    int m_code = exitcodes::kDone;
    int m_stopCode = 0;
    bool m_batchDone = false;
};

} // namespace jobs
