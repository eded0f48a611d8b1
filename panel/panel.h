#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

namespace panel {

// One browser's share of the event stream: a bounded queue of SSE messages. The panel never
// waits for it; when the queue is full the subscription is cut and the client disconnected.
class Subscription {
public:
    static constexpr size_t capacity = 256;

    // Waits up to `wait` for messages and moves them into `out`. False once the subscription
    // has been cut (queue overflow or closeAll()): the client is to be disconnected.
    bool take(std::deque<QByteArray> &out, std::chrono::milliseconds wait);

private:
    friend class Panel;
    void push(const QByteArray &message);
    void cut();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QByteArray> queue_;
    bool cut_ = false;
};

// What the station's screen shows: the image, one tile per slot and the counts, plus the
// metrics. Every call is thread-safe, takes the panel's lock only briefly, and never blocks on
// a client. A front end makes one call per thing that happens; each goes to the event stream.
// slot: the tile's label, the port standing in for a board no slot names.
class Panel {
public:
    enum class State { Waiting, Loading, Loaded, Failed };
    // Screens beside a fixture and a few more: each stream holds a server thread.
    static constexpr size_t maxSubscriptions = 32;
    // Upper bounds of the upload duration histogram, in seconds: about a fifth apart from 1 s
    // to 10 min, so that a quantile of loads of a few seconds is off by a fraction of one.
    static constexpr std::array<double, 24> bucketBounds{1,  1.5,  2,   3,   4,   5,   6,   7.5,
                                                         10, 12.5, 15,  20,  25,  30,  40,  50,
                                                         60, 90,   120, 180, 240, 300, 420, 600};
    // How long a failed tile whose board was pulled keeps its failure before it shows Waiting,
    // unless a board starts on it first.
    static constexpr std::chrono::milliseconds failureHold{8000};

    Panel();
    // The image being loaded, and the program's version (for bootloader_build_info).
    void setImage(const QString &name, const QString &sha256, const QString &version);
    // The station's name (--station), shown on the page; empty for none.
    void setStation(const QString &name);
    // A named slot, in the order of the slots file. Ports seen without slots are added as they
    // come by started(), forgotten when they go, and counted under the slot "unslotted".
    void addSlot(const QString &label, const QString &port);
    void started(const QString &slot, const QString &port, qint64 records);
    void progress(const QString &slot, double percent);
    // resends: the sends beyond one per record sent.
    void finished(const QString &slot, bool loaded, const QString &causeKind, const QString &cause,
                  double seconds, int resends = 0);
    // The board was unplugged: its tile returns to Waiting, a failure once held failureHold.
    void gone(const QString &slot);

    QJsonObject status() const;
    QByteArray metrics() const;

    // Null when maxSubscriptions clients are already subscribed.
    std::shared_ptr<Subscription> subscribe();
    void unsubscribe(const std::shared_ptr<Subscription> &subscription);
    // Cuts every subscription, so that the streams end (the server stopping).
    void closeAll();

private:
    struct Tile {
        QString label;
        QString port;
        State state = State::Waiting;
        int percent = 0;
        QString causeKind;
        QString cause;
        double seconds = 0;
        // Named by the slots file: kept when its board goes, and counted under its label.
        bool slotted = false;
        // When its failed board went: the failure is shown until failureHold after it.
        std::optional<std::chrono::steady_clock::time_point> goneAt;
    };
    // What the series of one slot (or of "unslotted") hold beyond the boards' counts.
    struct SlotFigures {
        quint64 consecutiveFailures = 0;
        double lastLoaded = 0; // seconds since the epoch; 0 for never
        quint64 resends = 0;
    };
    using Histogram = std::array<quint64, bucketBounds.size()>;

    // Waiting once a held failure's time is up.
    static State shownState(const Tile &tile, std::chrono::steady_clock::time_point now);
    // Forgets the tiles of ports no slot names whose held failure is over.
    void pruneLocked(std::chrono::steady_clock::time_point now);
    void countSlotLocked(const QString &slot);

    Tile &tileLocked(const QString &slot, const QString &port);
    bool startedLocked(const QString &slot, const QString &port);
    bool progressLocked(const QString &slot, double percent);
    void finishedLocked(const QString &slot, bool loaded, const QString &causeKind,
                        const QString &cause, double seconds);
    bool goneLocked(const QString &slot);
    void publishLocked(const QJsonObject &event);

    mutable std::mutex mutex_;
    QString image_, sha256_, version_, station_;
    // When the panel began counting, since the epoch, in seconds.
    double startTime_ = 0;
    std::vector<Tile> tiles_;
    int loaded_ = 0;
    int failed_ = 0;
    // bootloader_boards_total by (result, cause kind, slot).
    std::map<std::tuple<QString, QString, QString>, quint64> boards_;
    // The upload histogram, for loaded (0) and failed (1) boards.
    std::array<Histogram, 2> buckets_{};
    std::array<quint64, 2> uploads_{};
    std::array<double, 2> uploadSeconds_{};
    std::map<QString, SlotFigures> figures_;
    std::vector<std::shared_ptr<Subscription>> subscriptions_;
};

} // namespace panel
