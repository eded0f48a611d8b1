#pragma once

#include "output.h"
#include "uploadjob.h"

#include <QJsonObject>
#include <QString>

// --json: one JSON object per event on stdout (JSON Lines), queued whole from any thread (see
// output.h: no call waits for stdout). The keys are listed in the README's bootloader-cli
// section.
namespace cli::events {

void setEnabled(bool enabled);

// Writes object as one line of stdout, when enabled. kind: what it is, should the reader fall
// behind.
void write(const QJsonObject &object, output::Kind kind = output::Kind::Kept);

void start(const QString &port, const QString &image, int records, const QString &sha256);
void progress(const QString &port, int acknowledged, int records, int percent);

// The result event of a finished job, with the exit code it calls for.
QJsonObject resultObject(const jobs::JobResult &result, int exit);
void result(const jobs::JobResult &result, int exit);
void summary(int loaded, int failed);

} // namespace cli::events
