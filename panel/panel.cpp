#include "panel.h"

#include "cause.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace panel {

namespace {

const char *stateName(Panel::State state) {
    switch (state) {
    case Panel::State::Waiting:
        return "waiting";
    case Panel::State::Loading:
        return "loading";
    case Panel::State::Loaded:
        return "loaded";
    case Panel::State::Failed:
        return "failed";
    }
    return "waiting";
}

// A label value of the Prometheus text format: backslash, double quote and line feed escaped.
QByteArray labelValue(const QString &value) {
    QByteArray out;
    for (char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// The slot that counts the boards of the ports no slot names: however many such ports come and
// go, the series stay few.
const QString unslotted = QStringLiteral("unslotted");

QByteArray number(double value) {
    return QByteArray::number(value, 'g', 15);
}

} // namespace

bool Subscription::take(std::deque<QByteArray> &out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return cut_ || !queue_.empty(); });
    if (cut_)
        return false;
    for (auto &message : queue_)
        out.push_back(std::move(message));
    queue_.clear();
    return true;
}

void Subscription::push(const QByteArray &message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cut_)
            return;
        if (queue_.size() >= capacity) {
            // A client that does not keep up is cut off rather than queued for without bound.
            cut_ = true;
            queue_.clear();
        } else {
            queue_.push_back(message);
        }
    }
    ready_.notify_one();
}

void Subscription::cut() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cut_ = true;
        queue_.clear();
    }
    ready_.notify_one();
}

Panel::Panel()
    : startTime_(double(QDateTime::currentMSecsSinceEpoch()) / 1000) {}

void Panel::setStation(const QString &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    station_ = name;
    publishLocked({{"event", "station"}, {"station", name}});
}

void Panel::setImage(const QString &name, const QString &sha256, const QString &version) {
    std::lock_guard<std::mutex> lock(mutex_);
    image_ = name;
    sha256_ = sha256;
    version_ = version;
    publishLocked({{"event", "image"}, {"image", name}, {"sha256", sha256}});
}

void Panel::addSlot(const QString &label, const QString &port) {
    std::lock_guard<std::mutex> lock(mutex_);
    tileLocked(label, port).slotted = true;
    // Every count of the slot exists from the start, at 0, so that the first board of each
    // is counted by the rates of a scraper that saw the series before it.
    boards_.emplace(std::make_tuple(QStringLiteral("loaded"), QStringLiteral("none"), label), 0);
    for (int kind = 0; kind <= int(transfer::Cause::Kind::UnitUnknown); ++kind)
        boards_.emplace(std::make_tuple(QStringLiteral("failed"),
                                        transfer::kindName(transfer::Cause::Kind(kind)), label),
                        0);
    boards_.emplace(std::make_tuple(QStringLiteral("failed"), QStringLiteral("unknown"), label), 0);
    countSlotLocked(label);
    publishLocked({{"event", "slot"}, {"slot", label}, {"port", port}});
}

void Panel::started(const QString &slot, const QString &port, qint64 records) {
    std::lock_guard<std::mutex> lock(mutex_);
    startedLocked(slot, port);
    publishLocked({{"event", "start"},
                   {"slot", slot},
                   {"port", port},
                   {"image", image_},
                   {"records", records},
                   {"sha256", sha256_}});
}

void Panel::progress(const QString &slot, double percent) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only a change of the whole percent shown reaches the browsers.
    if (progressLocked(slot, percent))
        publishLocked({{"event", "progress"}, {"slot", slot}, {"percent", percent}});
}

void Panel::finished(const QString &slot, bool loaded, const QString &causeKind,
                     const QString &cause, double seconds, int resends) {
    std::lock_guard<std::mutex> lock(mutex_);
    finishedLocked(slot, loaded, causeKind, cause, seconds);
    SlotFigures &figures = figures_[tileLocked(slot, QString()).slotted ? slot : unslotted];
    figures.resends += quint64(std::max(0, resends));
    publishLocked({{"event", "result"},
                   {"slot", slot},
                   {"ok", loaded},
                   {"cause_kind", causeKind.isEmpty() ? QJsonValue() : QJsonValue(causeKind)},
                   {"cause", cause.isEmpty() ? QJsonValue() : QJsonValue(cause)},
                   {"seconds", seconds}});
}

void Panel::gone(const QString &slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (goneLocked(slot))
        publishLocked({{"event", "gone"}, {"slot", slot}});
}

void Panel::countSlotLocked(const QString &slot) {
    figures_.emplace(slot, SlotFigures());
}

Panel::State Panel::shownState(const Tile &tile, std::chrono::steady_clock::time_point now) {
    if (tile.goneAt && now - *tile.goneAt >= failureHold)
        return State::Waiting;
    return tile.state;
}

