#include "events.h"

#include "output.h"

#include <QJsonDocument>

#include <cmath>

namespace cli::events {

namespace {

bool isEnabled = false;

QJsonValue stringOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

} // namespace

void setEnabled(bool enabled) {
    isEnabled = enabled;
}

void write(const QJsonObject &object, output::Kind kind) {
    if (!isEnabled)
        return;
    output::queue(output::Stream::Stdout,
                  QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', kind);
}

void start(const QString &port, const QString &image, int records, const QString &sha256) {
    write({{"event", "start"},
           {"port", port},
           {"image", image},
           {"records", records},
           {"sha256", sha256}});
}

void progress(const QString &port, int acknowledged, int records, int percent) {
    write({{"event", "progress"},
           {"port", port},
           {"acknowledged", acknowledged},
           {"records", records},
           {"percent", percent}},
          output::Kind::Progress);
}

QJsonObject resultObject(const jobs::JobResult &result, int exit) {
    return {{"event", "result"},
            {"port", result.port},
            {"path", result.path.isEmpty() ? result.port : result.path},
            {"serial", stringOrNull(result.serial)},
            {"ok", result.ok()},
            {"outcome", transfer::outcomeText(result.outcome)},
            {"cause", stringOrNull(result.causeText())},
            {"exit", exit},
            {"acknowledged", result.acknowledged},
            {"records", result.records},
            {"interrupted", result.interrupted},
            {"seconds", std::round(result.seconds * 1000) / 1000},
            {"cause_kind", stringOrNull(result.causeKind())}};
}

void result(const jobs::JobResult &result, int exit) {
    write(resultObject(result, exit));
}

void summary(int loaded, int failed) {
    write({{"event", "summary"}, {"loaded", loaded}, {"failed", failed}});
}

} // namespace cli::events
