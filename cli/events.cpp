#include "events.h"

#include "resultlog.h"

#include <QJsonDocument>

#include <cmath>

namespace cli::events {

namespace {

bool isEnabled = false;
bool isSlotted = false;
bool withProgress = true;

QJsonObject withSlot(QJsonObject event, const QString &slot) {
    if (isSlotted)
        event.insert(QStringLiteral("slot"), resultlog::textOrNull(slot));
    return event;
}

} // namespace

void setEnabled(bool enabled, bool slotted) {
    isEnabled = enabled;
    isSlotted = slotted;
}

QJsonObject start(const jobs::BoardResult &board) {
    return withSlot({{"event", "start"},
                     {"port", board.port},
                     {"image", board.image},
                     {"records", board.records},
                     {"sha256", board.sha256}},
                    board.slot);
}

QJsonObject progress(const jobs::BoardResult &board, int acknowledged, int records, int percent) {
    return withSlot({{"event", "progress"},
                     {"port", board.port},
                     {"acknowledged", acknowledged},
                     {"records", records},
                     {"percent", percent}},
                    board.slot);
}

QJsonObject result(const jobs::BoardResult &board, int exit) {
    using resultlog::textOrNull;
    QJsonObject event =
        withSlot({{"event", "result"},
                  {"port", board.port},
                  {"path", board.where()},
                  {"serial", textOrNull(board.serial)},
                  {"ok", board.ok()},
                  {"outcome", transfer::outcomeText(board.outcome)},
                  {"cause", textOrNull(board.causeText())},
                  {"exit", exit},
                  {"acknowledged", board.acknowledged},
                  {"records", board.records},
                  {"interrupted", board.interrupted()},
                  {"seconds", std::round(board.seconds * 1000) / 1000},
                  {"cause_kind", textOrNull(board.causeKind())},
                  {"on_record", board.onRecord ? QJsonValue(*board.onRecord) : QJsonValue()}},
                 board.slot);
    if (board.unit)
        event.insert(QStringLiteral("unit"), textOrNull(*board.unit));
    return event;
}

QJsonObject gone(const QString &port, const QString &slot) {
    return withSlot({{"event", "gone"}, {"port", port}}, slot);
}

QJsonObject summary(int loaded, int failed) {
    return {{"event", "summary"}, {"loaded", loaded}, {"failed", failed}};
}

void setProgress(bool progress) {
    withProgress = progress;
}

void write(const QJsonObject &object, output::Kind kind) {
    if (!isEnabled || object.isEmpty() || (kind == output::Kind::Progress && !withProgress))
        return;
    output::queue(output::Stream::Stdout,
                  QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', kind);
}

} // namespace cli::events
