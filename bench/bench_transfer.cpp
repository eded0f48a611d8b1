// Prints how close an upload comes to its floor of one 50 ms pause per record, and how fast and
// how lean image splitting is.
//
//   bench_transfer [records] [record-size]     (defaults: 200 records of 64 bytes)

#include "device.h"
#include "firmwareimage.h"
#include "protocol.h"
#include "simdevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

QByteArray makeImage(int records, int recordSize) {
    QByteArray image;
    image.reserve(qint64(records) * (recordSize + 2));
    const QByteArray body(qMax(0, recordSize - 2), 'x');
    for (int i = 0; i < records; ++i)
        image += '{' + body + "}\n";
    return image;
}

// Resident memory of this process from /proc/self/status, in bytes ("VmRSS" or "VmHWM").
qint64 memoryField(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stoll(line.substr(key.size())) * 1024;
    }
    return -1;
}

// Starts a new peak-memory measurement (VmHWM) from the current resident size.
void resetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

int benchUpload(int records, int recordSize) {
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(makeImage(records, recordSize)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();

    sim::SimDevice device;
    if (!device.start()) {
        std::fprintf(stderr, "no pseudo-terminal available\n");
        return 1;
    }

    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    transfer::Device upload;
    QElapsedTimer clock;
    clock.start();
    const transfer::Outcome outcome = upload.upload(path, device.portName());
    const double wallMs = clock.nsecsElapsed() / 1e6;
    qInstallMessageHandler(nullptr);

    if (outcome != transfer::Outcome::FirmwareLoaded || device.records().size() != records) {
        std::fprintf(stderr, "upload failed: %s\n", transfer::messageText(outcome));
        return 1;
    }
    const double floorMs = double(records) * double(transfer::kRecordPause.count());
    std::printf("upload: records %d of %d bytes\n", records, recordSize);
    std::printf("upload: wall time %.1f ms\n", wallMs);
    std::printf("upload: floor (records x %lld ms) %.1f ms\n",
                static_cast<long long>(transfer::kRecordPause.count()), floorMs);
    std::printf("upload: ratio %.4f (host overhead %.3f ms a record)\n", wallMs / floorMs,
                (wallMs - floorMs) / records);
    return 0;
}

void benchSplit() {
    const int recordSize = 1024;
    const int records = 64 * 1024 * 1024 / (recordSize + 2);
    const qint64 before = memoryField("VmRSS");
    QByteArray image = makeImage(records, recordSize);
    resetPeakMemory();

    QElapsedTimer clock;
    clock.start();
    const transfer::RecordList list = transfer::splitRecords(image);
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 peak = memoryField("VmHWM");

    const double megabytes = image.size() / (1024.0 * 1024.0);
    std::printf("split: image %.1f MiB, %d records of %d bytes\n", megabytes, int(list.size()),
                recordSize);
    std::printf("split: throughput %.0f MB/s\n", image.size() / 1e6 / seconds);
    if (before > 0 && peak > 0)
        std::printf("split: peak memory %.2f x image size (image and records held)\n",
                    double(peak - before) / image.size());
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int records = args.size() > 1 ? args[1].toInt() : 200;
    const int recordSize = args.size() > 2 ? args[2].toInt() : 64;
    if (records <= 0 || recordSize < 2) {
        std::fprintf(stderr, "usage: bench_transfer [records > 0] [record-size >= 2]\n");
        return 64;
    }
    const int code = benchUpload(records, recordSize);
    benchSplit();
    return code;
}
