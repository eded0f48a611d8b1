#include "output.h"

#include "commandline.h"

#include <atomic>
#include <cstdio>

namespace cli::output {

namespace {

std::atomic<bool> stdoutLost{false};
std::atomic<bool> stderrLost{false};

bool writeWhole(std::FILE *stream, std::atomic<bool> &streamLost, const QByteArray &bytes) {
    if (streamLost)
        return false;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
    if (std::fflush(stream) != 0 || !written) {
        streamLost = true;
        return false;
    }
    return true;
}

} // namespace

bool toStdout(const QByteArray &bytes) {
    return writeWhole(stdout, stdoutLost, bytes);
}

bool toStderr(const QByteArray &bytes) {
    return writeWhole(stderr, stderrLost, bytes);
}

bool lost() {
    return stdoutLost || stderrLost;
}

int exitCode(int code) {
    // What is still buffered counts too.
    if (std::fflush(stdout) != 0)
        stdoutLost = true;
    if (std::fflush(stderr) != 0)
        stderrLost = true;
    return code == kDone && lost() ? int(kOutputLost) : code;
}

} // namespace cli::output
