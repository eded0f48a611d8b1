#pragma once

#include <QJsonObject>
#include <QString>

// --json: one JSON object per event on stdout (JSON Lines), written whole from any thread. The
// keys are listed in the README's bootloader-cli section.
namespace cli::events {

void setEnabled(bool enabled);
bool enabled();

// Writes object as one line of stdout, when enabled.
void write(const QJsonObject &object);

void start(const QString &port, const QString &image, int records, const QString &sha256);
void progress(const QString &port, int acknowledged, int records, int percent);

struct Result {
    QString port;
    QString path;   // the file opened, when it differs from port
    QString serial; // USB serial number; empty when unknown (written as null)
    bool ok = false;
    QString outcome; // the window's text
    QString cause;   // the line that says why; empty when none (written as null)
    int exit = 0;
    int acknowledged = 0;
    int records = 0;
    double seconds = 0;
    bool interrupted = false;
};
void result(const Result &result);
void summary(int loaded, int failed);

} // namespace cli::events