void Panel::pruneLocked(std::chrono::steady_clock::time_point now) {
    tiles_.erase(std::remove_if(tiles_.begin(), tiles_.end(),
                                [now](const Tile &tile) {
                                    return !tile.slotted && tile.goneAt &&
                                           now - *tile.goneAt >= failureHold;
                                }),
                 tiles_.end());
}

Panel::Tile &Panel::tileLocked(const QString &slot, const QString &port) {
    auto it = std::find_if(tiles_.begin(), tiles_.end(),
                           [&](const Tile &tile) { return tile.label == slot; });
    if (it != tiles_.end()) {
        if (!port.isEmpty())
            it->port = port;
        return *it;
    }
    Tile tile;
    tile.label = slot;
    tile.port = port.isEmpty() ? slot : port;
    tiles_.push_back(tile);
    return tiles_.back();
}

bool Panel::startedLocked(const QString &slot, const QString &port) {
    pruneLocked(std::chrono::steady_clock::now());
    Tile &tile = tileLocked(slot, port);
    tile.goneAt.reset();
    tile.state = State::Loading;
    tile.percent = 0;
    tile.causeKind.clear();
    tile.cause.clear();
    return true;
}

bool Panel::progressLocked(const QString &slot, double percent) {
    Tile &tile = tileLocked(slot, QString());
    const int whole = std::clamp(static_cast<int>(std::floor(percent)), 0, 100);
    if (tile.state == State::Loading && tile.percent == whole)
        return false;
    tile.goneAt.reset();
    tile.state = State::Loading;
    tile.percent = whole;
    return true;
}

void Panel::finishedLocked(const QString &slot, bool loaded, const QString &causeKind,
                           const QString &cause, double seconds) {
    Tile &tile = tileLocked(slot, QString());
    tile.state = loaded ? State::Loaded : State::Failed;
    tile.percent = loaded ? 100 : tile.percent;
    tile.causeKind = loaded ? QString() : causeKind;
    tile.cause = loaded ? QString() : cause;
    tile.seconds = seconds;
    tile.goneAt.reset();
    ++(loaded ? loaded_ : failed_);
    SlotFigures &figures = figures_[tile.slotted ? slot : unslotted];
    if (loaded) {
        figures.consecutiveFailures = 0;
        figures.lastLoaded = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
    } else {
        ++figures.consecutiveFailures;
    }
    const QString kind = loaded                ? QStringLiteral("none")
                         : causeKind.isEmpty() ? QStringLiteral("unknown")
                                               : causeKind;
    ++boards_[{loaded ? QStringLiteral("loaded") : QStringLiteral("failed"), kind,
               tile.slotted ? slot : unslotted}];
    const size_t result = loaded ? 0 : 1;
    ++uploads_[result];
    uploadSeconds_[result] += seconds;
    for (size_t i = 0; i < bucketBounds.size(); ++i) {
        if (seconds <= bucketBounds[i])
            ++buckets_[result][i];
    }
}

bool Panel::goneLocked(const QString &slot) {
    auto it = std::find_if(tiles_.begin(), tiles_.end(),
                           [&](const Tile &tile) { return tile.label == slot; });
    if (it == tiles_.end() || it->goneAt)
        return false;
    if (it->state == State::Failed) {
        // Held, so that whoever is at the fixture reads why before the tile is free again.
        it->goneAt = std::chrono::steady_clock::now();
        return true;
    }
    if (!it->slotted) {
        tiles_.erase(it);
        return true;
    }
    if (it->state == State::Waiting)
        return false;
    it->state = State::Waiting;
    it->percent = 0;
    it->causeKind.clear();
    it->cause.clear();
    return true;
}

void Panel::publishLocked(const QJsonObject &event) {
    const QByteArray message =
        "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
    for (const auto &subscription : subscriptions_)
        subscription->push(message);
}

QJsonObject Panel::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    QJsonArray tiles;
    for (const Tile &tile : tiles_) {
        const State state = shownState(tile, now);
        if (!tile.slotted && tile.goneAt && state == State::Waiting)
            continue; // its port is gone, and its failure shown long enough
        const bool failed = state == State::Failed;
        QJsonObject shown{
            {"slot", tile.label},
            {"port", tile.port},
            {"state", stateName(state)},
            {"percent", state == State::Waiting ? 0 : tile.percent},
            {"cause_kind",
             failed && !tile.causeKind.isEmpty() ? QJsonValue(tile.causeKind) : QJsonValue()},
            {"cause", failed && !tile.cause.isEmpty() ? QJsonValue(tile.cause) : QJsonValue()},
            {"seconds", tile.seconds}};
        // A held failure: the milliseconds until the tile shows Waiting.
        if (tile.goneAt && failed)
            shown.insert("waiting_in", qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  failureHold - (now - *tile.goneAt))
                                                  .count()));
        tiles.append(shown);
    }
    return {
        {"image", image_},
        {"sha256", sha256_},
        {"version", version_},
        {"station", station_},
        {"since",
         QDateTime::fromMSecsSinceEpoch(qint64(startTime_ * 1000), Qt::UTC).toString(Qt::ISODate)},
        {"loaded", loaded_},
        {"failed", failed_},
        {"slots", tiles}};
}

