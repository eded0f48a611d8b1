// Prints how close an upload comes to its floor, against a device that answers at once and
// against one on a line paced at 115200 baud both ways, and how fast and how lean image
// splitting is.
//
//   bench_transfer [records] [record-size]     (defaults: 200 records of 64 bytes)
//
// The paced runs are the given records and 20 records of 16 KiB.

#include "device.h"
#include "firmwareimage.h"
#include "protocol.h"
#include "seriallink.h"
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

// Uploads records of recordSize bytes to a simulated device and prints the ratio of the wall
// time to the floor. At once (not paced) the floor is the 50 ms pause after each record; on a paced
// line (115200 baud both ways) each record also needs its bytes and its three-byte reply to cross
// the line.
int benchUpload(const char *label, int records, int recordSize, bool paced) {
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(makeImage(records, recordSize)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();

    sim::SimDevice device;
    device.setPacing(paced ? int(transfer::kBaudRate) : 0);
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
        std::fprintf(stderr, "%s: upload failed: %s\n", label, transfer::messageText(outcome));
        return 1;
    }
    // The paced floor is the image's own upload time, as 'info' gives it; unpaced, only the
    // pauses remain.
    const double pauseMs = double(transfer::kRecordPause.count());
    const double modelMs =
        std::chrono::duration<double, std::milli>(transfer::scanImage(path).summary.uploadTime)
            .count();
    const double floorMs = paced ? modelMs : double(records) * pauseMs;
    const double lineMs = paced ? modelMs / records - pauseMs : 0;
    std::printf("%s: records %d of %d bytes%s\n", label, records, recordSize,
                paced ? ", line paced at 115200 baud" : "");
    std::printf("%s: wall time %.1f ms\n", label, wallMs);
    if (paced)
        std::printf("%s: floor (records x (%.0f ms + %.2f ms on the line)) %.1f ms\n", label,
                    pauseMs, lineMs, floorMs);
    else
        std::printf("%s: floor (records x %.0f ms) %.1f ms\n", label, pauseMs, floorMs);
    std::printf("%s: ratio %.4f (host overhead %.3f ms a record)\n", label, wallMs / floorMs,
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
    int code = benchUpload("upload", records, recordSize, false);
    code |= benchUpload("wire", records, recordSize, true);
    code |= benchUpload("wire", 20, 16 * 1024, true);
    benchSplit();
    return code;
}
