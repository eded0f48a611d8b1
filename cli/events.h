#pragma once

#include "console.h"
#include "uploadjob.h"

#include <QJsonObject>

// --json: one JSON object per event on stdout (JSON Lines), queued whole from any thread (see
// output.h: no call waits for stdout). Each object is made from the session's BoardResult, once;
// the keys are listed in the README's bootloader-cli section.
namespace cli::events {

// enabled: whether events are written. slotted: whether a station's slots are in use; then
// start, progress, result and gone carry "slot", the label or null for a port no slot names.
void setEnabled(bool enabled, bool slotted = false);

// progress: whether progress events are written (--no-progress: a journal gets the boards'
// starts and results, not a line a record).
void setProgress(bool progress);

// The event objects, keys in this order.
QJsonObject start(const jobs::BoardResult &board);
QJsonObject progress(const jobs::BoardResult &board, int acknowledged, int records, int percent);
QJsonObject result(const jobs::BoardResult &board, int exit);
QJsonObject gone(const QString &port, const QString &slot);
QJsonObject summary(int loaded, int failed);

// Writes object as one line of stdout, when enabled. kind: what it is, should the reader fall
// behind.
void write(const QJsonObject &object, output::Kind kind = output::Kind::Kept);

} // namespace cli::events
