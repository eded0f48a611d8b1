#include "output.h"

#include "exitcodes.h"
#include "stopsignals.h"

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace cli::output {

using namespace jobs::exitcodes;

namespace {

// Pieces queued before those that may be left out are: a few hundred lines, a few hundred
// milliseconds of progress of several boards at full speed.
constexpr size_t kBound = 256;
// How long the end waits for the writer once a stop was requested.
constexpr std::chrono::milliseconds kStopGrace{1000};

std::atomic<bool> stdoutLost{false};
std::atomic<bool> stderrLost{false};

bool writeWhole(Stream stream, const QByteArray &bytes) {
    std::FILE *file = stream == Stream::Stdout ? stdout : stderr;
    std::atomic<bool> &streamLost = stream == Stream::Stdout ? stdoutLost : stderrLost;
    if (streamLost)
        return false;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    if (std::fflush(file) != 0 || !written) {
        streamLost = true;
        return false;
    }
    return true;
}

struct Piece {
    Stream stream;
    QByteArray bytes;
    Kind kind;
};

// The queue and its writer. Never destroyed: a writer blocked for good must not hold up, or
// abort, the end of the process.
struct Queue {
    std::mutex mutex;
    std::condition_variable queued;  // to the writer
    std::condition_variable written; // from the writer: nothing queued, nothing being written
    std::deque<Piece> pieces;
    bool writing = false;
    bool ending = false;
    qint64 progressLeftOut = 0;
    qint64 traceLeftOut = 0;
    std::thread writer;

    bool idle() const { return pieces.empty() && !writing; }

    // Writes the pieces in order, those of one stream that wait together in one write.
    void writeAll() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            queued.wait(lock, [this] { return !pieces.empty() || ending; });
            if (pieces.empty())
                return;
            const Stream stream = pieces.front().stream;
            QByteArray bytes;
            while (!pieces.empty() && pieces.front().stream == stream) {
                bytes += pieces.front().bytes;
                pieces.pop_front();
            }
            writing = true;
            lock.unlock();
            writeWhole(stream, bytes);
            lock.lock();
            writing = false;
            if (pieces.empty())
                written.notify_all();
        }
    }

    // Called with the mutex held.
    void add(Stream stream, const QByteArray &bytes, Kind kind) {
        if (ending)
            return;
        if (pieces.size() >= kBound) {
            const auto oldest = std::find_if(pieces.begin(), pieces.end(), [](const Piece &piece) {
                return piece.kind != Kind::Kept;
            });
            const Kind leftOut = oldest != pieces.end() ? oldest->kind : kind;
            if (leftOut != Kind::Kept)
                ++(leftOut == Kind::Trace ? traceLeftOut : progressLeftOut);
            if (oldest != pieces.end())
                pieces.erase(oldest);
            else if (kind != Kind::Kept)
                return;
        }
        pieces.push_back({stream, bytes, kind});
        if (!writer.joinable())
            writer = std::thread([this] { writeAll(); });
        queued.notify_one();
    }

    // Called with the mutex held: the one line that tells what was left out, if anything was.
    void sayLeftOut() {
        QStringList counts;
        if (progressLeftOut > 0)
            counts << QStringLiteral("%1 progress events").arg(progressLeftOut);
        if (traceLeftOut > 0)
            counts << QStringLiteral("%1 trace lines").arg(traceLeftOut);
        if (!counts.isEmpty())
            add(Stream::Stderr,
                QStringLiteral(
                    "bootloader-cli: the output's reader fell behind: %1 were left out\n")
                    .arg(counts.join(QStringLiteral(" and ")))
                    .toLocal8Bit(),
                Kind::Kept);
    }
};

Queue &theQueue() {
    static Queue *const queue = new Queue;
    return *queue;
}

void waitWritten() {
    Queue &queue = theQueue();
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.written.wait(lock, [&] { return queue.idle(); });
}

} // namespace

void queue(Stream stream, const QByteArray &bytes, Kind kind) {
    Queue &queue = theQueue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.add(stream, bytes, kind);
}

bool toStdout(const QByteArray &bytes) {
    waitWritten();
    return writeWhole(Stream::Stdout, bytes);
}

bool lost() {
    return stdoutLost || stderrLost;
}

int exitCode(int code) {
    Queue &queue = theQueue();
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.sayLeftOut();
        std::chrono::steady_clock::time_point giveUp = std::chrono::steady_clock::time_point::max();
        while (!queue.idle()) {
            const int stop = jobs::stopsignals::requestedExitCode();
            if (stop != 0 && giveUp == std::chrono::steady_clock::time_point::max())
                giveUp = std::chrono::steady_clock::now() + kStopGrace;
            if (std::chrono::steady_clock::now() >= giveUp)
                std::_Exit(stop); // the writer is stuck in a write; the rest is lost
            queue.written.wait_for(lock, std::chrono::milliseconds(50));
        }
        queue.ending = true;
    }
    queue.queued.notify_all();
    if (queue.writer.joinable())
        queue.writer.join();
    // What is still buffered counts too.
    if (std::fflush(stdout) != 0)
        stdoutLost = true;
    if (std::fflush(stderr) != 0)
        stderrLost = true;
    return code == kDone && lost() ? int(kOutputLost) : code;
}

} // namespace cli::output
