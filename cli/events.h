#pragma once

#include "uploadjob.h"

#include <QJsonObject>
#include <QString>

// --json: one JSON object per event on stdout (JSON Lines), written whole from any thread. The
// keys are listed in the README's bootloader-cli section.
namespace cli::events {

void setEnabled(bool enabled);

// Writes object as one line of stdout, when enabled.
void write(const QJsonObject &object);

void start(const QString &port, const QString &image, int records, const QString &sha256);
void progress(const QString &port, int acknowledged, int records, int percent);

// The result event of a finished job, with the exit code it calls for.
QJsonObject resultObject(const jobs::JobResult &result, int exit);
void result(const jobs::JobResult &result, int exit);
void summary(int loaded, int failed);

} // namespace cli::events
