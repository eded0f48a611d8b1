#pragma once

#include "console.h"

#include <QJsonObject>

// --json: one JSON object per event on stdout (JSON Lines), queued whole from any thread (see
// output.h: no call waits for stdout). The objects are the session's (jobs/session.h); the keys
// are listed in the README's bootloader-cli section.
namespace cli::events {

void setEnabled(bool enabled);

// Writes object as one line of stdout, when enabled. kind: what it is, should the reader fall
// behind.
void write(const QJsonObject &object, output::Kind kind = output::Kind::Kept);

} // namespace cli::events
