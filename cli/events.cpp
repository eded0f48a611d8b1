#include "events.h"

#include <QJsonDocument>

namespace cli::events {

namespace {

bool isEnabled = false;

} // namespace

void setEnabled(bool enabled) {
    isEnabled = enabled;
}

void write(const QJsonObject &object, output::Kind kind) {
    if (!isEnabled || object.isEmpty())
        return;
    output::queue(output::Stream::Stdout,
                  QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', kind);
}

} // namespace cli::events
