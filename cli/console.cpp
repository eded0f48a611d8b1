#include "console.h"

#include "output.h"

#include <mutex>

namespace cli {

namespace {

std::recursive_mutex outputMutex;
Verbosity currentVerbosity = Verbosity::Normal;
std::function<void(const QString &)> lineSink;
thread_local QString threadPort;

void handleMessage(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if ((type == QtDebugMsg || type == QtInfoMsg) && currentVerbosity != Verbosity::Verbose)
        return;
    console::line(threadPort.isEmpty() ? text : threadPort + QStringLiteral(": ") + text);
}

} // namespace

namespace console {

void setVerbosity(Verbosity verbosity) {
    currentVerbosity = verbosity;
}

Verbosity verbosity() {
    return currentVerbosity;
}

void line(const QString &text) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    if (lineSink) {
        lineSink(text);
        return;
    }
    output::toStderr(text.toLocal8Bit() + '\n');
}

void raw(const QByteArray &bytes) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    output::toStderr(bytes);
}

void locked(const std::function<void()> &work) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    work();
}

void setLineSink(std::function<void(const QString &)> sink) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    lineSink = std::move(sink);
}

void installMessageHandler() {
    qInstallMessageHandler(handleMessage);
}

void setThreadPort(const QString &port) {
    threadPort = port;
}

} // namespace console

} // namespace cli
