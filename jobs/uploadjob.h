#pragma once

#include "cause.h"
#include "device.h"
#include "firmwareimage.h"
#include "ports.h"
#include "portwatch.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// One device operation on one port, on a thread of its own: from waiting for the port to appear
// to the cause of its outcome. A session runs one per port, or one per board of a station; the
// benchmark runs many.
namespace jobs {

enum class Operation { Upload, EnterBootloader };

// One board, as its job tells of it: made by the job, and handed on as it is to the session,
// the results log and every front end, each of which maps it once. Known from the start on:
// port, path, slot, serial, usb, image and records; the rest once the job has ended.
struct BoardResult {
    QString port;   // the operand, or the name a station took
    QString path;   // the file opened for it; empty when it named no port
    QString slot;   // the label of the station's slot the port is; empty for none
    QString serial; // the port's USB serial number; empty when unknown
    QString usb;    // VID:PID[:SERIAL] of the port's USB adapter; empty when none or unknown
    QString image;  // the image's name as given, and the SHA-256 of its records
    QString sha256;
    // The board's own identity, as the unit command printed it (empty when it failed); unset
    // without a unit command.
    std::optional<QString> unit;
    transfer::Outcome outcome = transfer::Outcome::PortNotOpened;
    // Why it failed; none on success.
    std::optional<transfer::Cause> cause;
    int acknowledged = 0;
    int records = 0;
    int sends = 0; // every send of the operation, resends included
    double seconds = 0;
    // Whether the board's line is in the results log: unset when no log is kept, false (with
    // why, e.g. "not on the log /srv/log.jsonl: No such file or directory") when its line could
    // not be written.
    std::optional<bool> onRecord;
    QString notOnRecord;
    bool ok() const { return transfer::isSuccess(outcome); }
    // What it reached the device by: the path opened, else the operand.
    QString where() const { return path.isEmpty() ? port : path; }
    // Stopped on request before it could succeed.
    bool interrupted() const { return isCause(transfer::Cause::Kind::Interrupted); }
    // A second name of a device this process has in use already (the cause names the other) is
    // no board: it is neither loaded nor failed, and nothing tells of it.
    bool secondName() const { return isCause(transfer::Cause::Kind::SameDevice); }
    bool isCause(transfer::Cause::Kind kind) const { return cause && cause->kind == kind; }
    // The cause as a person reads it; empty on success.
    QString causeText() const { return cause ? cause->text() : QString(); }
    // The word of the cause's kind (transfer::kindName()); empty on success.
    QString causeKind() const { return cause ? transfer::kindName(cause->kind) : QString(); }
};

class UploadJob : public QObject {
    Q_OBJECT

public:
    // records: what an upload sends; they must outlive the job. waitMs: how long to wait for the
    // port to appear. raw: the port's bytes as given, for a name that is not valid text.
    UploadJob(const QString &port, Operation operation, const transfer::RecordList &records,
              int waitMs = 0, const QByteArray &raw = QByteArray(),
              const transfer::Timing &timing = transfer::Timing());
    // An upload to a port a station's watch took, from what it learned of the port: the port
    // is neither waited for nor examined again.
    UploadJob(const QString &port, const transfer::RecordList &records,
              const ports::PortFacts &facts, const transfer::Timing &timing);
    ~UploadJob() override;

    // The image's name and digest, for the result to carry; before start().
    void setImage(const QString &name, const QString &sha256);

    // The command that names the board's unit before its upload (see runUnitCommand()); empty
    // for none. Before start().
    void setUnitCommand(const QString &command) { m_unitCommand = command; }

    // Runs the job on its own thread.
    void start();
    // Waits up to ms for the end; true once it ended.
    bool wait(int ms);
    // Safe from any thread: ends the job after its current send (or its wait for the port).
    void requestStop();

    const QString &port() const { return m_result.port; }
    // What the watch learned of the port; null for a job given a name alone.
    const ports::PortFacts *facts() const { return m_facts ? &*m_facts : nullptr; }
    // What the job tells of its board: complete once wait() said it ended (or from finished()).
    const BoardResult &result() const { return m_result; }
    // Whether the job's board is on the results log, and why not, once its line was written or
    // refused (from finished(), on the job's thread).
    void setOnRecord(std::optional<bool> onRecord, const QString &why) {
        m_result.onRecord = onRecord;
        m_result.notOnRecord = why;
    }

signals:
    // Each is emitted on the job's thread; connect directly.
    // The port was found (what result() knows from the start on is set), before it is opened.
    void started();
    void progress(int done, int total, int percent);
    void finished();

private:
    void run();
    // Runs the unit command: true once it named the board's unit; else m_unitFailure says how
    // it failed (empty: it printed nothing).
    bool nameUnit();

    const Operation m_operation;
    const transfer::RecordList &m_records;
    const int m_waitMs;
    const QByteArray m_raw;
    const transfer::Timing m_timing;
    const std::optional<ports::PortFacts> m_facts;
    QString m_unitCommand;
    QString m_unitFailure;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    // The device of the running operation, for a stop request to reach.
    std::mutex m_deviceMutex;
    transfer::Device *m_device = nullptr;
    BoardResult m_result;
};

// How long a unit command may run.
constexpr int kUnitCommandMs = 30000;

// Runs command through /bin/sh -c with the board's slot, port, path and USB identity in its
// environment, until it ends, timeoutMs passes or stop says to stop (asked every 50 ms). The
// first line it printed, trimmed; or, when that is empty or the command failed, nullopt with
// how it failed in *failure (left empty when it printed nothing).
std::optional<QString> runUnitCommand(const QString &command, const BoardResult &board,
                                      const std::function<bool()> &stop, QString *failure,
                                      int timeoutMs = kUnitCommandMs);

// Waits for every job to end, asking each to stop once stop() holds.
void waitAll(const std::vector<UploadJob *> &jobs, const std::function<bool()> &stop);

} // namespace jobs
