// Prints how well uploads to several boards at once keep to the time of one: eight simulated
// devices paced at 115200 baud both ways, loaded at once the way 'bootloader-cli upload' does
// (an upload job per port, each on its thread with its own Device), against one. Also prints the
// CPU time the program spends per record.
//
//   bench_parallel [boards] [records] [record-size]   (defaults: 8 boards, 100 records of 64)

#include "simdevice.h"
#include "uploadjob.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    bool ok = true;
};

Run uploadAtOnce(int boards, const transfer::RecordList &records) {
    std::vector<std::unique_ptr<sim::SimDevice>> devices;
    for (int i = 0; i < boards; ++i) {
        devices.push_back(std::make_unique<sim::SimDevice>());
        devices.back()->setPacing(115200);
        if (!devices.back()->start()) {
            std::fprintf(stderr, "no pseudo-terminal available\n");
            return {0, 0, false};
        }
    }
    std::vector<std::unique_ptr<jobs::UploadJob>> uploads;
    for (int i = 0; i < boards; ++i)
        uploads.push_back(std::make_unique<jobs::UploadJob>(devices[size_t(i)]->portName(),
                                                            jobs::Operation::Upload, records));
    Run run;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (auto &upload : uploads)
        upload->start();
    for (auto &upload : uploads) {
        upload->wait(INT_MAX);
        run.ok = run.ok && upload->result().ok();
    }
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = cpuSeconds() - cpuBefore;
    for (auto &device : devices)
        run.ok = run.ok && device->records() == records;
    return run;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int boards = args.size() > 1 ? args[1].toInt() : 8;
    const int records = args.size() > 2 ? args[2].toInt() : 100;
    const int recordSize = args.size() > 3 ? args[3].toInt() : 64;
    if (boards < 1 || records < 1 || recordSize < 2) {
        std::fprintf(stderr, "usage: bench_parallel [boards] [records] [record-size >= 2]\n");
        return 64;
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    transfer::RecordList image;
    const QByteArray body(recordSize - 2, 'x');
    for (int i = 0; i < records; ++i)
        image.append('{' + body + '}');

    const Run one = uploadAtOnce(1, image);
    const Run many = uploadAtOnce(boards, image);
    if (!one.ok || !many.ok) {
        std::fprintf(stderr, "an upload failed\n");
        return 1;
    }
    std::printf("parallel: %d records of %d bytes, paced at 115200 both ways\n", records,
                recordSize);
    std::printf(
        "parallel: 1 board  %.3f s wall, %.1f us CPU a record (uploads and simulated devices)\n",
        one.wallSeconds, one.cpuSeconds / records * 1e6);
    std::printf("parallel: %d boards %.3f s wall, %.1f us CPU a record\n", boards, many.wallSeconds,
                many.cpuSeconds / (double(records) * boards) * 1e6);
    std::printf("parallel: ratio %.4f (wall for %d / wall for 1; goal at most 1.05)\n",
                many.wallSeconds / one.wallSeconds, boards);
    return 0;
}
