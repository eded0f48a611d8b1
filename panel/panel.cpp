#include "panel.h"

#include "cause.h"

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
    for (int kind = 0; kind <= int(transfer::Cause::Kind::OutputLost); ++kind)
        boards_.emplace(std::make_tuple(QStringLiteral("failed"),
                                        transfer::kindName(transfer::Cause::Kind(kind)), label),
                        0);
    boards_.emplace(std::make_tuple(QStringLiteral("failed"), QStringLiteral("unknown"), label), 0);
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
                     const QString &cause, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    finishedLocked(slot, loaded, causeKind, cause, seconds);
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
    Tile &tile = tileLocked(slot, port);
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
    ++(loaded ? loaded_ : failed_);
    const QString kind = loaded                ? QStringLiteral("none")
                         : causeKind.isEmpty() ? QStringLiteral("unknown")
                                               : causeKind;
    ++boards_[{loaded ? QStringLiteral("loaded") : QStringLiteral("failed"), kind,
               tile.slotted ? slot : unslotted}];
    ++uploads_;
    uploadSeconds_ += seconds;
    for (size_t i = 0; i < bucketBounds.size(); ++i) {
        if (seconds <= bucketBounds[i])
            ++buckets_[i];
    }
}

bool Panel::goneLocked(const QString &slot) {
    auto it = std::find_if(tiles_.begin(), tiles_.end(),
                           [&](const Tile &tile) { return tile.label == slot; });
    if (it == tiles_.end())
        return false;
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
    QJsonArray tiles;
    for (const Tile &tile : tiles_) {
        tiles.append(QJsonObject{
            {"slot", tile.label},
            {"port", tile.port},
            {"state", stateName(tile.state)},
            {"percent", tile.percent},
            {"cause_kind", tile.causeKind.isEmpty() ? QJsonValue() : QJsonValue(tile.causeKind)},
            {"cause", tile.cause.isEmpty() ? QJsonValue() : QJsonValue(tile.cause)},
            {"seconds", tile.seconds}});
    }
    return {{"image", image_},   {"sha256", sha256_}, {"version", version_},
            {"loaded", loaded_}, {"failed", failed_}, {"slots", tiles}};
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
    out += "# HELP bootloader_upload_seconds How long the uploads took, loaded or failed.\n"
           "# TYPE bootloader_upload_seconds histogram\n";
    for (size_t i = 0; i < bucketBounds.size(); ++i) {
        out += "bootloader_upload_seconds_bucket{le=\"" + number(bucketBounds[i]) + "\"} " +
               QByteArray::number(buckets_[i]) + "\n";
    }
    out += "bootloader_upload_seconds_bucket{le=\"+Inf\"} " + QByteArray::number(uploads_) + "\n";
    out += "bootloader_upload_seconds_sum " + number(uploadSeconds_) + "\n";
    out += "bootloader_upload_seconds_count " + QByteArray::number(uploads_) + "\n";
    out += "# HELP bootloader_slot_state Each slot's current state: 1 for it, 0 for the others.\n"
           "# TYPE bootloader_slot_state gauge\n";
    for (const Tile &tile : tiles_) {
        for (State state : {State::Waiting, State::Loading, State::Loaded, State::Failed}) {
            out += "bootloader_slot_state{slot=\"" + labelValue(tile.label) + "\",state=\"" +
                   stateName(state) + "\"} " + (tile.state == state ? "1" : "0") + "\n";
        }
    }
    out += "# HELP bootloader_info The program's version and the image it loads.\n"
           "# TYPE bootloader_info gauge\n";
    out += "bootloader_info{version=\"" + labelValue(version_) + "\",image=\"" +
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
