// Makes one fault on purpose, named by the first argument, so the sanitizer configuration can
// show that it still reports it: an option or suppression that silenced these would silence
// the same faults in the project's own code.

#include <QGuiApplication>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

char *volatile held = nullptr;

// Kept out of line so that each fault has a frame of its own in the report.
[[gnu::noinline]] void leakRecordBuffer() {
    held = new char[64];
    std::memset(held, '{', 64);
    held = nullptr;
}

[[gnu::noinline]] int readPastRecordEnd() {
    std::vector<char> record(8, '}');
    volatile int index = 8;
    return record.data()[index];
}

[[gnu::noinline]] int overflowRecordCount() {
    volatile int count = INT_MAX;
    return count + 1;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s leak|overflow|undefined\n", argv[0]);
        return 2;
    }
    const char *fault = argv[1];
    if (std::strcmp(fault, "leak") == 0) {
        // Among the platform's own allocations, which sanitizers/lsan.supp lets through.
        QGuiApplication app(argc, argv);
        leakRecordBuffer();
        return 0;
    }
    if (std::strcmp(fault, "overflow") == 0)
        return readPastRecordEnd();
    if (std::strcmp(fault, "undefined") == 0) {
        std::printf("%d\n", overflowRecordCount());
        return 0;
    }
    std::fprintf(stderr, "unknown fault: %s\n", fault);
    return 2;
}