QByteArray Panel::metrics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    QByteArray out;
    out += "# HELP bootloader_boards_total Boards the station finished, by result, cause kind "
           "and slot.\n# TYPE bootloader_boards_total counter\n";
    for (const auto &[key, count] : boards_) {
        out += "bootloader_boards_total{result=\"" + labelValue(std::get<0>(key)) +
               "\",cause_kind=\"" + labelValue(std::get<1>(key)) + "\",slot=\"" +
               labelValue(std::get<2>(key)) + "\"} " + QByteArray::number(count) + "\n";
    }
    out += "# HELP bootloader_upload_seconds How long the uploads took, by result.\n"
           "# TYPE bootloader_upload_seconds histogram\n";
    for (size_t result = 0; result < 2; ++result) {
        const QByteArray label = result == 0 ? "result=\"loaded\"" : "result=\"failed\"";
        for (size_t i = 0; i < bucketBounds.size(); ++i) {
            out += "bootloader_upload_seconds_bucket{" + label + ",le=\"" +
                   number(bucketBounds[i]) + "\"} " + QByteArray::number(buckets_[result][i]) +
                   "\n";
        }
        out += "bootloader_upload_seconds_bucket{" + label + ",le=\"+Inf\"} " +
               QByteArray::number(uploads_[result]) + "\n";
        out +=
            "bootloader_upload_seconds_sum{" + label + "} " + number(uploadSeconds_[result]) + "\n";
        out += "bootloader_upload_seconds_count{" + label + "} " +
               QByteArray::number(uploads_[result]) + "\n";
    }
    const auto now = std::chrono::steady_clock::now();
    out += "# HELP bootloader_slot_state Each slot's current state: 1 for it, 0 for the others.\n"
           "# TYPE bootloader_slot_state gauge\n";
    for (const Tile &tile : tiles_) {
        const State shown = shownState(tile, now);
        if (!tile.slotted && tile.goneAt && shown == State::Waiting)
            continue;
        for (State state : {State::Waiting, State::Loading, State::Loaded, State::Failed}) {
            out += "bootloader_slot_state{slot=\"" + labelValue(tile.label) + "\",state=\"" +
                   stateName(state) + "\"} " + (shown == state ? "1" : "0") + "\n";
        }
    }
    const auto perSlot = [&](const char *name, const char *type, const char *help,
                             const auto &value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (const auto &[slot, figures] : figures_)
            out +=
                QByteArray(name) + "{slot=\"" + labelValue(slot) + "\"} " + value(figures) + "\n";
    };
    perSlot("bootloader_slot_consecutive_failures", "gauge",
            "Boards that failed in a row on the slot since its last loaded one.",
            [](const SlotFigures &f) { return QByteArray::number(f.consecutiveFailures); });
    perSlot("bootloader_slot_last_loaded_timestamp_seconds", "gauge",
            "When the slot's last board loaded, since the epoch; 0 for none yet.",
            [](const SlotFigures &f) { return number(f.lastLoaded); });
    perSlot("bootloader_resends_total", "counter",
            "Records sent again because a send went unanswered, by slot.",
            [](const SlotFigures &f) { return QByteArray::number(f.resends); });
    out += "# HELP process_start_time_seconds When the station started, since the epoch.\n"
           "# TYPE process_start_time_seconds gauge\n"
           "process_start_time_seconds " +
           number(startTime_) + "\n";
    out += "# HELP bootloader_build_info The program's version.\n"
           "# TYPE bootloader_build_info gauge\n"
           "bootloader_build_info{version=\"" +
           labelValue(version_) + "\"} 1\n";
    out += "# HELP bootloader_info The station and the image it loads.\n"
           "# TYPE bootloader_info gauge\n";
    out += "bootloader_info{station=\"" + labelValue(station_) + "\",image=\"" +
           labelValue(image_) + "\",sha256=\"" + labelValue(sha256_) + "\"} 1\n";
    return out;
}

std::shared_ptr<Subscription> Panel::subscribe() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (subscriptions_.size() >= maxSubscriptions)
        return nullptr;
    subscriptions_.push_back(std::make_shared<Subscription>());
    return subscriptions_.back();
}

void Panel::unsubscribe(const std::shared_ptr<Subscription> &subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(std::remove(subscriptions_.begin(), subscriptions_.end(), subscription),
                         subscriptions_.end());
}

void Panel::closeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &subscription : subscriptions_)
        subscription->cut();
}

} // namespace panel
