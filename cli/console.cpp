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
    const bool trace = type == QtDebugMsg || type == QtInfoMsg;
    if (trace && currentVerbosity != Verbosity::Verbose)
        return;
    // The trace of -v may be left out when stderr's reader falls behind; warnings are kept.
    console::line(threadPort.isEmpty() ? text : threadPort + QStringLiteral(": ") + text,
                  trace ? output::Kind::Trace : output::Kind::Kept);
}

} // namespace

namespace console {

void setVerbosity(Verbosity verbosity) {
    currentVerbosity = verbosity;
}

Verbosity verbosity() {
    return currentVerbosity;
}

void line(const QString &text, output::Kind kind) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    if (lineSink) {
        lineSink(text);
        return;
    }
    output::queue(output::Stream::Stderr, text.toLocal8Bit() + '\n', kind);
}

void raw(const QByteArray &bytes, output::Kind kind) {
    std::lock_guard<std::recursive_mutex> lock(outputMutex);
    output::queue(output::Stream::Stderr, bytes, kind);
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
